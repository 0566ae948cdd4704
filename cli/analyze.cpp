#include <cstdio>

#include "cli/audio_file.h"
#include "cli/loudness.h"
#include "cli/options.h"

namespace qx::cli {

namespace {

const char* const kAnalyzeHelp =
    "usage: quorvex analyze FILE\n"
    "\n"
    "Reads FILE as 'quorvex process' does and prints its integrated loudness\n"
    "(LUFS), loudness range (LU), true peak (dBTP) and sample peak (dBFS).\n";

}  // namespace

int runAnalyze(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (wantsHelp(args)) {
        out << kAnalyzeHelp;
        return kOk;
    }
    if (args.size() != 1) return fail(err, kUsageError, "analyze: expected one FILE (see 'quorvex analyze --help')");
    Audio audio;
    IoResult read = readAudio(args[0], audio);
    if (read.status != IoStatus::Ok)
        return fail(err, read.status == IoStatus::IoError ? kIoFailure : kUsageError, read.message);
    Loudness l = measureLoudness(audio.samples, audio.channels, audio.rate);
    if (!l.valid) return fail(err, kUsageError, args[0] + ": loudness could not be measured");
    char text[256];
    std::snprintf(text, sizeof text,
                  "integrated loudness: %.1f LUFS\nloudness range: %.1f LU\ntrue peak: %.1f dBTP\n"
                  "sample peak: %.1f dBFS\n",
                  l.integratedLufs, l.rangeLu, l.truePeakDbtp, l.samplePeakDbfs);
    out << args[0] << "\n" << text;
    return kOk;
}

}  // namespace qx::cli
