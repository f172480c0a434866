#include "relay_stats.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace bench {

double relayCpuSeconds(int pid) {
    if (pid <= 0) {
        return 0;
    }
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    // The command name may hold spaces; the fields after its ')' are fixed.
    std::size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(line.substr(close + 2));
    std::string skip;
    for (int field = 3; field < 14; ++field) {
        fields >> skip;
    }
    double user = 0;
    double system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One "Name:  value ..." line of /proc/PID/status.
static long statusField(int pid, const std::string& name) {
    if (pid <= 0) {
        return 0;
    }
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, name.size(), name) == 0 && line[name.size()] == ':') {
            return std::stol(line.substr(name.size() + 1));
        }
    }
    return 0;
}

long relayResidentKb(int pid) { return statusField(pid, "VmRSS"); }

long relayThreads(int pid) { return statusField(pid, "Threads"); }

long listenQueueLength(int port) {
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line); // the column titles
    // Listeners come first in the table; stopping at the first other state
    // keeps this cheap however many connections are open.
    const std::string LISTENING = "0A";
    for (std::string slot, local, remote, state, queues;
         in >> slot >> local >> remote >> state >> queues;) {
        if (state != LISTENING) {
            return -1;
        }
        if (local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
            return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
        }
        std::getline(in, line);
    }
    return -1;
}

} // namespace bench
