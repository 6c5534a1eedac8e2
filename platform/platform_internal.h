// Helpers shared by the platform stand-ins (not exported).
#pragma once

#include <string>

namespace bmc {

// Creates `dir` and its parents (mode 0755); true when it exists afterwards.
bool MakeDirs(const std::string& dir);

// Appends `line` to `path` with one write(2) on an O_APPEND descriptor, so lines from
// different threads and processes never interleave. Creates the file and its directory.
bool AppendLine(const char* path, const std::string& line);

// "2026-12-06 12:00:00.123" in UTC.
std::string NowText();
// The ids of the process and of the calling thread, without a system call each time
// (see util.cpp).
int ProcessId();
long ThreadId();

}  // namespace bmc
