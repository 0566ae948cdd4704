// The web remote of a live stream: the tool fed in real time through pipes,
// its page in headless Chromium driven through chromedriver, its API from
// curl, and a burst of bad requests that must not touch the audio.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qx::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 44100;
constexpr int kChunk = 4410;  // 100 ms of stereo frames

// A child process with pipes on its standard streams.
class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        int in[2], out[2], err[2];
        // Close-on-exec, so no later child (the browser) holds our ends open.
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        for (int fd : {in[1], out[0], err[0]}) posix_spawn_file_actions_addclose(&actions, fd);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
    }
    ~Child() {
        closeInput();
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {out_, err_})
            if (fd >= 0) close(fd);
    }
    bool running() const { return pid_ > 0; }
    int input() const { return in_; }
    int output() const { return out_; }
    int errors() const { return err_; }
    void closeInput() {
        if (in_ >= 0) close(in_);
        in_ = -1;
    }
    int wait() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
};

// Reads a child's standard error line by line until `pattern` matches.
std::string awaitLine(int fd, const std::regex& pattern, std::smatch& match, int timeoutMs) {
    std::string text;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    while (Clock::now() < deadline) {
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n == 1) {
            text += c;
            if (c == '\n' && std::regex_search(text, match, pattern)) return text;
        } else if (n == 0) {
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return text;
}

// Stereo 16-bit raw PCM of a 440 Hz tone at -20 dBFS.
std::vector<int16_t> tone(int frames, int64_t start) {
    std::vector<int16_t> out(2 * static_cast<std::size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        const double v = 0.1 * std::sin(2 * 3.141592653589793 * 440.0 * static_cast<double>(start + i) / kRate);
        out[2 * i] = out[2 * i + 1] = static_cast<int16_t>(v * 32767.0);
    }
    return out;
}

// The tool in a live chain: raw PCM in at real-time pace, raw PCM out, each
// 100 ms of output's RMS recorded with the time it arrived.
class LiveStream {
public:
    // `chunks` of 100 ms (until stopped when negative), one every `intervalMs`.
    LiveStream(const std::vector<std::string>& extra, const fs::path& dir, int chunks = -1, int intervalMs = 100) {
        std::vector<std::string> args = {QX_TOOL_PATH, "process", "-", "-", "--raw", "44100:2", "--preset", "F1",
                                          "--data-dir", (dir / "data").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        child_ = std::make_unique<Child>(args);
        feeder_ = std::thread([this, chunks, intervalMs] {
            for (int64_t n = 0; !stop_ && (chunks < 0 || n < chunks); ++n) {
                const std::vector<int16_t> block = tone(kChunk, n * kChunk);
                if (write(child_->input(), block.data(), block.size() * 2) < 0) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
            }
            child_->closeInput();
        });
        reader_ = std::thread([this] {
            std::vector<int16_t> chunk(2 * kChunk);
            std::size_t filled = 0;
            for (;;) {
                const ssize_t n = read(child_->output(), reinterpret_cast<char*>(chunk.data()) + filled,
                                       chunk.size() * 2 - filled);
                if (n <= 0) break;
                bytes_.append(reinterpret_cast<const char*>(chunk.data()) + filled, static_cast<std::size_t>(n));
                filled += static_cast<std::size_t>(n);
                if (filled < chunk.size() * 2) continue;
                double sum = 0.0;
                for (int16_t s : chunk) sum += static_cast<double>(s) * s;
                std::lock_guard<std::mutex> lock(mutex_);
                levels_.push_back({Clock::now(), 10.0 * std::log10(sum / chunk.size() / (32768.0 * 32768.0) + 1e-20)});
                filled = 0;
            }
        });
    }
    ~LiveStream() { stop(); }
    void stop() {
        stop_ = true;
        finish();
    }
    // Waits for the input to run out and the output to end.
    void finish() {
        if (feeder_.joinable()) feeder_.join();
        if (reader_.joinable()) reader_.join();
    }
    const std::string& bytes() const { return bytes_; }
    Child& child() { return *child_; }
    // The levels of the output that arrived after `since`.
    std::vector<double> levelsSince(Clock::time_point since) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<double> out;
        for (const auto& [when, db] : levels_)
            if (when >= since) out.push_back(db);
        return out;
    }

private:
    std::unique_ptr<Child> child_;
    std::thread feeder_, reader_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::pair<Clock::time_point, double>> levels_;
    std::string bytes_;  // everything the tool wrote
};

// A port nobody listens on now: bound to port 0, read back, released.
int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

// A WebDriver session with headless Chromium through chromedriver.
class Browser {
public:
    explicit Browser(const fs::path& profile) : port_(freePort()) {
        driver_ = std::make_unique<Child>(std::vector<std::string>{"chromedriver", "--port=" + std::to_string(port_)});
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_read_timeout(30, 0);
        for (int i = 0; i < 100; ++i) {
            if (auto status = client_->Get("/status"); status && status->body.find("\"ready\":true") != std::string::npos)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        const std::string args = "\"--headless\",\"--no-sandbox\",\"--disable-gpu\",\"--disable-quic\",\"--no-first-run\","
                                 "\"--disable-background-networking\",\"--disable-component-update\",\"--disable-sync\","
                                 "\"--window-size=1100,720\",\"--user-data-dir=" + profile.string() + "\"";
        auto created = client_->Post("/session",
                                     "{\"capabilities\":{\"alwaysMatch\":{\"goog:chromeOptions\":{\"binary\":\"/usr/bin/chromium\","
                                     "\"args\":[" + args + "]}}}}",
                                     "application/json");
        std::smatch match;
        if (created && std::regex_search(created->body, match, std::regex("\"sessionId\":\"([^\"]+)\"")))
            session_ = "/session/" + match[1].str();
    }
    ~Browser() {
        if (!session_.empty()) client_->Delete(session_);
    }
    bool ready() const { return !session_.empty(); }
    void open(const std::string& url) { post("/url", "{\"url\":\"" + url + "\"}"); }
    std::string text(const std::string& id) {
        const std::string body =
            post("/execute/sync", "{\"script\":\"var e=document.getElementById('" + id +
                                      "');return e?e.textContent:'';\",\"args\":[]}");
        std::smatch match;
        return std::regex_search(body, match, std::regex("\"value\":\"([^\"]*)\"")) ? match[1].str() : "";
    }
    void clickButton(const std::string& label) {
        const std::string found =
            post("/element", "{\"using\":\"xpath\",\"value\":\"//button[text()='" + label + "']\"}");
        std::smatch match;
        if (std::regex_search(found, match, std::regex("\"element-6066-11e4-a52e-4f735466cecf\":\"([^\"]+)\"")))
            post("/element/" + match[1].str() + "/click", "{}");
    }
    std::string screenshotBase64() {
        auto reply = client_->Get(session_ + "/screenshot");
        // Found by hand: the regex engine recurses per character of a match this long.
        const std::string key = "\"value\":\"";
        const std::size_t from = reply ? reply->body.find(key) : std::string::npos;
        if (from == std::string::npos) return "";
        const std::size_t start = from + key.size();
        return reply->body.substr(start, reply->body.find('"', start) - start);
    }

private:
    std::string post(const std::string& path, const std::string& body) {
        auto reply = client_->Post(session_ + path, body, "application/json");
        return reply ? reply->body : "";
    }
    int port_;
    std::unique_ptr<Child> driver_;
    std::unique_ptr<httplib::Client> client_;
    std::string session_;
};

std::string decodeBase64(const std::string& text) {
    std::string out;
    int bits = 0;
    unsigned value = 0;
    for (char c : text) {
        const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char* at = std::strchr(digits, c);
        if (c == '\0' || at == nullptr) continue;
        value = (value << 6) | static_cast<unsigned>(at - digits);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return out;
}

class RemoteStream : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("quorvex-remote-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir / "data");
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(RemoteStream, PageShowsLiveMetersAndItsButtonSwitchesTheSoundWithinASecond) {
    LiveStream stream({"--remote", "127.0.0.1:0"}, dir);
    std::smatch match;
    // The match points into the text it was found in, which must outlive it.
    const std::string said =
        awaitLine(stream.child().errors(), std::regex("remote at (http://127\\.0\\.0\\.1:[0-9]+/)"), match, 10000);
    ASSERT_FALSE(match.empty());
    const std::string url = match[1].str();

    Browser browser(dir / "profile");
    ASSERT_TRUE(browser.ready());
    browser.open(url);
    std::string first, later;
    for (int i = 0; i < 100 && (first.empty() || first == "-"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        first = browser.text("val_output");
    }
    ASSERT_NE(first, "-");
    EXPECT_EQ(browser.text("current"), "F1:Enhancer");
    for (int i = 0; i < 50 && (later.empty() || later == first); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        later = browser.text("val_output");
    }
    EXPECT_NE(later, first);  // the meters move with the stream

    // F1 lifts the -20 dBFS tone; F10 passes it unchanged.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto clicked = Clock::now();
    const std::vector<double> before = stream.levelsSince(clicked - std::chrono::milliseconds(500));
    ASSERT_FALSE(before.empty());
    EXPECT_GT(before.back(), -18.0);
    if (const char* shot = std::getenv("QX_REMOTE_SCREENSHOT"))
        std::ofstream(shot, std::ios::binary) << decodeBase64(browser.screenshotBase64());
    browser.clickButton("F10:OFF");
    std::string current;
    while (Clock::now() - clicked < std::chrono::seconds(1) && current != "F10:OFF") {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        current = browser.text("current");
    }
    EXPECT_EQ(current, "F10:OFF");
    std::this_thread::sleep_for(std::chrono::milliseconds(1000) - (Clock::now() - clicked));
    const std::vector<double> after = stream.levelsSince(clicked);
    ASSERT_FALSE(after.empty());
    EXPECT_NEAR(after.back(), -23.0, 0.5);  // the tone's RMS: -20 dBFS peak is -23 dB RMS
    stream.stop();
    EXPECT_EQ(stream.child().wait(), 0);
}

TEST_F(RemoteStream, AnyOtherAddressNeedsTheTokenAndCurlSwitchesPresets) {
    LiveStream stream({"--remote", "0.0.0.0:0"}, dir);
    std::smatch match;
    const std::string said =
        awaitLine(stream.child().errors(), std::regex("remote token ([0-9a-f]{32})"), match, 10000);
    ASSERT_FALSE(match.empty()) << said;
    const std::string token = match[1].str();
    std::smatch address;
    ASSERT_TRUE(std::regex_search(said, address, std::regex(":([0-9]+)/\\?token=")));
    const std::string api = "http://127.0.0.1:" + address[1].str() + "/api/preset";
    auto curl = [&](const std::string& extra) {
        const std::string command = "curl -s -o /dev/null -w '%{http_code}' -X POST -H 'Content-Type: application/json' "
                                    "-d '{\"preset\":\"F10\"}' " + extra + " '" + api + "'";
        std::string code;
        if (FILE* p = popen(command.c_str(), "r")) {
            char buffer[16] = {};
            code = fgets(buffer, sizeof buffer, p) != nullptr ? buffer : "";
            pclose(p);
        }
        return code;
    };
    EXPECT_EQ(curl(""), "401");
    EXPECT_EQ(curl("-H 'Authorization: Bearer 0123'"), "401");
    EXPECT_EQ(curl("-H 'Authorization: Bearer " + token + "'"), "202");
    std::smatch switched;
    awaitLine(stream.child().errors(), std::regex("switched to 'OFF'"), switched, 3000);
    EXPECT_FALSE(switched.empty());
}

TEST_F(RemoteStream, BadRequestsDuringAStreamLeaveItsOutputBitIdentical) {
    // The same 4 s stream at twice real time, once quiet and once under a
    // burst of malformed, oversized and refused requests.
    LiveStream quiet({}, dir, 40, 50);
    quiet.finish();
    EXPECT_EQ(quiet.child().wait(), 0);

    LiveStream busy({"--remote", "127.0.0.1:0"}, dir, 40, 50);
    std::smatch match;
    const std::string said =
        awaitLine(busy.child().errors(), std::regex("remote at http://127\\.0\\.0\\.1:([0-9]+)/"), match, 10000);
    ASSERT_FALSE(match.empty());
    httplib::Client client("127.0.0.1", std::stoi(match[1].str()));
    const std::string huge(256 * 1024, '{');
    int refused = 0;
    for (int i = 0; i < 60; ++i) {
        for (const auto& body : {huge, std::string("{\"preset\":"), std::string("{\"preset\":\"F11\"}"),
                                 std::string("\xff\xfe")}) {
            auto reply = client.Post("/api/preset", body, "application/json");
            if (reply && reply->status >= 400 && reply->status < 500) ++refused;
        }
        client.Get("/api/status?x=" + std::string(static_cast<std::size_t>(i) * 300, 'a'));
    }
    busy.finish();
    EXPECT_EQ(busy.child().wait(), 0);
    EXPECT_GT(refused, 100);
    ASSERT_EQ(quiet.bytes().size(), 40u * kChunk * 4);
    EXPECT_TRUE(busy.bytes() == quiet.bytes());
}

}  // namespace
}  // namespace qx::cli
