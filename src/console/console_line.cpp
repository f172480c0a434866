#include "console/console_line.h"

void writeLine(std::FILE* stream, const char* text) {
    std::fputs(text, stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void writeNumberLine(std::FILE* stream, const char* label, long long number) {
    std::fprintf(stream, "%s%lld\n", label, number);
    std::fflush(stream);
}
