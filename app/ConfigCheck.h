// tarvik --check: every configuration file read and checked, and what Tarvik would drive and
// serve said, without touching the port, the coils or any file.
#pragma once

#include <string>

namespace tarvik {

// Writes the report to standard output (a failure to standard error); the exit status: 0
// when Tarvik would start with this folder, 1 when not. With `requireCoils`, coils that a
// run would simulate fail the check too.
int CheckConfiguration(const std::string& baseDir, bool requireCoils = false);

}  // namespace tarvik
