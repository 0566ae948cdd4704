#include <unistd.h>

#include <iostream>

#include "cli/commands.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return qx::cli::runCommand(args, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
}
