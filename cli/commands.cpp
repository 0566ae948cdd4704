#include "cli/commands.h"

#include "cli/options.h"

namespace qx::cli {

namespace {

const char* const kUsage =
    "usage: quorvex COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  process IN OUT [--set KEY=VALUE]...  process a file or a stream ('-': standard input/output)\n"
    "  params                               list every parameter of the table\n"
    "  response [--plot FILE.png] [...]     measure the chain's frequency response\n"
    "  spectrum IN [--plot FILE.png] [...]  long-term spectrum of a file before and after\n"
    "  analyze FILE... [--json]             rate, channels, duration, loudness and peaks\n"
    "  presets                              list the presets, their latency and the start-up preset\n"
    "  preset save|delete|default|show ...  manage the user presets (see 'quorvex preset --help')\n"
    "\n"
    "Run 'quorvex COMMAND --help' for the options of a command.\n";

}  // namespace

int runCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool progress) {
    if (args.empty()) {
        err << kUsage;
        return kUsageError;
    }
    const std::string& command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h" || command == "help") {
        out << kUsage;
        return kOk;
    }
    if (command == "process") return runProcess(rest, out, err, progress);
    if (command == "params") return runParams(rest, out, err);
    if (command == "response") return runResponse(rest, out, err);
    if (command == "spectrum") return runSpectrum(rest, out, err);
    if (command == "analyze") return runAnalyze(rest, out, err);
    if (command == "presets") return runPresets(rest, out, err);
    if (command == "preset") return runPreset(rest, out, err);
    return fail(err, kUsageError, "unknown command '" + command + "' (see 'quorvex --help')");
}

}  // namespace qx::cli
