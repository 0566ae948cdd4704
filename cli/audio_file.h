#pragma once
// Reading program material the way the player delivers it (16-bit PCM) and
// writing 16-bit files without ever leaving a partial output behind; whole
// files for the measuring commands, block by block for streams and pipes.
#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qx::cli {

struct Audio {
    int channels = 0;
    int rate = 0;
    std::vector<int16_t> samples;  // interleaved
    int64_t frames() const { return channels ? static_cast<int64_t>(samples.size()) / channels : 0; }
};

enum class IoStatus { Ok, IoError, InputError };

struct IoResult {
    IoStatus status = IoStatus::Ok;
    std::string message;  // "FILE: reason", empty on success
};

// Reads a whole file (or standard input) as AudioSource does, converted to
// 16-bit samples.
IoResult readAudio(const std::string& path, Audio& audio);

// Sample rates a stream may have (input, or output with --rate).
constexpr int kMinStreamRate = 8000;
constexpr int kMaxStreamRate = 384000;

// Headerless 16-bit little-endian PCM: "RATE:CHANNELS", e.g. "48000:2".
struct RawFormat {
    int rate = 0;
    int channels = 0;
};
bool parseRawFormat(const std::string& text, RawFormat& format, std::string& error);

// "-" names standard input or output.
inline bool isStandardStream(const std::string& path) { return path == "-"; }

// How OUT is written: "-" streams WAV (headerless PCM with `raw`) to standard
// output, and so does a name that is already a pipe or a device (/dev/null, a
// FIFO; with a .wav, .raw or no extension); a file goes by its extension
// (wav, flac, ogg, aiff, au; raw or pcm for headerless PCM). False with a
// one-line reason for any other name.
struct OutputFormat {
    int sndfileFormat = 0;  // 0: headerless PCM
    bool stream = false;    // written as it comes, no temporary file
    bool toStdout = false;
};
bool outputFormatFor(const std::string& path, bool raw, OutputFormat& format, std::string& error);

// True when both names lead to the same regular file (another path, a link,
// "-" redirected to it), compared by device and inode.
bool sameFile(const std::string& in, const std::string& out);

// Reads a file or standard input block by block, without seeking, so pipes
// work: every format libsndfile reads (from a pipe: WAV, AIFF, AU, Ogg, not
// FLAC), or headerless PCM.
class AudioSource {
public:
    AudioSource() = default;
    AudioSource(const AudioSource&) = delete;
    AudioSource& operator=(const AudioSource&) = delete;
    ~AudioSource();

    // `raw` null: the format comes from the data. Refuses (InputError) more
    // than two channels and rates outside kMinStreamRate..kMaxStreamRate.
    IoResult open(const std::string& path, const RawFormat* raw);
    // Up to `frames` interleaved frames into `buffer`; fewer only at the end of
    // the input (0 then). Failures land in error().
    int64_t read(int16_t* buffer, int64_t frames);
    const IoResult& error() const { return error_; }

    int channels() const { return info_.channels; }
    int rate() const { return info_.samplerate; }
    int64_t knownFrames() const { return knownFrames_; }  // -1 for streams

private:
    std::string name_;
    SF_INFO info_{};
    SNDFILE* file_ = nullptr;
    int64_t knownFrames_ = -1;
    IoResult error_;
};

// Writes 16-bit audio block by block. Files go to a temporary file in the
// same directory that finish() renames over the name; an unfinished sink
// removes it, also when a signal (Ctrl-C, kill) ends the run. Streams
// (standard output, a pipe, a device) get every block written at once,
// unbuffered; a WAV header there carries the unknown length (0xFFFFFFFF) as
// streaming tools write it.
class AudioSink {
public:
    AudioSink() = default;
    AudioSink(const AudioSink&) = delete;
    AudioSink& operator=(const AudioSink&) = delete;
    ~AudioSink();

    IoResult open(const std::string& path, const OutputFormat& format, int rate, int channels);
    IoResult write(const int16_t* samples, int64_t frames);
    IoResult finish();

private:
    IoResult writeStream(const void* data, size_t bytes);
    void abandon();

    std::string name_;
    std::filesystem::path temp_;
    SNDFILE* file_ = nullptr;
    int fd_ = -1;  // a stream: standard output, a pipe or a device
    bool ownsFd_ = false;
    int channels_ = 0;
    std::vector<unsigned char> bytes_;
};

}  // namespace qx::cli
