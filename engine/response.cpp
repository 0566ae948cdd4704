#include "engine/response.h"

#include <cmath>

#include "engine/chain.h"

namespace qx {

double responseFrequency(int point) { return 20.0 * std::pow(2.0, (point * kResponseIndexStep) * 0.01); }

void measureResponse(const ChainState& live, ChainState& measurement, ResponseCurve& curve,
                     ResponseProgress progress, void* progressContext) {
    curve.frequencyHz.fill(0);
    curve.peak.fill(0.0);
    if (&live == &measurement) return;  // measuring in place would disturb the live chain

    measurement = live;
    measurement.testLevelDb = kResponseTestLevelDb;
    measurement.inputMute = 1;
    measurement.sineOn = 1;
    measurement.noiseOn = 0;
    measurement.pollSelection = nullptr;

    // The input is muted, so the buffer's contents never matter.
    std::array<int16_t, kResponseBlockFrames * 2> buffer{};
    auto runBlocks = [&](int count) {
        for (int b = 0; b < count; ++b)
            processBlock(buffer.data(), kResponseBlockFrames, 16, 2, kSampleRate, measurement);
    };

    for (int k = 0; k < kResponsePoints; ++k) {
        const double frequency = responseFrequency(k);
        measurement.testFrequencyHz = frequency;
        runBlocks(kResponseSettleBlocks);
        measurement.outputPeak = 0.0;
        runBlocks(kResponseMeasuredBlocks);
        curve.peak[k] = measurement.outputPeak * 0.01;
        curve.frequencyHz[k] = static_cast<int16_t>(frequency);
        if (progress && k % kResponseProgressInterval == 0) progress(curve, k + 1, progressContext);
    }
}

}  // namespace qx
