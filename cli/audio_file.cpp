#include "cli/audio_file.h"

#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

namespace qx::cli {

namespace {

IoResult failure(IoStatus status, const std::string& path, const std::string& reason) {
    return {status, path + ": " + reason};
}

}  // namespace

IoResult readAudio(const std::string& path, Audio& audio) {
    std::FILE* probe = std::fopen(path.c_str(), "rb");
    if (!probe) return failure(IoStatus::IoError, path, std::strerror(errno));
    std::fclose(probe);

    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return failure(IoStatus::InputError, path, sf_strerror(nullptr));
    // Float material is scaled to 16 bits and clipped, never wrapped around.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);

    IoResult result;
    if (info.channels < 1 || info.channels > 2) {
        result = failure(IoStatus::InputError, path,
                         std::to_string(info.channels) + " channels; only mono and stereo are supported");
    } else if (info.samplerate != 44100) {
        result = failure(IoStatus::InputError, path,
                         "sample rate " + std::to_string(info.samplerate) + " Hz; only 44100 Hz is supported");
    } else {
        audio.channels = info.channels;
        audio.rate = info.samplerate;
        audio.samples.clear();
        std::vector<int16_t> chunk(65536 * static_cast<size_t>(info.channels));
        for (;;) {
            sf_count_t got = sf_readf_short(file, chunk.data(), 65536);
            if (got <= 0) break;
            audio.samples.insert(audio.samples.end(), chunk.begin(), chunk.begin() + got * info.channels);
        }
        if (sf_error(file) != SF_ERR_NO_ERROR) result = failure(IoStatus::IoError, path, sf_strerror(file));
    }
    sf_close(file);
    return result;
}

IoResult writeWav(const std::string& path, const Audio& audio) {
    namespace fs = std::filesystem;
    fs::path target(path);
    fs::path dir = target.parent_path();
    std::random_device seed;
    fs::path temp = (dir.empty() ? fs::path(".") : dir) /
                    ("." + target.filename().string() + ".tmp" + std::to_string(seed() % 1000000));

    SF_INFO info{};
    info.samplerate = audio.rate;
    info.channels = audio.channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(temp.c_str(), SFM_WRITE, &info);
    if (!file) return failure(IoStatus::IoError, path, sf_strerror(nullptr));

    sf_count_t frames = audio.frames();
    sf_count_t written = sf_writef_short(file, audio.samples.data(), frames);
    std::string error = written == frames ? "" : sf_strerror(file);
    if (sf_close(file) != 0 && error.empty()) error = "could not finish writing";
    std::error_code ec;
    if (error.empty()) {
        fs::rename(temp, target, ec);
        if (ec) error = ec.message();
    }
    if (!error.empty()) {
        fs::remove(temp, ec);
        return failure(IoStatus::IoError, path, error);
    }
    return {};
}

}  // namespace qx::cli
