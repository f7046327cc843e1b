// The one way PCM reaches standard output: straight to the descriptor, never
// through stdout's buffer, so the reader has each block as soon as it is out.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "capture/Capture.h"
#include "pump/Pump.h"

namespace quorbel {
namespace {

// How often a block waiting out its grace looks for the late audio again.
constexpr std::chrono::nanoseconds kGraceRecheck{1'000'000};
// A wake this much past the deadline is the pump held up, not the timer's
// usual slack (well under a millisecond).
constexpr std::chrono::nanoseconds kOversleep{2'000'000};

// The sources were held up with the pump from `from` to `woke`: one more
// grace from the wake, the first time only.
void StartAgainAfterHoldUp(GraceWindow& grace, std::chrono::steady_clock::time_point from,
                           std::chrono::steady_clock::time_point woke) {
    if (!grace.startedAgain) {
        grace = GraceFor(from, woke, grace.length);
        grace.startedAgain = true;
    }
}

}  // namespace

bool WriteBlock(const void* data, std::size_t length) {
    const auto* next = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        if (gStopRequested.load(std::memory_order_relaxed)) {
            return false;
        }
        const ssize_t n = write(STDOUT_FILENO, next, length);
        if (n > 0) {
            next += n;
            length -= std::size_t(n);
        } else if (n == 0 || errno != EINTR) {
            // A reader that closed the pipe shows up here as EPIPE (SIGPIPE is ignored).
            gStopRequested.store(true, std::memory_order_relaxed);
            return false;
        }
    }
    return true;
}

std::chrono::steady_clock::time_point SleepUntil(std::chrono::steady_clock::time_point deadline,
                                                 std::chrono::steady_clock::time_point lastWake) {
    const auto now = std::chrono::steady_clock::now();
    if (deadline <= now) {
        return lastWake;
    }
    std::this_thread::sleep_for(deadline - now);
    return std::chrono::steady_clock::now();
}

GraceWindow GraceFor(std::chrono::steady_clock::time_point deadline, std::chrono::steady_clock::time_point lastWake,
                     std::chrono::nanoseconds grace) {
    return {std::max(deadline, lastWake) + grace, grace};
}

bool NapWithinGrace(GraceWindow& grace) {
    if (gStopRequested.load(std::memory_order_relaxed)) {
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    // Between naps the pump only looks at the rings, which takes microseconds.
    if (grace.looked != std::chrono::steady_clock::time_point{} && now > grace.looked + kOversleep) {
        StartAgainAfterHoldUp(grace, grace.looked, now);
    }
    if (now >= grace.end) {
        return false;
    }
    const auto nap = std::min<std::chrono::nanoseconds>(kGraceRecheck, grace.end - now);
    std::this_thread::sleep_for(nap);
    const auto woke = std::chrono::steady_clock::now();
    if (woke > now + nap + kOversleep) {
        StartAgainAfterHoldUp(grace, now + nap, woke);
    }
    grace.looked = woke;
    return true;
}

}  // namespace quorbel
