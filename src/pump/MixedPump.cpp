// Mixed output: every source is brought to 48 kHz by sample-and-hold and the
// sources are added with 16-bit saturation, 960 frames every 20 ms.
#include <algorithm>

#include "capture/Capture.h"
#include "pump/Pump.h"

namespace quorbel {
namespace {

constexpr std::chrono::nanoseconds kMixedPeriod{20'000'000};

std::int16_t SaturatingAdd(std::int16_t a, std::int16_t b) {
    return std::int16_t(std::clamp(std::int32_t(a) + std::int32_t(b), -32768, 32767));
}

}  // namespace

MixSource MakeMixSource(CaptureStream& stream) {
    const std::uint32_t rate = RoundedRate(stream.format.mSampleRate);
    return {stream, MixInput{}, rate, double(rate) / double(kMixedRate)};
}

// The queues are refilled once, then the whole block is built from them.
void BuildMixedBlock(MixSource& system, MixSource& microphone, bool includeSystem, std::vector<StereoFrame>& block) {
    if (includeSystem) {
        system.input.refill(system.stream.ring, system.rate);
    }
    microphone.input.refill(microphone.stream.ring, microphone.rate);
    for (StereoFrame& frame : block) {
        StereoFrame fromSystem{0, 0};
        if (includeSystem) {
            system.input.advance(system.step);
            fromSystem = {system.input.heldLeft, system.input.heldRight};
        }
        microphone.input.advance(microphone.step);
        frame = {SaturatingAdd(fromSystem.left, microphone.input.heldLeft),
                 SaturatingAdd(fromSystem.right, microphone.input.heldRight)};
    }
}

void MixedPump(CaptureStream& systemStream, CaptureStream& microphoneStream, bool includeSystem) {
    MixSource system = MakeMixSource(systemStream);
    MixSource microphone = MakeMixSource(microphoneStream);
    std::vector<StereoFrame> block(kMixedBlockFrames, StereoFrame{0, 0});
    auto deadline = std::chrono::steady_clock::now();
    if (gStopRequested.load(std::memory_order_relaxed)) {
        return;
    }
    for (;;) {
        BuildMixedBlock(system, microphone, includeSystem, block);
        if (!WriteBlock(block.data(), block.size() * sizeof(StereoFrame))) {
            return;
        }
        deadline += kMixedPeriod;
        SleepUntil(deadline);
        if (gStopRequested.load(std::memory_order_relaxed)) {
            return;
        }
    }
}

}  // namespace quorbel
