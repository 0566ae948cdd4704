#include <charconv>

#include "cli/options.h"

namespace qx::cli {

namespace {

const char* const kParamsHelp =
    "usage: quorvex params\n"
    "\n"
    "Prints one tab-separated line per keyed parameter, in table order:\n"
    "key, kind (V vertical slider, H horizontal slider, L frequency slider,\n"
    "S switch), decimals, minimum, maximum, default.\n";

std::string shortest(double v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

char kindLetter(const ParameterRecord& r) {
    switch (r.kind) {
        case ControlKind::Switch: return 'S';
        case ControlKind::HorizontalSlider: return 'H';
        case ControlKind::Meter: return 'M';
        case ControlKind::VerticalSlider: break;
    }
    return r.isFrequencySlider() ? 'L' : 'V';
}
}  // namespace

int runParams(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args)) {
        out << kParamsHelp;
        return kOk;
    }
    if (!args.empty()) return fail(err, kUsageError, "params: unexpected argument '" + args[0] + "'");
    Engine engine;
    engine.table.forEachKeyed([&](const ParameterRecord& r) {
        out << r.key << '\t' << kindLetter(r) << '\t' << r.decimals << '\t' << shortest(r.minimum) << '\t'
            << shortest(r.maximum) << '\t' << shortest(r.defaultValue) << '\n';
    });
    return kOk;
}

}  // namespace qx::cli
