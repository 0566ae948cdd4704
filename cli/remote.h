#pragma once
// The web remote of a streaming run: a small HTTP server on its own thread
// with one page (live meters and loudness, preset buttons), server-sent
// events, and a JSON API. The processing thread publishes what it measured
// and takes preset requests; it never waits for the server.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace qx::cli {

// What the processing thread publishes once per block. Each value is stored
// on its own; a reader may see values of neighbouring blocks side by side.
struct RemoteReadings {
    double inputLevel = 0.0;   // % of full scale
    double outputLevel = 0.0;  // %
    double agcGainLow = 0.0;   // dB
    double agcGainHigh = 0.0;
    double limiterReduction = 0.0;
    double clipLevel = 0.0;
    double shortTermLufs = -HUGE_VAL;
    double integratedLufs = -HUGE_VAL;
    double truePeakDbtp = -HUGE_VAL;
    int32_t preset = 0;  // PresetId loaded
    int32_t latencyFrames = 0;
    int32_t latencyRate = 44100;  // the rate the latency counts frames of
};

struct RemotePreset {
    int32_t id = 0;     // PresetId
    std::string label;  // "F4:Web Radio", "03:Late Night"
};

struct RemoteConfig {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string token;  // empty: none required
    std::vector<RemotePreset> presets;
};

// "ADDR:PORT" or ":PORT" (loopback); an IPv6 address in brackets.
bool parseRemoteAddress(const std::string& text, std::string& host, int& port, std::string& error);
bool isLoopback(const std::string& host);
// 32 hexadecimal digits from the system's random source.
std::string generateToken();

class RemoteServer {
public:
    RemoteServer();
    ~RemoteServer();
    RemoteServer(const RemoteServer&) = delete;
    RemoteServer& operator=(const RemoteServer&) = delete;

    // Binds and starts serving; false with a one-line reason.
    bool start(const RemoteConfig& config, std::string& error);
    void stop();
    int port() const { return port_; }

    // Processing thread: never blocks.
    void publish(const RemoteReadings& readings);
    // Processing thread: the preset a client asked for since the last call.
    bool takePresetRequest(int32_t& id);

    // What a client sees (server thread).
    std::string statusJson() const;
    // Handles a preset request body; returns the HTTP status.
    int requestPreset(const std::string& body, std::string& reply);

private:
    static constexpr int kFields = 9;
    static constexpr int32_t kNoRequest = INT32_MIN;

    RemoteConfig config_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<bool> running_{false};
    std::atomic<int> streams_{0};
    std::atomic<double> values_[kFields] = {};
    std::atomic<int32_t> preset_{0};
    std::atomic<int32_t> latencyFrames_{0};
    std::atomic<int32_t> latencyRate_{44100};
    std::atomic<int32_t> requested_{kNoRequest};
    std::atomic<uint64_t> updates_{0};
};

}  // namespace qx::cli
