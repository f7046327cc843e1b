// The machine's own hold-ups while a run goes on, as a thread that only
// sleeps a millisecond at a time sees them. One longer than the tool's cover
// (its reserve and its grace, 20 ms) holds the server, its devices and the
// tool up alike, and what the tool leaves then (a hole, a step of a mixed
// offset, latency) is the machine's doing, not the tool's.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace quorbel::test {

struct MachineStall {
    std::int64_t endNs = 0;  // when the thread woke, on the monotonic clock
    double ms = 0;           // beyond its millisecond
};

class MachineWatch {
public:
    // With realTime, the thread asks for real-time scheduling first (it keeps
    // what it has when that is refused): then nothing else on the machine
    // holds it up, and a stall is the whole machine's (a virtual machine's
    // host that pauses it, say).
    explicit MachineWatch(bool realTime = false);
    ~MachineWatch() { stop(); }
    MachineWatch(const MachineWatch&) = delete;
    MachineWatch& operator=(const MachineWatch&) = delete;
    // Ends the watch; the stalls of kRecordedMs or more, in order.
    const std::vector<MachineStall>& stop();
    bool realTime() const { return realTime_; }

    static constexpr double kRecordedMs = 5.0;

private:
    void watch(bool realTime);
    std::atomic<bool> stopping_{false};
    std::atomic<bool> realTime_{false};
    std::vector<MachineStall> stalls_;
    std::thread thread_;
};

// Of the stalls, how many lasted `ms` or more, and the longest.
std::size_t StallsOf(const std::vector<MachineStall>& stalls, double ms);
double LongestStallMs(const std::vector<MachineStall>& stalls, std::int64_t fromNs = INT64_MIN,
                      std::int64_t toNs = INT64_MAX);

}  // namespace quorbel::test
