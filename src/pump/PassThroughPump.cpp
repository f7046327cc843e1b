// Pass-through: the system source's frames go out unchanged at its own rate.
// Pacing is by absolute deadline: it moves by exactly one period per block
// and is never reset, so after a stall the missed blocks follow at once.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "capture/Capture.h"
#include "pump/Pump.h"

namespace quorbel {

std::uint32_t RoundedRate(double sampleRate) {
    if (!std::isfinite(sampleRate) || sampleRate < 0.5 || sampleRate >= 4294967295.5) {
        return 0;
    }
    return std::uint32_t(std::llround(sampleRate));
}

BlockGeometry PassThroughGeometry(std::uint32_t rate) {
    const std::uint32_t frames = std::max<std::uint32_t>(rate / 50, 1);
    // A capture run never passes 0; treat it as 1 rather than divide by it.
    const std::uint64_t periodNs = std::uint64_t(frames) * 1'000'000'000ull / std::max<std::uint32_t>(rate, 1);
    return {frames, std::size_t(frames) * sizeof(StereoFrame), periodNs};
}

void PassThroughPump(CaptureStream& systemStream, std::uint32_t rate) {
    const BlockGeometry geometry = PassThroughGeometry(rate);
    std::vector<std::uint8_t> block(geometry.bytes, 0);
    auto deadline = std::chrono::steady_clock::now();
    if (gStopRequested.load(std::memory_order_relaxed)) {
        return;
    }
    for (;;) {
        // Whatever has not arrived goes out as silence.
        const std::size_t count = systemStream.ring.take(block.data(), block.size());
        std::memset(block.data() + count, 0, block.size() - count);
        if (!WriteBlock(block.data(), block.size())) {
            return;
        }
        deadline += std::chrono::nanoseconds(geometry.periodNs);
        SleepUntil(deadline);
        if (gStopRequested.load(std::memory_order_relaxed)) {
            return;
        }
    }
}

}  // namespace quorbel
