#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "cli/audio_file.h"
#include "cli/block_queue.h"
#include "cli/loudness.h"
#include "cli/options.h"
#include "cli/remote.h"
#include "cli/resampler.h"
#include "engine/chain.h"
#include "platform/threads.h"

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

// Peak and RMS of 16-bit samples, summed as integers: exact however long the
// run, and free of a chain of rounded additions, so the loop runs in vector
// lanes.
struct Level {
    int32_t peakAbs = 0;
    unsigned __int128 sumSquares = 0;  // of the samples as integers
    int64_t count = 0;
    void add(const int16_t* samples, int64_t n) {
        int32_t largest = peakAbs;
        uint64_t squares = 0;  // at most 2^30 per sample: no block comes near 2^34 samples
        for (int64_t i = 0; i < n; ++i) {
            const int32_t v = samples[i];
            largest = std::max(largest, v < 0 ? -v : v);
            squares += static_cast<uint64_t>(v * v);
        }
        peakAbs = largest;
        sumSquares += squares;
        count += n;
    }
    double peak() const { return peakAbs / 32768.0; }  // fraction of full scale
    double rms() const {
        return count > 0 ? std::sqrt(static_cast<double>(sumSquares) / (1u << 30) / static_cast<double>(count)) : 0.0;
    }
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

// Three threads with a bounded queue of blocks between each two, so the chain
// never waits for decoding, measuring or writing: the reader (input at its own
// rate -> resampler -> 44100 Hz), the chain (blocks of 576 frames ->
// resampler -> output rate) on the caller's thread, and the writer. The
// chain's first half runs a few blocks ahead on a fourth thread, as the
// chain alone takes longer than the reader or the writer.
// Compensating, the chain's leading delay is dropped and the tail flushed with
// silence at the end; the resamplers' output is aligned with their input by
// themselves.
// Blocks in each queue and blocks the chain's first half may run ahead of its
// second. Offline, enough that a thread waiting a few milliseconds for a
// processor (a hundred blocks' work) starves none of the others, and a
// sleeping consumer wakes with a batch of blocks to take, so the threads
// sleep and wake a quarter as often; a live stream keeps the queues short and
// passes each block on at once, so a switch of preset is soon heard.
constexpr std::size_t kQueueBlocks = 16;
constexpr std::size_t kOfflineBlocks = 128;
constexpr std::size_t kOfflineBatch = 4;

// Room for a block of kHostBlock frames at `from` once at `to` Hz; the
// resampler's uneven output may grow a buffer now and then, never for long.
std::size_t blockSamples(int from, int to, int channels) {
    return static_cast<std::size_t>(2 * kHostBlock * ((to + from - 1) / from) * channels);
}

int64_t frameCount(const std::vector<int16_t>& v, int channels) { return static_cast<int64_t>(v.size()) / channels; }

// The reader: one block per read, measured as read and brought to the chain's rate.
class InputStage {
public:
    InputStage(AudioSource& source, BlockQueue& queue)
        : source_(source), queue_(queue), channels_(source.channels()), loudness_(source.rate(), usualLayout(channels_)) {
        if (source.rate() != kSampleRate) resampler_ = std::make_unique<Resampler>(source.rate(), kSampleRate, channels_);
    }

    void run() {
        std::vector<int16_t> read(kHostBlock * static_cast<size_t>(channels_));
        while (int64_t got = source_.read(read.data(), kHostBlock)) {
            level_.add(read.data(), got * channels_);
            loudness_.add(read.data(), got);
            Block* block = queue_.acquire();
            if (block == nullptr) return;  // the run ended downstream
            block->sourceFrames = got;
            block->samples.clear();
            if (resampler_)
                resampler_->push(read.data(), got, block->samples);
            else
                block->samples.insert(block->samples.end(), read.data(), read.data() + got * channels_);
            queue_.submit(block);
        }
        // What the resampler still holds is the chain's to take at the end.
        if (resampler_ && source_.error().status == IoStatus::Ok) {
            heldFrames_ = resampler_->heldFrames();
            resampler_->flush(tail_);
        }
        queue_.close();
    }

    // After run().
    const IoResult& error() const { return source_.error(); }
    std::string resamplerError() const { return resampler_ ? resampler_->error() : std::string(); }
    double heldFrames() const { return heldFrames_; }  // by the resampler at the end of input
    const std::vector<int16_t>& tail() const { return tail_; }
    const Level& level() const { return level_; }
    const LoudnessMeter& loudness() const { return loudness_; }

private:
    AudioSource& source_;
    BlockQueue& queue_;
    const int channels_;
    std::unique_ptr<Resampler> resampler_;
    Level level_;
    LoudnessMeter loudness_;
    double heldFrames_ = 0.0;
    std::vector<int16_t> tail_;
};

// The output's loudness for the remote, published by the writer; the chain
// reads it without ever waiting.
struct LoudnessReadings {
    std::atomic<double> shortTermLufs{-HUGE_VAL}, integratedLufs{-HUGE_VAL}, truePeakDbtp{-HUGE_VAL};
};

// The writer: writes and measures the processed blocks. A failed write
// cancels both queues, so the chain and the reader stop as well.
class OutputStage {
public:
    OutputStage(AudioSink& sink, int channels, int rate, LoudnessReadings* readings, BlockQueue& queue,
                BlockQueue& upstream)
        : sink_(sink),
          channels_(channels),
          readings_(readings),
          queue_(queue),
          upstream_(upstream),
          loudness_(rate, usualLayout(channels)) {}

    void run() {
        while (Block* block = queue_.take()) {
            const int64_t frames = frameCount(block->samples, channels_);
            level_.add(block->samples.data(), frames * channels_);
            loudness_.add(block->samples.data(), frames);
            failure_ = sink_.write(block->samples.data(), frames);
            queue_.release(block);
            if (failure_.status != IoStatus::Ok) {
                queue_.cancel();
                upstream_.cancel();
                return;
            }
            if (readings_ != nullptr) publish();
        }
    }

    // After run().
    const IoResult& failure() const { return failure_; }
    const Level& level() const { return level_; }
    const LoudnessMeter& loudness() const { return loudness_; }

private:
    // At the remote's pace: the integrated value sums a histogram.
    void publish() {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastPublished_ < kRemoteInterval) return;
        lastPublished_ = now;
        readings_->shortTermLufs.store(loudness_.shortTermLufs(), std::memory_order_relaxed);
        const Loudness soFar = loudness_.result();
        readings_->integratedLufs.store(soFar.integratedLufs, std::memory_order_relaxed);
        readings_->truePeakDbtp.store(soFar.truePeakDbtp, std::memory_order_relaxed);
    }

    AudioSink& sink_;
    const int channels_;
    LoudnessReadings* readings_;
    BlockQueue &queue_, &upstream_;
    Level level_;
    LoudnessMeter loudness_;
    IoResult failure_;
    std::chrono::steady_clock::time_point lastPublished_;
};

// The chain, on the caller's thread, with the selection file and the remote.
class ChainStage {
public:
    ChainStage(Engine& engine, int channels, int inRate, int outRate, bool compensate, bool follow,
               RemoteServer* remote, const LoudnessReadings& readings, BlockQueue& output, std::ostream& err)
        : engine_(engine),
          channels_(channels),
          inRate_(inRate),
          outRate_(outRate),
          compensate_(compensate),
          follow_(follow),
          remote_(remote),
          readings_(readings),
          output_(output),
          err_(err),
          startLatency_(engine.latencyFrames()),
          dropFrames_(compensate ? startLatency_ : 0) {
        if (outRate != kSampleRate) fromChain_ = std::make_unique<Resampler>(kSampleRate, outRate, channels);
        lastPoll_ = std::chrono::steady_clock::now();
    }

    std::string resamplerError() const { return fromChain_ ? fromChain_->error() : std::string(); }

    // Processes the input's blocks as they come and, when it ended well,
    // finishes the output; returns early once the writer gave up. The
    // progress bar counts the input's frames against `total` (0: none). With
    // `thread`, the taking of input and the chain's first half run there;
    // --follow and --remote keep the chain on this thread, as their switches
    // come between two blocks.
    void run(BlockQueue& input, const InputStage& reader, int64_t total, SecondThread* thread) {
        input_ = &input;
        reader_ = &reader;
        total_ = total;
        BlockStreamHooks hooks;
        hooks.context = this;
        hooks.aheadBlocks = kOfflineBlocks;  // with two threads the run is offline
        hooks.fill = [](int64_t block, int16_t* samples, ChainState&, void* self) {
            auto& stage = *static_cast<ChainStage*>(self);
            return stage.guarded(0, [&] { return stage.nextBlock(block, samples); }, 0);
        };
        hooks.afterFront = [](int64_t, int32_t frames, ChainState&, void* self) {
            static_cast<ChainStage*>(self)->engine_.clock.frames += static_cast<uint64_t>(frames);
        };
        // The host clears the peak before each block.
        hooks.beforeBack = [](int64_t, ChainState& state, void*) { state.outputPeak = 0.0; };
        hooks.done = [](int64_t block, const int16_t* samples, int32_t frames, ChainState&, void* self) {
            auto& stage = *static_cast<ChainStage*>(self);
            return stage.guarded(1, [&] { return stage.blockDone(block, samples, frames); }, false);
        };
        runBlockStream(*engine_.state, channels_, follow_ || remote_ != nullptr ? nullptr : thread, hooks);
        for (const std::exception_ptr& failure : failures_)
            if (failure) std::rethrow_exception(failure);
        if (finishing_ && !stopped_) finishOutput();
    }

    int64_t inputFrames() const { return inputFrames_; }
    int64_t written() const { return written_; }
    int64_t heldFrames() const { return heldFrames_; }
    int32_t startLatency() const { return startLatency_; }

private:
    // A hook's failure ends the stream (`side` 0: the first half's thread, 1:
    // the second's) and is thrown again once both threads are back.
    template <class Work, class Result>
    Result guarded(int side, Work work, Result onFailure) {
        try {
            return work();
        } catch (...) {
            failures_[side] = std::current_exception();
            input_->cancel();
            return onFailure;
        }
    }

    // On the first half's thread: the next block of kHostBlock frames, or
    // after the input the rest; 0 at the end. A run that failed upstream
    // drops its last part block.
    int32_t nextBlock(int64_t block, int16_t* samples) {
        while (!inputEnded_ && pending() < kHostBlock) takeInput();
        const int32_t n = inputEnded_ && !finishing_ ? 0 : static_cast<int32_t>(std::min<int64_t>(kHostBlock, pending()));
        if (n == 0) return 0;
        if (finishing_ && finalBlock_.load(std::memory_order_relaxed) == kNoBlock)
            finalBlock_.store(block, std::memory_order_release);
        const int16_t* from = chainIn_.data() + chainRead_ * channels_;
        std::copy_n(from, static_cast<size_t>(n) * channels_, samples);
        chainRead_ += n;
        return n;
    }

    int64_t pending() const { return frameCount(chainIn_, channels_) - chainRead_; }

    void append(const int16_t* begin, const int16_t* end) {
        chainIn_.erase(chainIn_.begin(), chainIn_.begin() + chainRead_ * channels_);
        chainRead_ = 0;
        chainIn_.insert(chainIn_.end(), begin, end);
    }

    void takeInput() {
        Block* block = input_->take();
        if (block == nullptr) {
            inputEnded_ = true;
            if (!input_->cancelled() && reader_->error().status == IoStatus::Ok) beginFinish();
            return;
        }
        const int64_t got = block->sourceFrames;
        inputFrames_ += got;
        append(block->samples.data(), block->samples.data() + block->samples.size());
        input_->release(block);
        if (total_ > 0 && inputFrames_ / inRate_ != (inputFrames_ - got) / inRate_)
            drawProgress(err_, inputFrames_, total_);
    }

    // End of input: everything still inside goes out, and the output gets
    // exactly its length.
    void beginFinish() {
        finishing_ = true;
        inputHeld_ = atRate(std::llround(reader_->heldFrames()), outRate_);
        const std::vector<int16_t>& tail = reader_->tail();
        append(tail.data(), tail.data() + tail.size());
        const int32_t latency = engine_.latencyFrames();
        if (compensate_) chainIn_.resize(chainIn_.size() + static_cast<size_t>(latency) * channels_, 0);
        // A switch under --follow shifts the output by the change of latency.
        finalLimit_ = std::llround(static_cast<double>(inputFrames_) * outRate_ / inRate_) +
                      (compensate_ ? atRate(latency - startLatency_, outRate_) : 0);
    }

    // On the second half's thread (the caller's): a finished block goes on.
    bool blockDone(int64_t block, const int16_t* samples, int32_t frames) {
        if (!finalTaken_ && block >= finalBlock_.load(std::memory_order_acquire)) takeFinal();
        stopped_ = !passOn(samples, frames);
        if (stopped_) return false;
        if (follow_) followSelection();
        if (remote_ != nullptr) serveRemote();
        return true;
    }

    // From the first block after the input on, the output has its limit.
    void takeFinal() {
        heldFrames_ = inputHeld_ + (fromChain_ ? std::llround(fromChain_->heldFrames()) : 0);
        outputLimit_ = finalLimit_;
        finalTaken_ = true;
    }

    void finishOutput() {
        if (!finalTaken_) takeFinal();
        if (fromChain_) {
            resampled_.clear();
            fromChain_->flush(resampled_);
            if (!send(resampled_.data(), frameCount(resampled_, channels_))) return;
        }
        const std::vector<int16_t> silence(kHostBlock * static_cast<size_t>(channels_), 0);
        while (written_ < outputLimit_)
            if (!send(silence.data(), std::min<int64_t>(kHostBlock, outputLimit_ - written_))) return;
    }

    bool passOn(const int16_t* samples, int64_t frames) {
        const int64_t skip = std::min(dropFrames_, frames);
        dropFrames_ -= skip;
        samples += skip * channels_;
        frames -= skip;
        if (!fromChain_) return send(samples, frames);
        resampled_.clear();
        fromChain_->push(samples, frames, resampled_);
        return send(resampled_.data(), frameCount(resampled_, channels_));
    }

    // Hands frames to the writer; false once it gave up.
    bool send(const int16_t* samples, int64_t frames) {
        if (outputLimit_ >= 0) frames = std::min(frames, outputLimit_ - written_);
        if (frames <= 0) return true;
        Block* block = output_.acquire();
        if (block == nullptr) return false;
        block->samples.assign(samples, samples + frames * channels_);
        written_ += frames;
        output_.submit(block);
        return true;
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
        r.shortTermLufs = readings_.shortTermLufs.load(std::memory_order_relaxed);
        r.integratedLufs = readings_.integratedLufs.load(std::memory_order_relaxed);
        r.truePeakDbtp = readings_.truePeakDbtp.load(std::memory_order_relaxed);
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
    const LoudnessReadings& readings_;
    BlockQueue& output_;
    std::ostream& err_;
    std::unique_ptr<Resampler> fromChain_;
    BlockQueue* input_ = nullptr;
    const InputStage* reader_ = nullptr;
    int64_t total_ = 0;
    std::exception_ptr failures_[2];
    // The first half's thread: the input side.
    std::vector<int16_t> chainIn_;  // frames at 44100 Hz waiting for a full block
    int64_t chainRead_ = 0;         // frames of chainIn_ handed to the chain
    int64_t inputFrames_ = 0;
    bool inputEnded_ = false, finishing_ = false;
    int64_t inputHeld_ = 0;    // by the input resampler at the end, at the output rate
    int64_t finalLimit_ = 0;   // the output's length, known at the end of input
    static constexpr int64_t kNoBlock = INT64_MAX;
    std::atomic<int64_t> finalBlock_{kNoBlock};  // the first block after the input
    // The second half's thread: the output side.
    std::vector<int16_t> resampled_;  // scratch for the output resampler
    const int32_t startLatency_;
    int64_t dropFrames_;
    int64_t written_ = 0;
    int64_t outputLimit_ = -1;  // from the first block after the input on
    int64_t heldFrames_ = 0;
    bool finalTaken_ = false, stopped_ = false;
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

    const bool live = o.follow || !o.remote.empty();
    const std::size_t batch = live ? 1 : kOfflineBatch;
    const std::size_t depth = live ? kQueueBlocks : kOfflineBlocks;
    BlockQueue toChain(depth, blockSamples(inRate, kSampleRate, channels), batch);
    BlockQueue toWriter(depth, blockSamples(kSampleRate, outRate, channels), batch);
    InputStage reader(source, toChain);
    LoudnessReadings readings;
    OutputStage writer(sink, channels, outRate, o.remote.empty() ? nullptr : &readings, toWriter, toChain);
    ChainStage chain(engine, channels, inRate, outRate, !o.keepLatency, o.follow,
                     o.remote.empty() ? nullptr : &remote, readings, toWriter, err);
    auto resamplerError = [&] { return reader.resamplerError().empty() ? chain.resamplerError() : reader.resamplerError(); };
    if (std::string e = resamplerError(); !e.empty()) return fail(err, kIoFailure, "process: resampler: " + e);
    const int64_t total = source.knownFrames();
    progress = progress && total > 0;
    // The chain's first half; when it cannot start, the chain runs whole here.
    const std::unique_ptr<SecondThread> chainThread = makeSecondThread();
    {
        // Offline, nothing waits for an answer: the threads run out their
        // time slices rather than preempt one another at each hand-over.
        std::optional<BatchScheduling> scheduling;
        if (!live) scheduling.emplace();
        std::thread readerThread, writerThread;
        auto join = [&] {
            if (readerThread.joinable()) readerThread.join();
            if (writerThread.joinable()) writerThread.join();
        };
        // Out of threads (a process limit, memory): stop what started and say so.
        try {
            readerThread = std::thread(&InputStage::run, &reader);
            writerThread = std::thread(&OutputStage::run, &writer);
        } catch (const std::system_error& e) {
            toChain.cancel();
            toWriter.cancel();
            join();
            return fail(err, kIoFailure, std::string("process: cannot start a thread: ") + e.what());
        }
        try {
            chain.run(toChain, reader, progress ? total : 0, chainThread.get());
        } catch (...) {
            toChain.cancel();
            toWriter.cancel();
            join();
            throw;
        }
        toWriter.close();
        join();
    }
    if (writer.failure().status != IoStatus::Ok) return fail(err, kIoFailure, writer.failure().message);
    if (reader.error().status != IoStatus::Ok) return fail(err, kIoFailure, reader.error().message);
    if (std::string e = resamplerError(); !e.empty()) return fail(err, kIoFailure, "process: resampler: " + e);
    if (IoResult done = sink.finish(); done.status != IoStatus::Ok) return fail(err, kIoFailure, done.message);
    if (progress) {
        drawProgress(err, total, total);
        err << "\n";
    }
    const int64_t frames = chain.inputFrames();

    // With the audio on standard output, the summary goes to standard error.
    std::ostream& report = format.toStdout ? err : out;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(frames) / inRate);
    report << (isStandardStream(files[0]) ? "standard input" : files[0]) << " -> "
           << (format.toStdout ? "standard output" : files[1]) << ": " << frames << " frames (" << seconds << " s), "
           << (channels == 1 ? "mono" : "stereo") << ", " << inRate << " Hz";
    if (outRate != inRate) report << " -> " << outRate << " Hz";
    report << "; " << chain.written() << " frames written\n";
    report << "  latency: chain " << describeLatency(chain.startLatency());
    if (outRate != kSampleRate) report << " = " << atRate(chain.startLatency(), outRate) << " frames at " << outRate << " Hz";
    if (chain.heldFrames() > 0) {
        char held[64];
        std::snprintf(held, sizeof held, "%.2f ms", chain.heldFrames() * 1000.0 / outRate);
        report << ", resampling " << chain.heldFrames() << " frames (" << held << ")";
    }
    report << (o.keepLatency ? "; kept (--keep-latency)\n" : "; compensated\n");
    report << "  input:  peak " << dbfs(reader.level().peak()) << ", RMS " << dbfs(reader.level().rms()) << "; "
           << describeLoudness(reader.loudness().result()) << "\n";
    report << "  output: peak " << dbfs(writer.level().peak()) << ", RMS " << dbfs(writer.level().rms()) << "; "
           << describeLoudness(writer.loudness().result()) << "\n";
    return kOk;
}

}  // namespace qx::cli
