// The LV2 bundle as hosts see it: loaded through lilv from the build tree, its
// Turtle read by lilv and lv2info, state saved and restored through lilv, the
// preset control switched mid-run, run() watched for allocations and locks,
// and lv2apply's output compared with the tool's.
#include <dlfcn.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>
#include <pthread.h>
#include <sndfile.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// Allocation and lock counters, interposed for the whole process and counted
// only on a thread that is inside the plug-in's run().
namespace {
thread_local bool insideRun = false;
std::atomic<int> allocations{0};
std::atomic<int> locks{0};
void countAllocation() {
    if (insideRun) ++allocations;
}
}  // namespace

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t n) {
    countAllocation();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
    countAllocation();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
    countAllocation();
    return __libc_realloc(p, n);
}
void free(void* p) {
    countAllocation();
    __libc_free(p);
}
void* aligned_alloc(size_t alignment, size_t n) {
    countAllocation();
    return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, size_t alignment, size_t n) {
    countAllocation();
    *out = __libc_memalign(alignment, n);
    return *out != nullptr ? 0 : ENOMEM;
}
int pthread_mutex_lock(pthread_mutex_t* mutex) {
    if (insideRun) ++locks;
    static auto real = reinterpret_cast<int (*)(pthread_mutex_t*)>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    return real(mutex);
}
int pthread_cond_wait(pthread_cond_t* condition, pthread_mutex_t* mutex) {
    if (insideRun) ++locks;
    static auto real =
        reinterpret_cast<int (*)(pthread_cond_t*, pthread_mutex_t*)>(dlsym(RTLD_NEXT, "pthread_cond_wait"));
    return real(condition, mutex);
}
}

namespace {

constexpr const char* kStereo = "https://quorvex.example.org/lv2";
constexpr const char* kMono = "https://quorvex.example.org/lv2#mono";
constexpr double kPi = 3.141592653589793;
// The tool's option for the raw stream, the chain's delay left in.
#define QX_TOOL_RAW_OPTION "--keep-latency"

class UridMap {
public:
    UridMap() {
        map_ = {this, [](LV2_URID_Map_Handle h, const char* uri) { return static_cast<UridMap*>(h)->map(uri); }};
        unmap_ = {this, [](LV2_URID_Unmap_Handle h, LV2_URID id) { return static_cast<UridMap*>(h)->unmap(id); }};
    }
    LV2_URID map(const char* uri) {
        for (std::size_t i = 0; i < uris_.size(); ++i)
            if (uris_[i] == uri) return static_cast<LV2_URID>(i + 1);
        uris_.emplace_back(uri);
        return static_cast<LV2_URID>(uris_.size());
    }
    const char* unmap(LV2_URID id) const { return id >= 1 && id <= uris_.size() ? uris_[id - 1].c_str() : nullptr; }
    LV2_URID_Map* mapFeature() { return &map_; }
    LV2_URID_Unmap* unmapFeature() { return &unmap_; }

private:
    std::vector<std::string> uris_;
    LV2_URID_Map map_;
    LV2_URID_Unmap unmap_;
};

// One plug-in instance in a minimal host: control values by symbol, stereo
// audio in blocks, and a worker that runs requests after run() returns, as a
// host's worker thread would.
class Host {
public:
    Host(double rate, bool withWorker, const char* uri = kStereo) : rate_(rate) {
        world_ = lilv_world_new();
        lilv_world_load_all(world_);
        LilvNode* node = lilv_new_uri(world_, uri);
        plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), node);
        lilv_node_free(node);
        if (plugin_ == nullptr) return;
        schedule_ = {this, [](LV2_Worker_Schedule_Handle h, uint32_t size, const void* data) {
                         auto* host = static_cast<Host*>(h);
                         if (size != sizeof(int32_t) || host->pending_ >= 8) return LV2_WORKER_ERR_NO_SPACE;
                         std::memcpy(&host->requests_[host->pending_++], data, size);
                         return LV2_WORKER_SUCCESS;
                     }};
        mapFeature_ = {LV2_URID__map, urids_.mapFeature()};
        unmapFeature_ = {LV2_URID__unmap, urids_.unmapFeature()};
        workerFeature_ = {LV2_WORKER__schedule, &schedule_};
        features_ = {&mapFeature_, &unmapFeature_};
        if (withWorker) features_.push_back(&workerFeature_);
        features_.push_back(nullptr);
        instance_ = lilv_plugin_instantiate(plugin_, rate, features_.data());
        if (instance_ == nullptr) return;
        worker_ = static_cast<const LV2_Worker_Interface*>(lilv_instance_get_extension_data(instance_, LV2_WORKER__interface));
        const uint32_t ports = lilv_plugin_get_num_ports(plugin_);
        values_.assign(ports, 0.0f);
        std::vector<float> defaults(ports);
        lilv_plugin_get_port_ranges_float(plugin_, nullptr, nullptr, defaults.data());
        LilvNode* audio = lilv_new_uri(world_, LV2_CORE__AudioPort);
        LilvNode* input = lilv_new_uri(world_, LV2_CORE__InputPort);
        for (uint32_t i = 0; i < ports; ++i) {
            const LilvPort* port = lilv_plugin_get_port_by_index(plugin_, i);
            if (lilv_port_is_a(plugin_, port, audio)) {
                (lilv_port_is_a(plugin_, port, input) ? inputs_ : outputs_).push_back(i);
            } else {
                values_[i] = std::isnan(defaults[i]) ? 0.0f : defaults[i];
                lilv_instance_connect_port(instance_, i, &values_[i]);
            }
        }
        lilv_node_free(audio);
        lilv_node_free(input);
        lilv_instance_activate(instance_);
    }
    ~Host() {
        if (instance_ != nullptr) {
            lilv_instance_deactivate(instance_);
            lilv_instance_free(instance_);
        }
        lilv_world_free(world_);
    }
    bool ready() const { return instance_ != nullptr; }

    float& control(const char* symbol) {
        LilvNode* node = lilv_new_string(world_, symbol);
        const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin_, node);
        lilv_node_free(node);
        return values_.at(lilv_port_get_index(plugin_, port));
    }

    // Runs `left`/`right` through in host blocks of `block` frames; returns the output.
    void run(std::vector<float>& left, std::vector<float>& right, uint32_t block) {
        std::vector<float> outLeft(left.size()), outRight(right.size());
        for (std::size_t at = 0; at < left.size(); at += block) {
            const uint32_t n = static_cast<uint32_t>(std::min<std::size_t>(block, left.size() - at));
            float* buffers[] = {left.data() + at, right.data() + at, outLeft.data() + at, outRight.data() + at};
            for (std::size_t i = 0; i < inputs_.size(); ++i) lilv_instance_connect_port(instance_, inputs_[i], buffers[i]);
            for (std::size_t i = 0; i < outputs_.size(); ++i)
                lilv_instance_connect_port(instance_, outputs_[i], buffers[2 + i]);
            insideRun = true;
            lilv_instance_run(instance_, n);
            insideRun = false;
            for (int i = 0; i < pending_; ++i)
                worker_->work(lilv_instance_get_handle(instance_), nullptr, nullptr, sizeof(int32_t), &requests_[i]);
            pending_ = 0;
        }
        left.swap(outLeft);
        right.swap(outRight);
    }

    std::string saveState() {
        LilvState* state = lilv_state_new_from_instance(
            plugin_, instance_, urids_.mapFeature(), nullptr, nullptr, nullptr, nullptr,
            [](const char* symbol, void* self, uint32_t* size, uint32_t* type) -> const void* {
                auto* host = static_cast<Host*>(self);
                *size = sizeof(float);
                *type = host->urids_.map(LV2_ATOM__Float);
                return &host->control(symbol);
            },
            this, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, nullptr);
        char* text = lilv_state_to_string(world_, urids_.mapFeature(), urids_.unmapFeature(), state,
                                          "urn:quorvex:test-state", nullptr);
        std::string out = text != nullptr ? text : "";
        lilv_free(text);
        lilv_state_free(state);
        return out;
    }

    void restoreState(const std::string& text) {
        LilvState* state = lilv_state_new_from_string(world_, urids_.mapFeature(), text.c_str());
        ASSERT_NE(state, nullptr);
        lilv_state_restore(
            state, instance_,
            [](const char* symbol, void* self, const void* value, uint32_t size, uint32_t) {
                if (size == sizeof(float)) std::memcpy(&static_cast<Host*>(self)->control(symbol), value, size);
            },
            this, 0, nullptr);
        lilv_state_free(state);
    }

private:
    double rate_;
    LilvWorld* world_ = nullptr;
    const LilvPlugin* plugin_ = nullptr;
    LilvInstance* instance_ = nullptr;
    UridMap urids_;
    LV2_Worker_Schedule schedule_{};
    LV2_Feature mapFeature_{}, unmapFeature_{}, workerFeature_{};
    std::vector<const LV2_Feature*> features_;
    const LV2_Worker_Interface* worker_ = nullptr;
    int32_t requests_[8] = {};
    int pending_ = 0;
    std::vector<float> values_;
    std::vector<uint32_t> inputs_, outputs_;
};

// Program-like stereo input: a beat, a chord and noise, never exactly silent.
void program(std::vector<float>& left, std::vector<float>& right, double rate, double seconds) {
    const std::size_t frames = static_cast<std::size_t>(rate * seconds);
    left.resize(frames);
    right.resize(frames);
    uint32_t seed = 7;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = i / rate;
        seed = seed * 1664525u + 1013904223u;
        const double noise = (seed >> 8) / 8388608.0 - 1.0;
        const double beat = std::exp(-std::fmod(t, 0.5) * 10.0);
        left[i] = static_cast<float>(0.4 * std::sin(2 * kPi * 110 * t) * beat + 0.2 * std::sin(2 * kPi * 440 * t) +
                                     0.05 * noise * beat);
        right[i] = static_cast<float>(0.3 * std::sin(2 * kPi * 165 * t) * beat + 0.2 * std::sin(2 * kPi * 660 * t) -
                                      0.05 * noise * beat);
    }
}

std::size_t peakAt(const std::vector<float>& v) {
    return static_cast<std::size_t>(std::max_element(v.begin(), v.end(), [](float a, float b) {
                                        return std::fabs(a) < std::fabs(b);
                                    }) -
                                    v.begin());
}

std::string capture(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

TEST(Lv2Bundle, TurtleParsesAndLv2infoShowsEveryPortWithItsRange) {
    for (const char* file : {"manifest.ttl", "quorvex.ttl", "presets.ttl"}) {
        const std::string path = std::string(QX_LV2_BUNDLE_DIR) + "/" + file;
        EXPECT_EQ(std::system(("serdi -i turtle -o ntriples '" + path + "' >/dev/null").c_str()), 0) << file;
    }
    const std::string info = capture(std::string("lv2info ") + kStereo + " 2>/dev/null");
    for (const char* expected :
         {"Has latency:       yes", "Symbol:      preset", "Symbol:      drive", "Minimum:     -12.000000",
          "Maximum:     36.000000", "Symbol:      post_amp", "Symbol:      final_limiter", "Symbol:      clip_level",
          "Symbol:      latency", "Symbol:      in_l", "Symbol:      out_r", "F4 Web Radio", "F10 OFF"})
        EXPECT_NE(info.find(expected), std::string::npos) << expected;
}

TEST(Lv2Plugin, StateSavedThroughLilvGivesEveryValueBackExactly) {
    Host first(44100, true);
    ASSERT_TRUE(first.ready());
    std::vector<float> left, right;
    program(left, right, 44100, 0.2);
    first.control("preset") = -3;  // F4
    first.run(left, right, 576);
    first.control("drive") = 3.7f;
    first.control("post_amp") = -1.33f;  // kept to the parameter's decimals
    first.control("highpass") = 0;
    program(left, right, 44100, 0.1);
    first.run(left, right, 576);
    const std::string saved = first.saveState();
    ASSERT_NE(saved.find("General.DensityDrive.dB        = 3.7"), std::string::npos) << saved.substr(0, 2000);
    ASSERT_NE(saved.find("General.PostAmp.dB             = -1.3"), std::string::npos);
    ASSERT_NE(saved.find("LowpassFilter.Cutoff.Hz"), std::string::npos);

    Host second(44100, true);
    ASSERT_TRUE(second.ready());
    second.restoreState(saved);
    EXPECT_EQ(second.saveState(), saved);
    // The restored values are the ones the instance runs on, not only the
    // ones it reports: the same input gives the same output.
    Host third(44100, true);
    third.restoreState(saved);
    std::vector<float> a, b, c, d;
    program(a, b, 44100, 2.0);
    c = a;
    d = b;
    second.run(a, b, 1000);
    third.run(c, d, 1000);
    EXPECT_EQ(a, c);
    EXPECT_EQ(b, d);
}

TEST(Lv2Plugin, PresetControlSwitchesTheSoundAndTheLatencyFollows) {
    Host host(44100, true);
    ASSERT_TRUE(host.ready());
    EXPECT_EQ(host.control("latency"), 0.0f);  // nothing ran yet
    std::vector<float> left, right;
    program(left, right, 44100, 1.5);
    host.run(left, right, 512);
    EXPECT_EQ(host.control("latency"), 576.0f + 45053.0f);  // F1: the block and the chain's delay
    EXPECT_GT(host.control("limiter_reduction"), 0.0f);

    host.control("preset") = -9;  // F10: every stage off, so the sound is the input, one block late
    std::vector<float> inLeft, inRight;
    program(inLeft, inRight, 44100, 1.0);
    left = inLeft;
    right = inRight;
    host.run(left, right, 512);
    EXPECT_EQ(host.control("latency"), 576.0f);
    for (std::size_t i = 2000; i < left.size(); ++i) {
        ASSERT_EQ(left[i], std::clamp(inLeft[i - 576], -0.9999f, 0.9999f)) << i;
        ASSERT_EQ(right[i], std::clamp(inRight[i - 576], -0.9999f, 0.9999f)) << i;
    }
}

TEST(Lv2Plugin, ReportedLatencyIsWhereAnImpulseLeavesAtEveryRate) {
    for (double rate : {44100.0, 48000.0, 22050.0, 96000.0}) {
        for (float preset : {-9.0f, 0.0f}) {
            // The mono variant runs the same pipeline on one channel.
            Host host(rate, true, rate == 48000.0 && preset == 0.0f ? kMono : kStereo);
            ASSERT_TRUE(host.ready());
            host.control("preset") = preset;
            std::vector<float> warm(64, 0.0f), warmRight(64, 0.0f);
            host.run(warm, warmRight, 32);  // the switch is requested, then the latency reported
            const std::size_t latency = static_cast<std::size_t>(host.control("latency"));
            std::vector<float> left(static_cast<std::size_t>(latency + rate), 0.0f), right;
            left[3000] = 0.5f;  // 64 frames after the warm-up's start
            right = left;
            host.run(left, right, 333);
            EXPECT_NEAR(static_cast<double>(peakAt(left)) + 64, 3064.0 + latency, 2.0)
                << rate << " Hz, preset " << preset;
        }
    }
}

TEST(Lv2Plugin, RunNeitherAllocatesNorLocks) {
    for (double rate : {44100.0, 48000.0}) {
        for (bool withWorker : {true, false}) {
            Host host(rate, withWorker);
            ASSERT_TRUE(host.ready());
            allocations = 0;
            locks = 0;
            std::vector<float> left, right;
            for (uint32_t block : {1u, 7u, 576u, 4096u, 333u}) {
                program(left, right, rate, 0.3);
                host.run(left, right, block);
                host.control("preset") = host.control("preset") == 0.0f ? -4.0f : 0.0f;
                host.control("drive") += 1.0f;
                host.control("compressor") = 1.0f - host.control("compressor");
            }
            EXPECT_EQ(allocations.load(), 0) << rate << " Hz, worker " << withWorker;
            EXPECT_EQ(locks.load(), 0) << rate << " Hz, worker " << withWorker;
        }
    }
}

// The music clip's first seconds as a 16-bit WAV at the given rate; where the
// shared clips are not beside the source tree, program-like noise instead.
bool writeClip(const std::string& path, int rate) {
    const std::string clip = QX_SHARED_AUDIO "/music-battle.flac";
    const std::string format = " -b 16 -r " + std::to_string(rate) + " -c 2 '" + path + "' ";
    const std::string command = std::filesystem::exists(clip)
                                    ? "sox '" + clip + "'" + format + "trim 0 4"
                                    : "sox -R -n" + format + "synth 4 pinknoise tremolo 2 80 vol 0.5";
    return std::system(command.c_str()) == 0;
}

std::vector<short> readWav(const std::string& path, int& rate) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return {};
    std::vector<short> samples(static_cast<std::size_t>(info.frames * info.channels));
    sf_read_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    rate = info.samplerate;
    return samples;
}

TEST(Lv2Apply, MatchesTheToolAt44100AndStaysCleanAt48000) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "quorvex_lv2apply_test";
    std::filesystem::create_directories(dir);
    const std::string in44 = (dir / "in44.wav").string(), in48 = (dir / "in48.wav").string();
    ASSERT_TRUE(writeClip(in44, 44100) && writeClip(in48, 48000));
    const std::string tool = (dir / "tool.wav").string(), lv44 = (dir / "lv44.wav").string(),
                      lv48 = (dir / "lv48.wav").string();
    const std::string data = "--data-dir '" + (dir / "data").string() + "' ";
    ASSERT_EQ(std::system((std::string(QX_TOOL) + " process '" + in44 + "' '" + tool + "' --preset F1 " + data +
                           QX_TOOL_RAW_OPTION " >/dev/null")
                              .c_str()),
              0);
    for (const auto& [in, out] : {std::pair{in44, lv44}, std::pair{in48, lv48}})
        ASSERT_EQ(std::system(("lv2apply -i '" + in + "' -o '" + out + "' -c preset 0 " + kStereo).c_str()), 0);

    int rate = 0;
    const std::vector<short> expected = readWav(tool, rate);
    const std::vector<short> got = readWav(lv44, rate);
    ASSERT_EQ(got.size(), expected.size());
    ASSERT_GT(expected.size(), 2u * 44100);
    constexpr std::size_t kBlockDelay = 2 * 576;  // samples: the plug-in's own block, ahead of the chain's delay
    int worst = 0;
    for (std::size_t i = 0; i + kBlockDelay < got.size(); ++i)
        worst = std::max(worst, std::abs(got[i + kBlockDelay] - expected[i]));
    EXPECT_LE(worst, 2);

    const std::vector<short> high = readWav(lv48, rate);
    ASSERT_EQ(rate, 48000);
    auto level = [](const std::vector<short>& v, std::size_t from) {
        double sum = 0.0;
        for (std::size_t i = from; i < v.size(); ++i) sum += static_cast<double>(v[i]) * v[i];
        return 10.0 * std::log10(sum / static_cast<double>(v.size() - from));
    };
    // After F1's delay of about a second, the same program at the same level.
    EXPECT_NEAR(level(high, 2 * 48000 * 2), level(got, 2 * 44100 * 2), 0.5);
    std::filesystem::remove_all(dir);
}

}  // namespace
