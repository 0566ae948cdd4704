#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

#include "cli/audio_file.h"
#include "cli/loudness.h"
#include "cli/options.h"
#include "cli/remote.h"
#include "cli/resampler.h"
#include "engine/chain.h"

namespace qx::cli {

namespace {

const char* const kProcessHelp =
    "usage: quorvex process IN OUT [--preset ID] [--set KEY=VALUE]... [--data-dir DIR]\n"
    "                       [--keep-latency] [--raw RATE:CHANNELS] [--rate HZ] [--follow]\n"
    "\n"
    "Reads IN (any format libsndfile reads; mono or stereo, 8000 to 384000 Hz), runs\n"
    "it through the processing chain in blocks of 576 frames as the player does, and\n"
    "writes OUT block by block in constant memory, whatever the length. Other rates\n"
    "than 44100 Hz are resampled (libsoxr, very high quality) to 44100 Hz for the\n"
    "chain and back. OUT's extension gives its format: .wav, .flac, .aiff, .au\n"
    "(16-bit PCM), .ogg (Vorbis) or .raw (headerless PCM). A file OUT appears only\n"
    "when it was written completely; an OUT that is a pipe or a device (a FIFO,\n"
    "/dev/null) is written as a stream, like '-'.\n"
    "\n"
    "'-' as IN reads standard input without seeking (WAV, AIFF, AU, Ogg, raw; FLAC\n"
    "only from files); '-' as OUT writes WAV with an unknown length to standard\n"
    "output, every block as soon as it is processed, and then the summary goes to\n"
    "standard error. So the tool can sit in a live chain between a decoder and an\n"
    "encoder; a closed output ends the run with exit status 1.\n"
    "\n"
    "The chain delays the sound (up to about 1.6 s, see 'quorvex presets'); the\n"
    "output is aligned with the input and has its length: the leading delay is\n"
    "dropped and the tail is flushed out with silence.\n"
    "\n" QX_PRESET_OPTIONS QX_DATA_DIR_OPTION
    "  --keep-latency   write the chain's output as the player hears it: delayed, as\n"
    "                   many frames as the input, the last ones still in the chain\n"
    "  --raw RATE:CHANNELS  IN, and OUT when it is '-' or .raw, are headerless 16-bit\n"
    "                   little-endian PCM of that rate and channel count\n"
    "  --rate HZ        the output's sample rate (default: the input's)\n"
    "  --follow         poll the data directory's selection file QX_Select.tmp as the\n"
    "                   plug-in does and switch presets while running; each switch is\n"
    "                   reported on standard error with the chain's latency\n"
    "  --remote ADDR:PORT  serve a web page with live meters, loudness and preset\n"
    "                   buttons, and a JSON API (GET /api/status, POST /api/preset),\n"
    "                   at http://ADDR:PORT/ while running (port 0: any free port)\n"
    "  --remote-token TOKEN  what every request must carry (?token= or\n"
    "                   'Authorization: Bearer'); an address other than loopback\n"
    "                   always needs one, generated and printed when not given\n";

constexpr auto kFollowInterval = std::chrono::milliseconds(250);
constexpr auto kRemoteInterval = std::chrono::milliseconds(50);

struct Level {
    double peak = 0.0;  // fraction of full scale
    double sumSquares = 0.0;
    int64_t count = 0;
    void add(const int16_t* samples, int64_t n) {
        for (int64_t i = 0; i < n; ++i) {
            const double v = samples[i] / 32768.0;
            peak = std::max(peak, std::fabs(v));
            sumSquares += v * v;
        }
        count += n;
    }
    double rms() const { return count > 0 ? std::sqrt(sumSquares / static_cast<double>(count)) : 0.0; }
};

std::string dbfs(double v) {
    if (v <= 0.0) return "-inf dBFS";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f dBFS", 20.0 * std::log10(v));
    return buf;
}

void drawProgress(std::ostream& err, int64_t done, int64_t total) {
    constexpr int kWidth = 40;
    int percent = total > 0 ? static_cast<int>(std::min<int64_t>(done, total) * 100 / total) : 100;
    int filled = percent * kWidth / 100;
    err << "\rprocessing [" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] " << percent
        << "%" << std::flush;
}

bool parseRate(const std::string& text, int& rate, std::string& error) {
    double v = 0.0;
    if (!parseNumber(text, v) || v != std::floor(v) || v < kMinStreamRate || v > kMaxStreamRate) {
        error = "--rate " + text + ": expected a whole number of Hz from " + std::to_string(kMinStreamRate) + " to " +
                std::to_string(kMaxStreamRate);
        return false;
    }
    rate = static_cast<int>(v);
    return true;
}

// Frames at `rate` of a span of frames at the chain's rate.
int64_t atRate(int64_t chainFrames, int rate) {
    return std::llround(static_cast<double>(chainFrames) * rate / kSampleRate);
}

// Input at its own rate -> (resampler) -> chain at 44100 Hz in blocks of 576
// frames -> (resampler) -> output at its rate. Compensating, the chain's
// leading delay is dropped and the tail flushed with silence at the end; the
// resamplers' output is aligned with their input by themselves.
class Pipeline {
public:
    Pipeline(Engine& engine, int channels, int inRate, int outRate, bool compensate, bool follow, RemoteServer* remote,
             AudioSink& sink, std::ostream& err)
        : engine_(engine),
          channels_(channels),
          inRate_(inRate),
          outRate_(outRate),
          compensate_(compensate),
          follow_(follow),
          remote_(remote),
          sink_(sink),
          err_(err),
          loudness_(outRate, usualLayout(channels)),
          startLatency_(engine.latencyFrames()),
          dropFrames_(compensate ? startLatency_ : 0) {
        if (inRate != kSampleRate) toChain_ = std::make_unique<Resampler>(inRate, kSampleRate, channels);
        if (outRate != kSampleRate) fromChain_ = std::make_unique<Resampler>(kSampleRate, outRate, channels);
        lastPoll_ = std::chrono::steady_clock::now();
    }

    std::string resamplerError() const {
        if (toChain_ && !toChain_->error().empty()) return toChain_->error();
        if (fromChain_ && !fromChain_->error().empty()) return fromChain_->error();
        return {};
    }

    // Input frames at the input rate; false once writing failed.
    bool feed(const int16_t* samples, int64_t frames) {
        inputFrames_ += frames;
        if (toChain_)
            toChain_->push(samples, frames, chainIn_);
        else
            chainIn_.insert(chainIn_.end(), samples, samples + frames * channels_);
        return runBlocks(false);
    }

    // End of input: everything still inside goes out, and the output gets
    // exactly its length.
    bool finish() {
        heldFrames_ = (toChain_ ? atRate(std::llround(toChain_->heldFrames()), outRate_) : 0) +
                      (fromChain_ ? std::llround(fromChain_->heldFrames()) : 0);
        if (toChain_) toChain_->flush(chainIn_);
        const int32_t latency = engine_.latencyFrames();
        if (compensate_) chainIn_.resize(chainIn_.size() + static_cast<size_t>(latency) * channels_, 0);
        // A switch under --follow shifts the output by the change of latency.
        outputLimit_ = std::llround(static_cast<double>(inputFrames_) * outRate_ / inRate_) +
                       (compensate_ ? atRate(latency - startLatency_, outRate_) : 0);
        if (!runBlocks(true)) return false;
        if (fromChain_) {
            resampled_.clear();
            fromChain_->flush(resampled_);
            if (!write(resampled_.data(), frameCount(resampled_))) return false;
        }
        const std::vector<int16_t> silence(kHostBlock * static_cast<size_t>(channels_), 0);
        while (written_ < outputLimit_)
            if (!write(silence.data(), std::min<int64_t>(kHostBlock, outputLimit_ - written_))) return false;
        return true;
    }

    const IoResult& failure() const { return failure_; }
    int64_t written() const { return written_; }
    int64_t heldFrames() const { return heldFrames_; }
    int32_t startLatency() const { return startLatency_; }
    const Level& level() const { return level_; }
    const LoudnessMeter& loudness() const { return loudness_; }

private:
    int64_t frameCount(const std::vector<int16_t>& v) const { return static_cast<int64_t>(v.size()) / channels_; }

    bool runBlocks(bool final) {
        int64_t done = 0;
        const int64_t available = frameCount(chainIn_);
        while (available - done >= kHostBlock || (final && done < available)) {
            const int32_t n = static_cast<int32_t>(std::min<int64_t>(kHostBlock, available - done));
            int16_t* block = chainIn_.data() + done * channels_;
            engine_.state->outputPeak = 0.0;  // the host clears the peak before each block
            processBlock(block, n, 16, channels_, kSampleRate, *engine_.state);
            engine_.clock.frames += static_cast<uint64_t>(n);
            done += n;
            if (!passOn(block, n)) return false;
            if (follow_) followSelection();
            if (remote_ != nullptr) serveRemote();
        }
        chainIn_.erase(chainIn_.begin(), chainIn_.begin() + done * channels_);
        return true;
    }

    bool passOn(const int16_t* samples, int64_t frames) {
        const int64_t skip = std::min(dropFrames_, frames);
        dropFrames_ -= skip;
        samples += skip * channels_;
        frames -= skip;
        if (!fromChain_) return write(samples, frames);
        resampled_.clear();
        fromChain_->push(samples, frames, resampled_);
        return write(resampled_.data(), frameCount(resampled_));
    }

    bool write(const int16_t* samples, int64_t frames) {
        if (outputLimit_ >= 0) frames = std::min(frames, outputLimit_ - written_);
        if (frames <= 0) return true;
        level_.add(samples, frames * channels_);
        loudness_.add(samples, frames);
        written_ += frames;
        failure_ = sink_.write(samples, frames);
        return failure_.status == IoStatus::Ok;
    }

    // Polls the selection file by the wall clock, so a switch takes effect
    // within a fraction of a second in a live stream and costs a file-system
    // look-up now and then in a fast offline run.
    void followSelection() {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastPoll_ < kFollowInterval) return;
        lastPoll_ = now;
        const int32_t before = engine_.latencyFrames();
        const int32_t startup = engine_.library.startupPreset;
        engine_.library.pollSelectionFile(nullptr);
        // A load zeroes the last block time so that the next block resets;
        // after any processed block it is never 0 otherwise.
        if (engine_.state->lastBlockTime != 0) return;
        reportSwitch(before, startup);
    }

    // A preset a remote client asked for loads as a selection file would make
    // it load; the readings go out at most every 50 ms.
    void serveRemote() {
        if (int32_t id = 0; remote_->takePresetRequest(id)) {
            const int32_t before = engine_.latencyFrames();
            engine_.library.loadPreset(id);
            reportSwitch(before, engine_.library.startupPreset);
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - lastReadings_ < kRemoteInterval) return;
        lastReadings_ = now;
        const ChainState& s = *engine_.state;
        RemoteReadings r;
        r.inputLevel = s.inputMeter;
        r.outputLevel = s.outputPeak;
        r.agcGainLow = s.agcMeters[0];
        r.agcGainHigh = s.agcMeters[1];
        r.limiterReduction = s.finalLimiterMeter;
        r.clipLevel = s.finalClipperMeter;
        r.shortTermLufs = loudness_.shortTermLufs();
        const Loudness soFar = loudness_.result();
        r.integratedLufs = soFar.integratedLufs;
        r.truePeakDbtp = soFar.truePeakDbtp;
        r.preset = engine_.library.loadedPreset();
        r.latencyFrames = engine_.latencyFrames();
        remote_->publish(r);
    }

    void reportSwitch(int32_t before, int32_t startup) {
        const int32_t after = engine_.latencyFrames();
        err_ << "quorvex: switched to '" << engine_.library.presetName() << "'; latency "
             << describeLatency(after);
        if (after != before) err_ << ", was " << describeLatency(before);
        if (engine_.library.startupPreset != startup) {
            const bool saved = engine_.saveStartupPreset(engine_.library.startupPreset);
            err_ << (saved ? "; now the start-up preset" : "; the start-up preset could not be saved");
        }
        err_ << "\n" << std::flush;
    }

    Engine& engine_;
    const int channels_, inRate_, outRate_;
    const bool compensate_, follow_;
    RemoteServer* remote_;
    AudioSink& sink_;
    std::ostream& err_;
    std::unique_ptr<Resampler> toChain_, fromChain_;
    std::vector<int16_t> chainIn_;     // frames at 44100 Hz waiting for a full block
    std::vector<int16_t> resampled_;   // scratch for the output resampler
    Level level_;
    LoudnessMeter loudness_;
    const int32_t startLatency_;
    int64_t dropFrames_;
    int64_t inputFrames_ = 0;
    int64_t written_ = 0;
    int64_t outputLimit_ = -1;  // known at the end of input
    int64_t heldFrames_ = 0;
    IoResult failure_;
    std::chrono::steady_clock::time_point lastPoll_;
    std::chrono::steady_clock::time_point lastReadings_;
};

// Starts the web remote of --remote; false with the reason.
bool startRemote(const Options& o, Engine& engine, RemoteServer& server, std::ostream& err, std::string& error) {
    RemoteConfig config;
    if (!parseRemoteAddress(o.remote, config.host, config.port, error)) return false;
    config.token = o.remoteToken;
    const bool generated = config.token.empty() && !isLoopback(config.host);
    if (generated) config.token = generateToken();
    for (const PresetListEntry& entry : engine.library.presetList()) {
        const PresetId id = PresetLibrary::presetIdOfEntry(entry);
        if (id < 1 || !engine.library.slotEmpty(id)) config.presets.push_back({id, entry.label});
    }
    if (!server.start(config, error)) return false;
    const bool bracket = config.host.find(':') != std::string::npos;
    err << "quorvex: remote at http://" << (bracket ? "[" : "") << config.host << (bracket ? "]" : "") << ":"
        << server.port() << "/" << (config.token.empty() ? "" : "?token=" + config.token) << "\n";
    if (generated) err << "quorvex: remote token " << config.token << " (every request must carry it)\n";
    err << std::flush;
    return true;
}

}  // namespace

int runProcess(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool progress) {
    if (wantsHelp(args)) {
        out << kProcessHelp;
        return kOk;
    }
    Options o;
    std::string error;
    if (!parseOptions(args, kSet | kPreset | kDataDir | kStream, o, error))
        return fail(err, kUsageError, "process: " + error);
    const std::vector<std::string>& files = o.positional;
    if (files.size() != 2) return fail(err, kUsageError, "process: expected IN and OUT (see 'quorvex process --help')");
    RawFormat raw;
    if (!o.raw.empty() && !parseRawFormat(o.raw, raw, error)) return fail(err, kUsageError, "process: " + error);
    int outRate = 0;
    if (!o.rate.empty() && !parseRate(o.rate, outRate, error)) return fail(err, kUsageError, "process: " + error);
    OutputFormat format;
    if (!outputFormatFor(files[1], !o.raw.empty(), format, error)) return fail(err, kUsageError, "process: " + error);
    if (sameFile(files[0], files[1]))
        return fail(err, kUsageError, "process: " + files[1] + " is the input file; choose another OUT");
    Engine engine(o.dataDir);
    if (!prepareEngine(engine, o, err, error)) return fail(err, kUsageError, "process: " + error);

    AudioSource source;
    IoResult opened = source.open(files[0], o.raw.empty() ? nullptr : &raw);
    if (opened.status != IoStatus::Ok)
        return fail(err, opened.status == IoStatus::IoError ? kIoFailure : kUsageError, opened.message);
    const int channels = source.channels(), inRate = source.rate();
    if (outRate == 0) outRate = inRate;
    RemoteServer remote;
    if (!o.remote.empty() && !startRemote(o, engine, remote, err, error)) return fail(err, kIoFailure, "process: " + error);
    AudioSink sink;
    if (IoResult created = sink.open(files[1], format, outRate, channels); created.status != IoStatus::Ok)
        return fail(err, kIoFailure, created.message);

    Pipeline pipeline(engine, channels, inRate, outRate, !o.keepLatency, o.follow, o.remote.empty() ? nullptr : &remote,
                      sink, err);
    if (std::string e = pipeline.resamplerError(); !e.empty()) return fail(err, kIoFailure, "process: resampler: " + e);
    const int64_t total = source.knownFrames();
    progress = progress && total > 0;
    Level inLevel;
    LoudnessMeter inLoudness(inRate, usualLayout(channels));
    std::vector<int16_t> block(kHostBlock * static_cast<size_t>(channels));
    int64_t frames = 0;
    while (int64_t got = source.read(block.data(), kHostBlock)) {
        inLevel.add(block.data(), got * channels);
        inLoudness.add(block.data(), got);
        if (!pipeline.feed(block.data(), got)) return fail(err, kIoFailure, pipeline.failure().message);
        if (progress && (frames + got) / inRate != frames / inRate) drawProgress(err, frames + got, total);
        frames += got;
    }
    if (source.error().status != IoStatus::Ok) return fail(err, kIoFailure, source.error().message);
    if (!pipeline.finish()) return fail(err, kIoFailure, pipeline.failure().message);
    if (std::string e = pipeline.resamplerError(); !e.empty()) return fail(err, kIoFailure, "process: resampler: " + e);
    if (IoResult done = sink.finish(); done.status != IoStatus::Ok) return fail(err, kIoFailure, done.message);
    if (progress) {
        drawProgress(err, total, total);
        err << "\n";
    }

    // With the audio on standard output, the summary goes to standard error.
    std::ostream& report = format.toStdout ? err : out;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(frames) / inRate);
    report << (isStandardStream(files[0]) ? "standard input" : files[0]) << " -> "
           << (format.toStdout ? "standard output" : files[1]) << ": " << frames << " frames (" << seconds << " s), "
           << (channels == 1 ? "mono" : "stereo") << ", " << inRate << " Hz";
    if (outRate != inRate) report << " -> " << outRate << " Hz";
    report << "; " << pipeline.written() << " frames written\n";
    report << "  latency: chain " << describeLatency(pipeline.startLatency());
    if (outRate != kSampleRate) report << " = " << atRate(pipeline.startLatency(), outRate) << " frames at " << outRate << " Hz";
    if (pipeline.heldFrames() > 0) {
        char held[64];
        std::snprintf(held, sizeof held, "%.2f ms", pipeline.heldFrames() * 1000.0 / outRate);
        report << ", resampling " << pipeline.heldFrames() << " frames (" << held << ")";
    }
    report << (o.keepLatency ? "; kept (--keep-latency)\n" : "; compensated\n");
    report << "  input:  peak " << dbfs(inLevel.peak) << ", RMS " << dbfs(inLevel.rms()) << "; "
           << describeLoudness(inLoudness.result()) << "\n";
    report << "  output: peak " << dbfs(pipeline.level().peak) << ", RMS " << dbfs(pipeline.level().rms()) << "; "
           << describeLoudness(pipeline.loudness().result()) << "\n";
    return kOk;
}

}  // namespace qx::cli
