#include "engine/response.h"

#include <cmath>

#include "engine/chain.h"

namespace qx {

double responseFrequency(int point) { return 20.0 * std::pow(2.0, (point * kResponseIndexStep) * 0.01); }

namespace {

constexpr int kBlocksPerPoint = kResponseSettleBlocks + kResponseMeasuredBlocks;

struct Sweep {
    ResponseCurve& curve;
    ResponseProgress progress;
    void* progressContext;
};

int pointOf(int64_t block) { return static_cast<int>(block / kBlocksPerPoint); }
int blockInPoint(int64_t block) { return static_cast<int>(block % kBlocksPerPoint); }

// Each point: the tone at its frequency, settling blocks, then the output
// peak over the measured blocks.
void toneForPoint(int64_t block, ChainState& state, void*) {
    if (blockInPoint(block) == 0) state.testFrequencyHz = responseFrequency(pointOf(block));
}

void clearPeak(int64_t block, ChainState& state, void*) {
    if (blockInPoint(block) == kResponseSettleBlocks) state.outputPeak = 0.0;
}

void readPeak(int64_t block, ChainState& state, void* context) {
    if (blockInPoint(block) != kBlocksPerPoint - 1) return;
    Sweep& sweep = *static_cast<Sweep*>(context);
    const int k = pointOf(block);
    sweep.curve.peak[k] = state.outputPeak * 0.01;
    sweep.curve.frequencyHz[k] = static_cast<int16_t>(responseFrequency(k));
    if (sweep.progress && k % kResponseProgressInterval == 0) sweep.progress(sweep.curve, k + 1, sweep.progressContext);
}

}  // namespace

void measureResponse(const ChainState& live, ChainState& measurement, ResponseCurve& curve,
                     ResponseProgress progress, void* progressContext, SecondThread* thread) {
    curve.frequencyHz.fill(0);
    curve.peak.fill(0.0);
    if (&live == &measurement) return;  // measuring in place would disturb the live chain

    measurement = live;
    measurement.testLevelDb = kResponseTestLevelDb;
    measurement.inputMute = 1;
    measurement.sineOn = 1;
    measurement.noiseOn = 0;
    measurement.pollSelection = nullptr;

    Sweep sweep{curve, progress, progressContext};
    SilentRunHooks hooks;
    hooks.context = &sweep;
    hooks.beforeFront = &toneForPoint;
    hooks.beforeBack = &clearPeak;
    hooks.afterBack = &readPeak;
    runSilentBlocks(measurement, int64_t{kResponsePoints} * kBlocksPerPoint, kResponseBlockFrames, thread, hooks);
}

}  // namespace qx
