// Pumps write to descriptor 1, so the tests run them in a child process and
// read what comes out of the pipe.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pump/Pump.h"
#include "realtime/Realtime.h"
#include "support/ChildProcess.h"
#include "support/Frames.h"

namespace quorbel::test {

inline constexpr Millis kPumpTimeout{10000};

// What a 48 kHz source that starts keeps back of its audio (see the pumps'
// start reserves: alone, and in a mix), and so where, in its first 960-frame block, a source that
// starts with `queued` frames is first heard.
inline constexpr std::size_t kReserve = StartReserveFrames(48000);
inline constexpr std::size_t kMixedReserve = StartReserveFrames(48000, kMixedStartReserve);
// What a lone source keeps back when its audio first begins, a little less.
inline constexpr std::size_t kFirstReserve = kReserve - StartReserveFrames(48000, kFirstStartSlack);
constexpr std::size_t StartLead(std::size_t queued, std::size_t reserve = kFirstReserve) {
    return queued <= reserve ? 960 : 960 - std::min<std::size_t>(queued - reserve, 960);
}

// Runs body in a child prepared as a capture run prepares the pump's process:
// stop flag clear, SIGINT and SIGTERM handled, SIGPIPE ignored.
ChildProcess RunPump(const std::function<void()>& body);

std::unique_ptr<CaptureStream> StreamAt(double rate);
// Appends frames to a stream's ring.
void Queue(CaptureStream& stream, const std::vector<StereoFrame>& frames);
// Frames counting 1, 2, 3 ... on the left and the negated count on the right.
std::vector<StereoFrame> CountingFrames(int first, int count);
std::vector<StereoFrame> ToFrames(const std::string& bytes);
// `sound` from frame `at` on and silence around it, `size` frames in all.
std::vector<StereoFrame> Placed(const std::vector<StereoFrame>& sound, std::size_t at, std::size_t size);
std::vector<StereoFrame> Joined(std::vector<StereoFrame> head, const std::vector<StereoFrame>& tail);
// The frames that are not silence, in order, and where the first of them is.
std::vector<StereoFrame> Sounding(const std::vector<StereoFrame>& frames);
std::size_t FirstSound(const std::vector<StereoFrame>& frames);

// ---- Timed deliveries ----------------------------------------------------
// The grace is a matter of milliseconds. A feeder thread in the pump's child
// appends each delivery at its time after an anchor, and the pump starts at
// the anchor or just after it, so a delivery is never later against the
// pump's deadlines than against its schedule. The feeder reports how far
// behind the schedule it fell: on a busy machine a run may prove nothing
// about the grace, and then only what holds whatever the timing is checked.

using Micros = std::chrono::microseconds;

// A fragment due 2 ms after its deadline, delivered less than this behind its
// time, is in the ring before the grace (10 ms) is over.
inline constexpr Micros kPunctual{5000};

struct Delivery {
    Micros at;         // after the anchor
    std::size_t ring;  // which of the run's rings
    std::vector<StereoFrame> frames;
};

// The frames in fragments of 480 (10 ms at 48 kHz), fragment i due at
// 10 i + 5 ms: the two that complete 20 ms block j (j >= 1) come 15 and 5 ms
// before its deadline at 20 j ms.
std::vector<Delivery> Fragments(std::size_t ring, const std::vector<StereoFrame>& frames);
// Makes block j short at its deadline: the fragment that would complete it
// comes `late` after the deadline, and so do the ring's later fragments, as a
// stream's would. A source that keeps `held` frames back after each block
// (its reserve) has that much of block j before the fragments that bring the
// rest; with `emptyAtDeadline` the fragment before that one is late too, so
// the ring holds nothing at all of block j at its deadline.
void DelayBlock(std::vector<Delivery>& deliveries, std::size_t ring, int block, Micros late, std::size_t held = 0,
                bool emptyAtDeadline = false);

// Requests a stop, as SIGTERM would, as soon as the ring has given up `bytes`.
struct StopWhenTaken {
    const ByteRing* ring;
    std::uint64_t bytes;
};

// Holds the pump's own thread up, as a machine that stalls does: `at` after
// the anchor it stops for `length`. A pump sleeping towards its next deadline
// then wakes `length` late.
struct PumpHold {
    Micros at;
    Micros length;
};
// Makes every delivery due from `from` on come no earlier than `until`: the
// audio a stalled machine held up, which follows after it.
void HoldDeliveries(std::vector<Delivery>& deliveries, Micros from, Micros until);

// A 30 ms hold of a 48 kHz pump fed Fragments() after a whole first block and
// its reserve, and the deliveries held up with it, which come 3 ms after the
// pump wakes. Held up at 110 ms, well into its sleep towards block 6 (due at
// 120 ms; a slow pump may still be writing block 5 a few milliseconds after
// 100 ms, and a hold then ends with no sleep left), the pump wakes at about
// 150 ms with blocks 6 and 7 due: the ring then holds part of block 6 (audio
// held from 102 ms), or all of it and nothing of block 7 (from 108 ms). Or,
// held up at 122 ms while it waits for the rest of block 6 (due by 115 ms,
// held up too), it wakes at about 152 ms.
struct HeldUp {
    Micros holdAt;
    Micros heldFrom;
    Micros heldUntil;
};
inline constexpr HeldUp kHeldUp[] = {
    {Millis(110), Millis(102), Millis(153)}, {Millis(110), Millis(108), Millis(153)},
    {Millis(122), Millis(102), Millis(155)}};
// Names a row in a failure's trace.
std::string Describe(const HeldUp& row);

// Runs in a pump's child: makes the deliveries in time order from one thread
// (each ring keeps a single producer), runs pump from the anchor on, and
// reports on descriptor 3 the worst lateness (of a delivery, a hold, or of
// the pump's start) and, with a stop, when after the anchor it was requested.
void RunFed(const std::vector<ByteRing*>& rings, std::vector<Delivery> deliveries,
            const std::function<void()>& pump, std::optional<StopWhenTaken> stop = std::nullopt,
            std::optional<PumpHold> hold = std::nullopt);

// Without a report, or without a stop, the times are too large to judge by.
struct FedRun {
    std::vector<StereoFrame> out;
    Micros worstLateness{};
    Micros stoppedAt{};
};
// Reads `bytes` of PCM (std::string::npos: up to the end), ends the run and reads its report.
FedRun ReadFedRun(ChildProcess& child, std::size_t bytes);
// Starts `run` again, three runs at most, while its feeder fell `tolerance` or more behind.
FedRun PunctualRun(const std::function<FedRun()>& run, Micros tolerance);

// Reads `blocks` blocks one at a time into pcm. For each, how much later it
// came than the pace (one period per block) from the first, in milliseconds.
std::vector<double> ArrivalDelays(ChildProcess& child, std::size_t blockBytes, std::size_t blocks, double periodMs,
                                  std::string& pcm);

// Reads 60 blocks of a 48 kHz run fed `sound` (two blocks at most) and then
// nothing: it all comes out in order, and the empty blocks after the first
// go out at their deadlines, not a grace later.
void ExpectEmptyBlocksOnTime(ChildProcess& child, const std::vector<StereoFrame>& sound);

}  // namespace quorbel::test
