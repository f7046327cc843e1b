#include "MachineWatch.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>

#include "DriftDevices.h"

namespace quorbel::test {

namespace {
constexpr std::size_t kMostRecorded = 1'000'000;  // a watch of hours on a very busy machine
}  // namespace

MachineWatch::MachineWatch(bool realTime) : thread_([this, realTime] { watch(realTime); }) {}

const std::vector<MachineStall>& MachineWatch::stop() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    return stalls_;
}

void MachineWatch::watch(bool realTime) {
    if (realTime) {
        const sched_param param{sched_get_priority_min(SCHED_RR) + 19};
        realTime_ = pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0;
    }
    while (!stopping_) {
        const std::int64_t before = MonotonicNs();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::int64_t after = MonotonicNs();
        const double late = double(after - before) / 1e6 - 1.0;
        if (late >= kRecordedMs && stalls_.size() < kMostRecorded) {
            stalls_.push_back({after, late});
        }
    }
}

std::size_t StallsOf(const std::vector<MachineStall>& stalls, double ms) {
    return std::size_t(std::count_if(stalls.begin(), stalls.end(), [ms](const MachineStall& s) { return s.ms >= ms; }));
}

double LongestStallMs(const std::vector<MachineStall>& stalls, std::int64_t fromNs, std::int64_t toNs) {
    double longest = 0;
    for (const MachineStall& stall : stalls) {
        if (stall.endNs >= fromNs && stall.endNs <= toNs) {
            longest = std::max(longest, stall.ms);
        }
    }
    return longest;
}

}  // namespace quorbel::test
