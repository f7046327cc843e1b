// The host-clock lock. A device runs on its own crystal, a little fast or
// slow against the host's monotonic clock, while the tool takes its audio out
// at exactly the nominal rate per host second: left alone, the difference
// piles up (rings that fill) or runs dry (holes), and two sources slide apart.
// So the stream's rate is nudged, by whole hertz, until the frames delivered
// keep pace with rate × elapsed host time.
//
// Once a window, the controller looks at the error of the delivery that came
// earliest against that schedule (late wake-ups only ever make a delivery
// look behind, never ahead), and steers with a proportional and an integral
// term. Steps are at most a few hertz, a few hundredths of a percent at
// 48 kHz: far below any audible change of pitch.
#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/pulse/PulseBackend.h"

namespace quorbel::pulse {
namespace {

constexpr std::int64_t kWindowNs = 1'000'000'000;
// Hertz per frame of error: a slow, overdamped loop. The rate it finds is the
// device's own, to the hertz, and the schedule error stays a few frames.
constexpr double kProportional = 0.1;
constexpr double kIntegral = 0.002;
constexpr double kMaxStepHz = 2;
// No real device is this far off; a larger error means something else is
// wrong, and chasing it would only bend the pitch.
constexpr double kMaxOffsetOfNominal = 0.002;

void StartWindow(RateLock& lock, std::int64_t nowNs) {
    lock.windowPeak = -std::numeric_limits<double>::infinity();
    lock.windowEndNs = nowNs + kWindowNs;
}

// The first window only settles the stream in: whatever the server had
// gathered before the first delivery would read as a device running fast.
void Anchor(RateLock& lock, std::int64_t nowNs) {
    lock.originNs = nowNs;
    lock.delivered = 0;
    StartWindow(lock, nowNs);
}

// A proportional-integral step in its incremental form: each window moves
// the command by how the error changed and by the error itself, so holding
// the command at a limit never winds anything up.
std::int32_t Steer(RateLock& lock, double error) {
    const double limit = lock.nominal * kMaxOffsetOfNominal;
    const double change = -(kProportional * (error - lock.lastError) + kIntegral * error);
    lock.lastError = error;
    lock.command = std::clamp(lock.command + std::clamp(change, -kMaxStepHz, kMaxStepHz), -limit, limit);
    return std::int32_t(std::lround(lock.command));
}

}  // namespace

void ResetRateLock(RateLock& lock, std::uint32_t nominal) {
    lock = RateLock{};
    lock.nominal = nominal;
}

std::uint32_t RateLockDelivered(RateLock& lock, std::uint64_t frames, std::int64_t nowNs) {
    if (lock.nominal == 0) {
        return 0;
    }
    if (lock.originNs < 0) {
        Anchor(lock, nowNs);
        lock.settling = true;
        return 0;
    }
    lock.delivered += frames;
    const double expected = double(lock.nominal) * double(nowNs - lock.originNs) / 1e9;
    lock.windowPeak = std::max(lock.windowPeak, double(lock.delivered) - expected);
    if (nowNs < lock.windowEndNs) {
        return 0;
    }
    if (lock.settling) {
        lock.settling = false;
        Anchor(lock, nowNs);
        return 0;
    }
    if (!lock.steering) {
        // The anchoring delivery may itself have come late: move the origin
        // so that this window's earliest delivery was exactly on time.
        lock.steering = true;
        lock.originNs -= std::llround(lock.windowPeak / lock.nominal * 1e9);
        StartWindow(lock, nowNs);
        return 0;
    }
    const std::int32_t offset = Steer(lock, lock.windowPeak);
    StartWindow(lock, nowNs);
    if (offset == lock.offset) {
        return 0;
    }
    lock.offset = offset;
    return std::uint32_t(std::int64_t(lock.nominal) + offset);
}

}  // namespace quorbel::pulse
