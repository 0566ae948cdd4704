#include "cli/audio_file.h"

#include <sndfile.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qx::cli {

namespace {

IoResult failure(IoStatus status, const std::string& path, const std::string& reason) {
    return {status, path + ": " + reason};
}

std::filesystem::path temporaryBeside(const std::string& path) {
    namespace fs = std::filesystem;
    fs::path target(path);
    fs::path dir = target.parent_path();
    std::random_device seed;
    std::string name(1, '.');
    name += target.filename().string();
    name += ".tmp" + std::to_string(seed() % 1000000);
    return (dir.empty() ? fs::path(".") : dir) / name;
}

// The temporary file being written, for the signal handler: an interrupted
// run (Ctrl-C, kill) must not leave it behind. One sink writes at a time.
char pendingTemp[4096];

void removePendingTemp(int sig) {
    if (pendingTemp[0] != '\0') unlink(pendingTemp);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void watchTemp(const std::filesystem::path& temp) {
    const std::string text = temp.string();
    if (text.size() >= sizeof pendingTemp) return;
    std::memcpy(pendingTemp, text.c_str(), text.size() + 1);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, removePendingTemp);
}

void unwatchTemp() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, SIG_DFL);
    pendingTemp[0] = '\0';
}

constexpr int kRawFormat = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;

std::string lowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext.empty() ? ext : ext.substr(1);
}

bool identify(const std::string& path, int standardFd, struct stat& st) {
    const int result = isStandardStream(path) ? fstat(standardFd, &st) : stat(path.c_str(), &st);
    return result == 0 && S_ISREG(st.st_mode);
}

void putLe(std::vector<unsigned char>& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

}  // namespace

bool parseRawFormat(const std::string& text, RawFormat& format, std::string& error) {
    error = "--raw " + text + ": expected RATE:CHANNELS, e.g. 48000:2";
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string rate = text.substr(0, colon), channels = text.substr(colon + 1);
    auto digits = [](const std::string& s) {
        return !s.empty() && s.size() <= 6 && s.find_first_not_of("0123456789") == std::string::npos;
    };
    if (!digits(rate) || !digits(channels)) return false;
    format.rate = std::stoi(rate);
    format.channels = std::stoi(channels);
    if (format.rate < kMinStreamRate || format.rate > kMaxStreamRate) {
        error = "--raw " + text + ": the rate must be " + std::to_string(kMinStreamRate) + " to " +
                std::to_string(kMaxStreamRate) + " Hz";
        return false;
    }
    if (format.channels < 1 || format.channels > 2) {
        error = "--raw " + text + ": only mono and stereo are supported";
        return false;
    }
    error.clear();
    return true;
}

bool outputFormatFor(const std::string& path, bool raw, OutputFormat& format, std::string& error) {
    format = {};
    const std::string ext = lowerExtension(path);
    struct stat st {};
    format.toStdout = isStandardStream(path);
    format.stream = format.toStdout || (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode));
    if (format.stream) {
        if (!format.toStdout && !ext.empty() && ext != "wav" && ext != "raw" && ext != "pcm") {
            error = path + ": a pipe or device takes WAV or raw PCM only, not '" + ext + "'";
            return false;
        }
        format.sndfileFormat = raw || ext == "raw" || ext == "pcm" ? 0 : SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        return true;
    }
    struct Known {
        const char* ext;
        int format;
    } known[] = {{"wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},   {"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                 {"ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},   {"aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
                 {"au", SF_FORMAT_AU | SF_FORMAT_PCM_16},     {"raw", kRawFormat},
                 {"pcm", kRawFormat}};
    for (const Known& k : known) {
        if (ext == k.ext) {
            format.sndfileFormat = k.format;
            return true;
        }
    }
    error = path + ": unknown output format '" + ext + "'; use .wav, .flac, .ogg, .aiff, .au, .raw or - (standard output)";
    return false;
}

bool sameFile(const std::string& in, const std::string& out) {
    struct stat a {}, b {};
    return identify(in, STDIN_FILENO, a) && identify(out, STDOUT_FILENO, b) && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

AudioSource::~AudioSource() {
    if (file_) sf_close(file_);
}

IoResult AudioSource::open(const std::string& path, const RawFormat* raw) {
    const bool standard = isStandardStream(path);
    name_ = standard ? "standard input" : path;
    if (!standard) {
        std::FILE* probe = std::fopen(path.c_str(), "rb");
        if (!probe) return failure(IoStatus::IoError, name_, std::strerror(errno));
        std::fclose(probe);
    }
    info_ = {};
    if (raw) {
        info_.samplerate = raw->rate;
        info_.channels = raw->channels;
        info_.format = kRawFormat;
    }
    file_ = standard ? sf_open_fd(STDIN_FILENO, SFM_READ, &info_, SF_FALSE) : sf_open(path.c_str(), SFM_READ, &info_);
    if (!file_) return failure(IoStatus::InputError, name_, sf_strerror(nullptr));
    // Float material is scaled to 16 bits and clipped, never wrapped around.
    sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    if (info_.channels < 1 || info_.channels > 2)
        return failure(IoStatus::InputError, name_,
                       std::to_string(info_.channels) + " channels; only mono and stereo are supported");
    if (info_.samplerate < kMinStreamRate || info_.samplerate > kMaxStreamRate)
        return failure(IoStatus::InputError, name_,
                       "sample rate " + std::to_string(info_.samplerate) + " Hz; supported are " +
                           std::to_string(kMinStreamRate) + " to " + std::to_string(kMaxStreamRate) + " Hz");
    knownFrames_ = info_.seekable ? info_.frames : -1;
    return {};
}

int64_t AudioSource::read(int16_t* buffer, int64_t frames) {
    const sf_count_t got = sf_readf_short(file_, buffer, frames);
    if (got < frames && sf_error(file_) != SF_ERR_NO_ERROR) error_ = failure(IoStatus::IoError, name_, sf_strerror(file_));
    return got > 0 ? got : 0;
}

AudioSink::~AudioSink() {
    abandon();
    if (ownsFd_) ::close(fd_);
}

void AudioSink::abandon() {
    if (file_) {
        sf_close(file_);
        file_ = nullptr;
    }
    if (!temp_.empty()) {
        std::error_code ec;
        std::filesystem::remove(temp_, ec);
        temp_.clear();
        unwatchTemp();
    }
}

IoResult AudioSink::open(const std::string& path, const OutputFormat& format, int rate, int channels) {
    channels_ = channels;
    if (format.stream) {
        name_ = format.toStdout ? "standard output" : path;
        fd_ = format.toStdout ? STDOUT_FILENO : ::open(path.c_str(), O_WRONLY);
        if (fd_ < 0) return failure(IoStatus::IoError, path, std::strerror(errno));
        ownsFd_ = !format.toStdout;
        if (format.sndfileFormat == 0) return {};
        // The unknown length as streaming tools write it: all ones in both sizes.
        std::vector<unsigned char> header;
        for (char c : std::string("RIFF")) header.push_back(static_cast<unsigned char>(c));
        putLe(header, 0xFFFFFFFFu, 4);
        for (char c : std::string("WAVEfmt ")) header.push_back(static_cast<unsigned char>(c));
        putLe(header, 16, 4);
        putLe(header, 1, 2);  // PCM
        putLe(header, static_cast<uint32_t>(channels), 2);
        putLe(header, static_cast<uint32_t>(rate), 4);
        putLe(header, static_cast<uint32_t>(rate * channels * 2), 4);
        putLe(header, static_cast<uint32_t>(channels * 2), 2);
        putLe(header, 16, 2);
        for (char c : std::string("data")) header.push_back(static_cast<unsigned char>(c));
        putLe(header, 0xFFFFFFFFu, 4);
        return writeStream(header.data(), header.size());
    }
    name_ = path;
    temp_ = temporaryBeside(path);
    watchTemp(temp_);
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format.sndfileFormat;
    file_ = sf_open(temp_.c_str(), SFM_WRITE, &info);
    if (!file_) {
        const std::string reason = sf_strerror(nullptr);
        abandon();
        return failure(IoStatus::IoError, path, reason);
    }
    return {};
}

IoResult AudioSink::writeStream(const void* data, size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (bytes > 0) {
        const ssize_t n = ::write(fd_, p, bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return failure(IoStatus::IoError, name_, n < 0 ? std::strerror(errno) : "write failed");
        p += n;
        bytes -= static_cast<size_t>(n);
    }
    return {};
}

IoResult AudioSink::write(const int16_t* samples, int64_t frames) {
    if (frames <= 0) return {};
    const size_t count = static_cast<size_t>(frames) * static_cast<size_t>(channels_);
    if (fd_ >= 0) {
        bytes_.clear();
        for (size_t i = 0; i < count; ++i) putLe(bytes_, static_cast<uint16_t>(samples[i]), 2);
        return writeStream(bytes_.data(), bytes_.size());
    }
    if (sf_writef_short(file_, samples, frames) != frames) return failure(IoStatus::IoError, name_, sf_strerror(file_));
    return {};
}

IoResult AudioSink::finish() {
    if (fd_ >= 0) return {};
    std::string error;
    if (sf_close(file_) != 0) error = "could not finish writing";
    file_ = nullptr;
    std::error_code ec;
    if (error.empty()) {
        std::filesystem::rename(temp_, name_, ec);
        if (ec) error = ec.message();
    }
    if (!error.empty()) {
        abandon();
        return failure(IoStatus::IoError, name_, error);
    }
    temp_.clear();
    unwatchTemp();
    return {};
}

IoResult readAudio(const std::string& path, Audio& audio) {
    AudioSource source;
    if (IoResult opened = source.open(path, nullptr); opened.status != IoStatus::Ok) return opened;
    audio.channels = source.channels();
    audio.rate = source.rate();
    audio.samples.clear();
    std::vector<int16_t> chunk(65536 * static_cast<size_t>(audio.channels));
    while (int64_t got = source.read(chunk.data(), 65536))
        audio.samples.insert(audio.samples.end(), chunk.begin(), chunk.begin() + got * audio.channels);
    return source.error();
}

}  // namespace qx::cli
