// The program's name and version, in one place: the console's banner shows
// the title and --version prints the version after the program's command
// name. Constants only: any file may include this, and it includes nothing.
#pragma once

// The banner's second line: the name, then the version.
constexpr const char PROGRAM_TITLE[] = "Velloran 1.0 Beta";
// The version alone, "1.0 Beta": the title past the name and its space.
constexpr const char* VERSION_NAME = PROGRAM_TITLE + (sizeof "Velloran " - 1);
