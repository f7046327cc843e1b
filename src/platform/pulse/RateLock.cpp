// The host-clock lock. A device runs on its own crystal, a little fast or
// slow against the host's monotonic clock, while the tool takes its audio out
// at exactly the nominal rate per host second: left alone, the difference
// piles up (rings that fill) or runs dry (holes), and two sources slide apart.
// So the stream's rate is nudged, by whole hertz, until the frames delivered
// keep pace with rate × elapsed host time.
//
// Once a window, the controller takes the error against that schedule of the
// window's most timely delivery, and steers with a proportional and an
// integral term. Audio comes late (a server hands it over in bursts, a busy
// machine stalls it), never early, so the least late delivery is where the
// device's clock shows; a mean would take every stall for drift, and on a
// busy machine stalls come every second or two. Steps are at most a few
// hertz, a few hundredths of a percent at 48 kHz: far below any audible
// change of pitch. A stall is no drift, nor is audio the server skipped:
// neither is steered.
//
// A source that stalls longer than the consumer can wait leaves a hole, and
// the late audio, which nothing discards, then waits in the consumer as
// latency. The consumer tells how much of what it holds beyond its needs
// should go, and the lock delivers that much less over the following seconds.
// The other way round, a consumer left with less than it needs to ride out a
// late fragment (the schedule was anchored on a lump, say) tells what it
// lacks, and the lock delivers that much more.
#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/pulse/PulseBackend.h"

namespace quorbel::pulse {
namespace {

constexpr std::int64_t kWindowNs = 1'000'000'000;
// Before the first window: a short while to let the stream settle in, and
// a short window to anchor the schedule on. Drift meanwhile stays uncorrected.
constexpr std::int64_t kSettleNs = 1'000'000'000;
constexpr std::int64_t kAnchorNs = 1'000'000'000;
// Hertz per frame of error, per window: an overdamped loop that finds a
// device 300 ppm off within half a minute, holding the schedule within about
// a millisecond meanwhile, while the jitter of the deliveries moves the rate
// by a few hertz at most.
constexpr double kProportional = 0.3;
constexpr double kIntegral = 0.02;
constexpr double kMaxStepHz = 4;
// No real device is this far off; a larger error means something else is
// wrong, and chasing it would only bend the pitch.
constexpr double kMaxOffsetOfNominal = 0.002;
// A backlog is let go at 0.1 % of the rate (a millisecond a second, 1.7
// cents of pitch: inaudible) while the consumer tells of more than 2 ms to
// let go, and a shortfall of more than 2 ms is built up alike; the consumer
// decides which backlogs go and which it keeps. Told once a second, the
// account is a little stale, so the drain stops short rather than take what
// the consumer needs (and building up stops short rather than add latency
// it does not need); an account not renewed stops both.
constexpr std::uint32_t kDrainDivisor = 1000;
constexpr std::uint32_t kDrainToDivisor = 500;
constexpr std::int64_t kBacklogFreshNs = 2'500'000'000;
// A window whose error moved more than this from the last one's is no drift
// (a few frames a second) but a server that stalled throughout it. PipeWire
// drops a few milliseconds now and then, which are no drift either.
constexpr double kJumpSeconds = 0.005;

void StartWindow(RateLock& lock, std::int64_t nowNs, std::int64_t lengthNs = kWindowNs) {
    lock.windowError = -std::numeric_limits<double>::infinity();
    lock.windowEndNs = nowNs + lengthNs;
}

// The count starts over: whatever the server had gathered before the first
// delivery would read as a device running fast.
void Anchor(RateLock& lock, std::int64_t nowNs, std::int64_t windowNs) {
    lock.originNs = nowNs;
    lock.delivered = 0;
    StartWindow(lock, nowNs, windowNs);
}

// The frames the schedule expects by host time nowNs, less what draining gave up.
double Expected(const RateLock& lock, std::int64_t nowNs) {
    const double elapsed = double(nowNs - lock.originNs) / 1e9;
    const double draining = double(lock.drainHz) * double(nowNs - lock.drainFromNs) / 1e9;
    return double(lock.nominal) * elapsed - lock.drained - draining;
}

// Whether to drain, or build up, from now on, by the consumer's latest account.
void DecideDrain(RateLock& lock, std::int64_t nowNs) {
    const bool fresh = lock.surplusAtNs >= 0 && nowNs - lock.surplusAtNs <= kBacklogFreshNs;
    const std::int64_t least = lock.nominal / kDrainToDivisor;
    const std::int64_t surplus = fresh ? lock.surplus : 0;
    const std::int32_t sign = surplus > least ? 1 : surplus < -least ? -1 : 0;
    const std::int32_t drainHz = sign * std::int32_t(std::max<std::uint32_t>(lock.nominal / kDrainDivisor, 1));
    if (drainHz != lock.drainHz) {
        lock.drained += double(lock.drainHz) * double(nowNs - lock.drainFromNs) / 1e9;
        lock.drainHz = drainHz;
        lock.drainFromNs = nowNs;
    }
}

// Whether this window's error is a jump, which steers nothing. One window off
// is a stall the server caught up on after it; a second one too is a step in
// the count, audio the server skipped (PipeWire does after a stall): the
// origin moves by it, since stretching the stream to make it up would only
// bend the pitch and queue as much audio again.
bool AbsorbJump(RateLock& lock, double error) {
    const double jump = error - lock.lastError;
    if (std::abs(jump) <= kJumpSeconds * lock.nominal) {
        lock.jumped = false;
        return false;
    }
    if (lock.jumped) {
        lock.originNs -= std::llround(jump / lock.nominal * 1e9);
    }
    lock.jumped = !lock.jumped;
    return true;
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
        Anchor(lock, nowNs, kSettleNs);
        lock.settling = true;
        return 0;
    }
    lock.delivered += frames;
    lock.windowError = std::max(lock.windowError, double(lock.delivered) - Expected(lock, nowNs));
    if (nowNs < lock.windowEndNs) {
        return 0;
    }
    if (lock.settling) {
        lock.settling = false;
        Anchor(lock, nowNs, kAnchorNs);
        return 0;
    }
    if (!lock.steering) {
        // The anchoring delivery may itself have come early or late: move the
        // origin so that this window's most timely delivery was on time.
        lock.steering = true;
        lock.originNs -= std::llround(lock.windowError / lock.nominal * 1e9);
        StartWindow(lock, nowNs);
        return 0;
    }
    if (AbsorbJump(lock, lock.windowError)) {
        StartWindow(lock, nowNs);
        return 0;
    }
    const std::int32_t steered = Steer(lock, lock.windowError);
    DecideDrain(lock, nowNs);
    const std::int32_t offset = steered - lock.drainHz;
    StartWindow(lock, nowNs);
    if (offset == lock.offset) {
        return 0;
    }
    lock.offset = offset;
    return std::uint32_t(std::int64_t(lock.nominal) + offset);
}

void RateLockBacklog(RateLock& lock, std::int32_t frames, std::int64_t nowNs) {
    lock.surplus = frames;
    lock.surplusAtNs = nowNs;
}

}  // namespace quorbel::pulse
