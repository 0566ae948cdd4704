// The processing chain as an LV2 plug-in. The host's float audio goes through
// the chain in blocks of 576 frames at 44100 Hz, as the player and the tool run
// it; other host rates are resampled inside the plug-in. Everything that
// allocates, reads files or designs many filters (instantiation, the factory
// and user presets, the resamplers) happens outside run(): a preset switch
// copies a prepared parameter set, on the host's worker thread where it has one.
#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>
#include <soxr.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <vector>

#include "engine/chain.h"
#include "engine/latency.h"
#include "engine/playback_clock.h"
#include "engine/coefficient_update.h"
#include "lv2/ports.h"
#include "params/offline_start.h"
#include "params/preset_library.h"
#include "params/settings_document.h"
#include "platform/float_environment.h"
#include "platform/platform.h"

namespace qx::lv2 {
namespace {

constexpr int32_t kBlock = 576;       // frames per chain block, as the player hands them over
constexpr uint32_t kChunk = 256;      // host frames taken at a time through the resamplers
constexpr int kPresetCount = kFactoryPresetCount + kUserSlotCount;

int presetIndex(PresetId id) { return id + kFactoryPresetCount - 1; }  // F10 (-9) .. slot 99


// Interleaved stereo frames, first in first out; sized once.
class FrameRing {
public:
    void reserve(std::size_t frames) { data_.assign(2 * frames, 0.0f); }
    void clear(std::size_t silence) {
        head_ = 0;
        count_ = 0;
        for (std::size_t i = 0; i < silence; ++i) push(0.0f, 0.0f);
    }
    bool push(float left, float right) {
        const std::size_t capacity = data_.size() / 2;
        if (count_ == capacity) return false;
        const std::size_t at = (head_ + count_) % capacity;
        data_[2 * at] = left;
        data_[2 * at + 1] = right;
        ++count_;
        return true;
    }
    bool pop(float& left, float& right) {
        if (count_ == 0) return false;
        left = data_[2 * head_];
        right = data_[2 * head_ + 1];
        head_ = (head_ + 1) % (data_.size() / 2);
        --count_;
        return true;
    }

private:
    std::vector<float> data_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

// A libsoxr resampler whose output lines up with its input from the first
// frame on. It is run in with silence before use, because it allocates while
// its buffers grow; the outputs that belong to that silence are dropped as
// they come, so the stream that follows keeps its timing exactly.
class Resampler {
public:
    ~Resampler() {
        if (soxr_ != nullptr) soxr_delete(soxr_);
    }
    bool create(long from, long to, std::size_t maxChunk) {
        from_ = from;
        to_ = to;
        maxChunk_ = maxChunk;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        soxr_error_t error = nullptr;
        soxr_ = soxr_create(static_cast<double>(from), static_cast<double>(to), 2, &error, &io, &quality, &runtime);
        output_.assign(2 * (maxChunk * static_cast<std::size_t>(to) / static_cast<std::size_t>(from) + 256), 0.0f);
        silence_.assign(2 * maxChunk, 0.0f);
        return error == nullptr && soxr_ != nullptr;
    }
    // A fresh stream: at least two seconds of silence in chunks of every size
    // up to the largest, a whole number of output frames long.
    void prime() {
        soxr_clear(soxr_);
        skip_ = 0;
        const long step = from_ / std::gcd(from_, to_);
        const std::size_t frames = static_cast<std::size_t>((2 * from_ + step - 1) / step * step);
        uint64_t made = 0;
        std::size_t fed = 0;
        for (std::size_t size = 1; fed < frames; size = size % maxChunk_ + 97) {
            const std::size_t n = std::min({size, maxChunk_, frames - fed});
            process(silence_.data(), n, [&made](float, float) { ++made; });
            fed += n;
        }
        skip_ = static_cast<uint64_t>(frames) * static_cast<uint64_t>(to_) / static_cast<uint64_t>(from_) - made;
    }
    // Feeds interleaved stereo frames (at most the largest chunk) and hands
    // each frame that comes out to `sink`.
    template <class Sink>
    void process(const float* input, std::size_t frames, Sink&& sink) {
        std::size_t consumed = 0;
        for (;;) {
            std::size_t used = 0;
            std::size_t made = 0;
            soxr_process(soxr_, input + 2 * consumed, frames - consumed, &used, output_.data(), output_.size() / 2,
                         &made);
            consumed += used;
            for (std::size_t i = 0; i < made; ++i) {
                if (skip_ > 0) {
                    --skip_;
                    continue;
                }
                sink(output_[2 * i], output_[2 * i + 1]);
            }
            if (consumed >= frames && made < output_.size() / 2) return;
            if (used == 0 && made == 0) return;
        }
    }

private:
    soxr_t soxr_ = nullptr;
    long from_ = 1;
    long to_ = 1;
    std::size_t maxChunk_ = 1;
    uint64_t skip_ = 0;
    std::vector<float> output_;
    std::vector<float> silence_;
};

// A control value as a preset file would give it back: within the range, to
// the parameter's decimals, in single precision. So a host session restores
// exactly what was saved.
double storableValue(const ParameterRecord& record, double v) {
    if (record.kind == ControlKind::Switch) return v >= 0.5 ? 1.0 : 0.0;
    v = std::clamp(v, record.minimum, record.maximum);
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", std::max(0, record.decimals), v);
    float stored = 0.0f;
    return parseSingle(text, stored) ? stored : record.defaultValue;
}

class Instance {
public:
    Instance(double rate, int channels, const LV2_Feature* const* features);
    bool ready() const { return ready_; }

    void connect(uint32_t port, void* data);
    void activate();
    void run(uint32_t frames);

    LV2_Worker_Status work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle, uint32_t size,
                           const void* data);
    LV2_State_Status save(LV2_State_Store_Function store, LV2_State_Handle handle);
    LV2_State_Status restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle);

private:
    void readControls();
    void requestPreset(PresetId id);
    void applyPreset(PresetId id);
    void takeEngineFrame(float left, float right);
    void runChainBlock();
    void writeOutputs();
    uint32_t latencyFrames() const;

    bool ready_ = false;
    double rate_;
    int channels_;
    bool resampling_;
    uint32_t prefill_ = 0;  // host frames of silence ahead of the first output

    DataDirectory directory_{systemPlatform()};
    PresetLibrary library_{directory_};
    std::unique_ptr<ChainState> state_ = std::make_unique<ChainState>();
    ParameterTable table_;
    PlaybackClock clock_;
    std::array<std::unique_ptr<Parameters>, kPresetCount> presets_;  // null: no such preset

    std::array<float*, kControlPortCount> controls_{};
    std::array<float, kControlPortCount> lastControl_{};
    std::array<const ParameterRecord*, kControlPortCount> records_{};
    const float* input_[2] = {nullptr, nullptr};
    float* output_[2] = {nullptr, nullptr};

    std::array<float, kBlock> blockLeft_{};
    std::array<float, kBlock> blockRight_{};
    int32_t blockFill_ = 0;
    FrameRing ring_;  // host-rate output waiting for the host

    Resampler toEngine_;
    Resampler fromEngine_;
    std::vector<float> hostChunk_;    // interleaved host frames for the input resampler
    std::vector<float> blockFrames_;  // one processed block, interleaved

    LV2_Worker_Schedule* schedule_ = nullptr;
    LV2_URID settingsUrid_ = 0;
    LV2_URID stringUrid_ = 0;
};

Instance::Instance(double rate, int channels, const LV2_Feature* const* features)
    : rate_(rate), channels_(channels), resampling_(std::lround(rate) != kSampleRate) {
    LV2_URID_Map* map = nullptr;
    for (int i = 0; features != nullptr && features[i] != nullptr; ++i) {
        if (std::strcmp(features[i]->URI, LV2_URID__map) == 0) map = static_cast<LV2_URID_Map*>(features[i]->data);
        if (std::strcmp(features[i]->URI, LV2_WORKER__schedule) == 0)
            schedule_ = static_cast<LV2_Worker_Schedule*>(features[i]->data);
    }
    if (map != nullptr) {
        settingsUrid_ = map->map(map->handle, kSettingsUri);
        stringUrid_ = map->map(map->handle, LV2_ATOM__String);
    }
    if (!(rate >= 8000.0 && rate <= 768000.0)) return;

    // Started the way the player starts the engine, with the user slots of
    // the data directory as they are now.
    startOfflineEngine(*state_, table_, library_, clock_);
    for (PresetId id = -9; id <= kUserSlotCount; ++id) {
        if (id >= 1 && library_.slotEmpty(id)) continue;
        library_.loadPreset(id);
        presets_[presetIndex(id)] = std::make_unique<Parameters>(state_->params);
    }
    library_.loadPreset(0);
    for (uint32_t i = 0; i < kControlPortCount; ++i) {
        const ControlPort& port = kControlPorts[i];
        if (port.kind == PortKind::Parameter) {
            records_[i] = table_.find(port.key);
            if (records_[i] == nullptr) return;
            lastControl_[i] = static_cast<float>(records_[i]->value());  // the ports' defaults are F1's values
        }
    }

    const uint32_t blockAtHostRate = static_cast<uint32_t>(std::ceil(kBlock * rate / kSampleRate));
    if (resampling_) {
        const long hostRate = std::lround(rate);
        if (!toEngine_.create(hostRate, kSampleRate, kChunk) || !fromEngine_.create(kSampleRate, hostRate, kBlock))
            return;
        // The resamplers hold back part of their filter length; the margin
        // keeps the ring from running dry while they fill.
        prefill_ = blockAtHostRate + static_cast<uint32_t>(std::ceil(rate * 0.1));
        hostChunk_.assign(2 * kChunk, 0.0f);
        blockFrames_.assign(2 * kBlock, 0.0f);
    } else {
        prefill_ = kBlock;
    }
    ring_.reserve(prefill_ + 4 * blockAtHostRate + 2 * kChunk + 1024);
    ring_.clear(prefill_);
    ready_ = true;
}

void Instance::connect(uint32_t port, void* data) {
    if (port < kControlPortCount) {
        controls_[port] = static_cast<float*>(data);
        return;
    }
    const uint32_t audio = port - kFirstAudioPort;
    const uint32_t inputs = static_cast<uint32_t>(channels_);
    if (audio < inputs)
        input_[audio] = static_cast<const float*>(data);
    else if (audio < 2 * inputs)
        output_[audio - inputs] = static_cast<float*>(data);
}

void Instance::activate() {
    // A new stream: nothing of the old one may be heard.
    blockFill_ = 0;
    ring_.clear(prefill_);
    if (resampling_) {
        toEngine_.prime();
        fromEngine_.prime();
    }
    state_->resetRequest = 1;
}

void Instance::readControls() {
    for (uint32_t i = 0; i < kControlPortCount; ++i) {
        const ControlPort& port = kControlPorts[i];
        if (controls_[i] == nullptr || (port.kind != PortKind::Preset && port.kind != PortKind::Parameter)) continue;
        const float v = *controls_[i];
        if (v == lastControl_[i] || std::isnan(v)) continue;
        lastControl_[i] = v;
        if (port.kind == PortKind::Preset)
            requestPreset(static_cast<PresetId>(std::lround(v)));
        else
            records_[i]->assign(storableValue(*records_[i], v));
    }
}

void Instance::requestPreset(PresetId id) {
    if (id < -9 || id > kUserSlotCount || presets_[presetIndex(id)] == nullptr) return;
    if (schedule_ != nullptr && schedule_->schedule_work(schedule_->handle, sizeof id, &id) == LV2_WORKER_SUCCESS)
        return;
    // Without a worker the switch happens here: a copy and the coefficient
    // update, no file access and no allocation.
    applyPreset(id);
}

void Instance::applyPreset(PresetId id) {
    state_->params = *presets_[presetIndex(id)];
    updateCoefficients(*state_, true);
    // Like a load in the player: the next block starts from cleared delay lines.
    state_->resetRequest = 1;
}

void Instance::runChainBlock() {
    state_->outputPeak = 0.0;  // the player clears the peak before each block
    processFloatBlock(blockLeft_.data(), blockRight_.data(), kBlock, channels_, *state_);
    clock_.frames += kBlock;
    blockFill_ = 0;
    if (!resampling_) {
        for (int32_t i = 0; i < kBlock; ++i) ring_.push(blockLeft_[i], blockRight_[i]);
        return;
    }
    for (int32_t i = 0; i < kBlock; ++i) {
        blockFrames_[2 * i] = blockLeft_[i];
        blockFrames_[2 * i + 1] = blockRight_[i];
    }
    fromEngine_.process(blockFrames_.data(), kBlock, [this](float left, float right) { ring_.push(left, right); });
}

void Instance::takeEngineFrame(float left, float right) {
    blockLeft_[blockFill_] = left;
    blockRight_[blockFill_] = right;
    if (++blockFill_ == kBlock) runChainBlock();
}

uint32_t Instance::latencyFrames() const {
    const double chain = chainLatencyFrames(state_->params, state_->bandCount);
    return prefill_ + static_cast<uint32_t>(std::lround(chain * rate_ / kSampleRate));
}

void Instance::writeOutputs() {
    for (uint32_t i = 0; i < kControlPortCount; ++i) {
        if (controls_[i] == nullptr) continue;
        const ControlPort& port = kControlPorts[i];
        if (port.kind == PortKind::Meter) *controls_[i] = static_cast<float>(port.meter(*state_));
        if (port.kind == PortKind::Latency) *controls_[i] = static_cast<float>(latencyFrames());
    }
}

void Instance::run(uint32_t frames) {
    const DefaultFloatEnvironment floats;  // hosts often flush denormals on the audio thread
    readControls();
    const float* inRight = channels_ == 2 ? input_[1] : input_[0];
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(kChunk, frames - done);
        if (!resampling_) {
            for (uint32_t i = 0; i < n; ++i) takeEngineFrame(input_[0][done + i], inRight[done + i]);
        } else {
            for (uint32_t i = 0; i < n; ++i) {
                hostChunk_[2 * i] = input_[0][done + i];
                hostChunk_[2 * i + 1] = inRight[done + i];
            }
            toEngine_.process(hostChunk_.data(), n, [this](float left, float right) { takeEngineFrame(left, right); });
        }
        // Host frames leave in order; only a resampler still filling could
        // leave the ring short, and then silence stands in.
        for (uint32_t i = 0; i < n; ++i) {
            float left = 0.0f;
            float right = 0.0f;
            ring_.pop(left, right);
            output_[0][done + i] = left;
            if (channels_ == 2) output_[1][done + i] = right;
        }
        done += n;
    }
    writeOutputs();
}

LV2_Worker_Status Instance::work(LV2_Worker_Respond_Function, LV2_Worker_Respond_Handle, uint32_t size,
                                 const void* data) {
    if (size != sizeof(PresetId)) return LV2_WORKER_ERR_UNKNOWN;
    const DefaultFloatEnvironment floats;
    PresetId id = 0;
    std::memcpy(&id, data, sizeof id);
    applyPreset(id);
    return LV2_WORKER_SUCCESS;
}

LV2_State_Status Instance::save(LV2_State_Store_Function store, LV2_State_Handle handle) {
    if (settingsUrid_ == 0) return LV2_STATE_ERR_NO_FEATURE;
    auto document = std::make_unique<SettingsDocument>();
    library_.composePreset(*document, 0);
    const std::string_view text = document->text();
    std::vector<char> value(text.begin(), text.end());
    value.push_back('\0');
    return store(handle, settingsUrid_, value.data(), value.size(), stringUrid_,
                 LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

LV2_State_Status Instance::restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle) {
    if (settingsUrid_ == 0) return LV2_STATE_ERR_NO_FEATURE;
    const DefaultFloatEnvironment floats;
    std::size_t size = 0;
    uint32_t type = 0;
    uint32_t flags = 0;
    const void* value = retrieve(handle, settingsUrid_, &size, &type, &flags);
    if (value == nullptr || type != stringUrid_) return LV2_STATE_ERR_NO_PROPERTY;
    auto document = std::make_unique<SettingsDocument>();
    document->setText(std::string_view(static_cast<const char*>(value), strnlen(static_cast<const char*>(value), size)));
    char name[kPresetNameCapacity] = {};
    document->fillParameters(table_, true, name);
    library_.setPresetName(name);
    updateCoefficients(*state_, true);
    state_->resetRequest = 1;
    return LV2_STATE_SUCCESS;
}

Instance* instanceOf(LV2_Handle handle) { return static_cast<Instance*>(handle); }

LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char*, const LV2_Feature* const* features) {
    const int channels = std::strcmp(descriptor->URI, kMonoUri) == 0 ? 1 : 2;
    const DefaultFloatEnvironment floats;
    auto instance = std::make_unique<Instance>(rate, channels, features);
    return instance->ready() ? instance.release() : nullptr;
}

LV2_Worker_Status workCallback(LV2_Handle handle, LV2_Worker_Respond_Function respond,
                               LV2_Worker_Respond_Handle respondHandle, uint32_t size, const void* data) {
    return instanceOf(handle)->work(respond, respondHandle, size, data);
}

LV2_Worker_Status workResponse(LV2_Handle, uint32_t, const void*) { return LV2_WORKER_SUCCESS; }

LV2_State_Status saveCallback(LV2_Handle handle, LV2_State_Store_Function store, LV2_State_Handle stateHandle,
                              uint32_t, const LV2_Feature* const*) {
    return instanceOf(handle)->save(store, stateHandle);
}

LV2_State_Status restoreCallback(LV2_Handle handle, LV2_State_Retrieve_Function retrieve,
                                 LV2_State_Handle stateHandle, uint32_t, const LV2_Feature* const*) {
    return instanceOf(handle)->restore(retrieve, stateHandle);
}

const void* extensionData(const char* uri) {
    static const LV2_Worker_Interface worker = {workCallback, workResponse, nullptr};
    static const LV2_State_Interface state = {saveCallback, restoreCallback};
    if (std::strcmp(uri, LV2_WORKER__interface) == 0) return &worker;
    if (std::strcmp(uri, LV2_STATE__interface) == 0) return &state;
    return nullptr;
}

const LV2_Descriptor kDescriptors[] = {
    {kStereoUri, instantiate, [](LV2_Handle h, uint32_t port, void* data) { instanceOf(h)->connect(port, data); },
     [](LV2_Handle h) { instanceOf(h)->activate(); }, [](LV2_Handle h, uint32_t n) { instanceOf(h)->run(n); },
     nullptr, [](LV2_Handle h) { delete instanceOf(h); }, extensionData},
    {kMonoUri, instantiate, [](LV2_Handle h, uint32_t port, void* data) { instanceOf(h)->connect(port, data); },
     [](LV2_Handle h) { instanceOf(h)->activate(); }, [](LV2_Handle h, uint32_t n) { instanceOf(h)->run(n); },
     nullptr, [](LV2_Handle h) { delete instanceOf(h); }, extensionData},
};

}  // namespace
}  // namespace qx::lv2

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < 2 ? &qx::lv2::kDescriptors[index] : nullptr;
}
