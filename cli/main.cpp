#include <unistd.h>

#include <csignal>

#include <iostream>

#include "cli/commands.h"

int main(int argc, char** argv) {
    // A reader that goes away (a closed pipe) shows up as a failed write, which
    // the commands report, instead of killing the tool silently.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    return qx::cli::runCommand(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
}
