// Console lines: a text, a line feed, then a flush, so every line is on the
// screen (or in the journal) the moment it is written. Standard output
// belongs to the console worker; start-up failures go to standard error.
#pragma once

#include <cstdio>

void writeLine(std::FILE* stream, const char* text);
// The label followed by the number in plain decimal, e.g. "#Port 5000".
void writeNumberLine(std::FILE* stream, const char* label, long long number);
