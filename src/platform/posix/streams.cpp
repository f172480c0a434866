// POSIX standard streams: the descriptors the process started with.

#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// A standard descriptor closed at start would be the next one opened: the
// listener's, or a client's, and the console would write its screen to that
// client. The null device holds each closed one instead.
bool reserveStandardStreams() {
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
        if (::fcntl(stream, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        int held = ::open("/dev/null", O_RDWR);
        if (held != stream) {
            if (held >= 0) {
                ::close(held);
            }
            return false;
        }
    }
    return true;
}
