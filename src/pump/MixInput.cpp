// The mixer's per-source queue. Arithmetic on position follows one fixed
// order (one addition per step, whole units subtracted) so output is
// bit-exact from run to run.
#include <algorithm>
#include <cmath>

#include "pump/Pump.h"

namespace quorbel {
namespace {

constexpr std::size_t kDrainChunkBytes = 32768;
constexpr std::uint64_t kCompactionThreshold = 32768;  // samples

// One output frame's step of the phase; gives the whole units crossed.
// Subtracting the whole part at once gives exactly what subtracting 1.0 that
// many times would.
std::uint64_t CrossWholeUnits(double& position, double step) {
    position += step;
    if (position < 1.0) {
        return 0;
    }
    const double whole = std::floor(position);
    position -= whole;
    return std::uint64_t(whole);
}

}  // namespace

void MixInput::refill(ByteRing& ring, unsigned rate) {
    // Looks at the ring afresh each time, so frames appended meanwhile come too.
    std::int16_t chunk[kDrainChunkBytes / sizeof(std::int16_t)];
    while (const std::size_t n = ring.take(chunk, sizeof chunk)) {
        samples.insert(samples.end(), chunk, chunk + n / sizeof(std::int16_t));
    }
    // Keep at most two seconds (at 48 kHz or the source's rate, whichever is
    // greater) of unread audio: the oldest goes. 32-bit like the rate itself.
    const std::uint32_t bound = std::max<std::uint32_t>(rate, kMixedRate) * 4u;
    if (samples.size() - readIndex > bound) {
        readIndex = samples.size() - bound;
    }
    // Consumed samples are erased in one move once enough have piled up.
    if (readIndex > kCompactionThreshold) {
        samples.erase(samples.begin(), samples.begin() + std::ptrdiff_t(readIndex));
        readIndex = 0;
    }
}

void MixInput::advance(double step) {
    // Each whole unit crossed takes one frame, and only the last one taken is
    // held; a unit with no frame left holds silence.
    const std::uint64_t wanted = CrossWholeUnits(position, step);
    if (wanted == 0) {
        return;
    }
    const std::uint64_t unread = queuedFrames();
    if (wanted <= unread) {
        readIndex += 2 * wanted;
        heldLeft = samples[readIndex - 2];
        heldRight = samples[readIndex - 1];
    } else {
        readIndex += 2 * unread;
        heldLeft = 0;
        heldRight = 0;
    }
}

// The same steps as advance, on a copy of the phase.
std::size_t MixInput::playable(double step, std::size_t frames) const {
    const std::uint64_t queued = queuedFrames();
    double phase = position;
    std::uint64_t taken = 0;
    for (std::size_t n = 0; n < frames; ++n) {
        taken += CrossWholeUnits(phase, step);
        if (taken > queued) {
            return n;
        }
    }
    return frames;
}

}  // namespace quorbel
