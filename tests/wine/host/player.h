#pragma once
// A stand-in for the media player: it registers the common controls, owns a
// main window and a message loop on the calling (user-interface) thread, loads
// a DSP plug-in, fills in the module's window and instance handles, and drives
// init, config and quit. Audio blocks go through modify-samples on a second
// thread, either one block on request or continuously in real time.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/plugin_interface.h"

namespace qx::test {

constexpr int32_t kBlockFrames = 576;
constexpr int32_t kRate = 44100;

// Interleaved 16-bit stereo frames.
using Block = std::vector<int16_t>;

// A stereo sine block: amplitude in full-scale units (1.0 = 32768), phase
// continuing from `startFrame`.
Block sineBlock(double amplitude, double frequencyHz, int64_t startFrame = 0, int32_t frames = kBlockFrames);
// Two such sines added: a low and a high tone, for moving meters.
Block twoToneBlock(double amplitude1, double frequency1Hz, double amplitude2, double frequency2Hz, int64_t startFrame);

// Registers the trackbar and progress bar classes, as the player does before
// it loads any plug-in.
void registerCommonControls();

class Player {
public:
    Player();
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Loads the plug-in, looks up the header export and takes module 0.
    bool load(const std::string& dllPath);
    PluginHeader* header() const { return header_; }
    PluginModule* module() const { return module_; }
    HMODULE library() const { return library_; }
    HWND mainWindow() const { return mainWindow_; }

    int32_t init();
    void config();
    void quit();

    // One block through modify-samples on the playback thread; returns its
    // output and stores the result value.
    Block process(const Block& input, int32_t bps = 16, int32_t channels = 2, int32_t rate = kRate);
    int32_t lastResult() const { return lastResult_; }

    // Continuous playback: blocks from `source` (given the running frame
    // count) at the real-time rate until stopPlayback; `sink`, when given,
    // receives every block as the plug-in returned it (on the playback thread).
    void startPlayback(std::function<Block(int64_t frame)> source,
                       std::function<void(const Block&)> sink = nullptr);
    void stopPlayback();
    uint64_t blocksPlayed() const { return blocksPlayed_; }

    // Runs the message loop for a while, or until the condition holds
    // (checked after every message and at least every 10 ms).
    void pump(int milliseconds);
    bool pumpUntil(const std::function<bool()>& condition, int timeoutMs);

private:
    void playbackLoop();

    HWND mainWindow_ = nullptr;
    HMODULE library_ = nullptr;
    PluginHeader* header_ = nullptr;
    PluginModule* module_ = nullptr;

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool exit_ = false;
    bool continuous_ = false;
    std::function<Block(int64_t)> source_;
    std::function<void(const Block&)> sink_;
    // A single requested block.
    bool requestPending_ = false;
    bool requestDone_ = false;
    Block request_;
    int32_t requestBps_ = 16, requestChannels_ = 2, requestRate_ = kRate;
    int32_t lastResult_ = 0;
    std::atomic<uint64_t> blocksPlayed_{0};
};

// Message boxes answered from a watcher thread: every message box of this
// process is recorded and closed (OK when it has an OK button, else `answer`).
class MessageBoxWatcher {
public:
    struct Seen {
        std::string caption;
        std::string text;
        bool warningIcon = false;
        bool questionIcon = false;
        bool anyIcon = false;
        bool yesNo = false;  // Yes and No buttons
        HWND owner = nullptr;
    };

    explicit MessageBoxWatcher(int answer = IDYES);
    ~MessageBoxWatcher();

    std::vector<Seen> seen() const;
    size_t count() const;
    void clear();

private:
    void watch();

    int answer_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
    std::vector<HWND> answered_;
    std::thread thread_;
};

}  // namespace qx::test
