#pragma once
// Reading program material the way the player delivers it (16-bit PCM) and
// writing 16-bit WAV files without ever leaving a partial output behind.
#include <cstdint>
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

// Reads any format libsndfile reads, converted to 16-bit samples.
IoResult readAudio(const std::string& path, Audio& audio);

// Writes 16-bit PCM WAV through a temporary file in the same directory that is
// renamed over `path` only once everything was written.
IoResult writeWav(const std::string& path, const Audio& audio);

}  // namespace qx::cli
