#pragma once
#include <iosfwd>
#include <string>
#include <vector>

namespace qx::cli {

enum ExitCode { kOk = 0, kIoFailure = 1, kUsageError = 2 };

// Runs one command line (without the program name); output and messages go
// to the given streams. `progress` enables the progress bar on `err`.
int runCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool progress);

}  // namespace qx::cli
