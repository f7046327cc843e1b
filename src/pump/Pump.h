// The paced loops on the main thread that write PCM to standard output, and
// the mixer's per-source queue.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "realtime/Realtime.h"

namespace quorbel {

// Writes all of data to descriptor 1. False, with the stop flag set, when the
// pump must end: the flag was set before a write, or a write failed.
bool WriteBlock(const void* data, std::size_t length);
// Sleeps until deadline; a deadline in the past does not sleep. Returns
// when the pump woke, or lastWake when it did not sleep.
std::chrono::steady_clock::time_point SleepUntil(std::chrono::steady_clock::time_point deadline,
                                                 std::chrono::steady_clock::time_point lastWake);

// How long past its deadline a block waits for the rest of a source's audio
// when that source was delivering and a fragment is late. Servers deliver
// fragments of about 10 ms; measured, a sink that renders in 10 ms bursts
// has its monitor's deliveries wander by up to 14 ms around their pace
// (PulseAudio), and PipeWire's by some 5 ms. The grace and the start reserve
// below cover 20 ms between them.
inline constexpr std::chrono::nanoseconds kLateFragmentGrace{10'000'000};
// A source that starts, or starts again after silence, keeps this much of
// its audio back in its queue: its blocks then find a little more than they
// take, and a late fragment is caught up before the block is due.
inline constexpr std::chrono::nanoseconds kStartReserve{10'000'000};
// A run's first audio keeps this much less back. Servers hand 10 ms
// fragments over a little short (PulseAudio: 433 frames at 44.1 kHz), so a
// source holding its first one would wait for the next to have more than
// the reserve: its audio would start 10 ms later for no more cover, since
// what then goes out ahead of the reserve is that next fragment.
inline constexpr std::chrono::nanoseconds kFirstStartSlack{1'000'000};
// In a mix a source keeps a fragment more back. Its fragments come on its
// own clock, so when they come drifts slowly against the pump's deadlines;
// placed just after one came, a source would hold next to nothing just
// before one comes once that has drifted round, and a pad then would move
// it against the other source for good. Latency matters less here than in
// pass-through, where every millisecond of it counts.
inline constexpr std::chrono::nanoseconds kMixedStartReserve{20'000'000};
// A reserve in frames of a source at rate.
constexpr std::size_t StartReserveFrames(std::uint32_t rate, std::chrono::nanoseconds reserve = kStartReserve) {
    return std::size_t(std::uint64_t(rate) * std::uint64_t(reserve.count()) / 1'000'000'000u);
}
// The grace of a pump with this period: never more than half a period.
constexpr std::chrono::nanoseconds LateFragmentGrace(std::chrono::nanoseconds period) {
    return std::min(kLateFragmentGrace, period / 2);
}
// How long a block waits for late audio. Its grace runs from its deadline;
// but when the pump itself woke from its sleep after the deadline, whatever
// held it up (on a loaded machine, everything stalls for tens of
// milliseconds now and then) held the sources up too, and their audio for
// that time is on its way: the grace then runs from the wake, for every
// block due by then. The waiting stays one grace per wake, so a pump that
// falls behind its deadlines for other reasons waits no longer than before.
struct GraceWindow {
    std::chrono::steady_clock::time_point end;
    std::chrono::nanoseconds length;
    std::chrono::steady_clock::time_point looked{};  // the last nap's wake; none yet
    bool startedAgain = false;                       // a hold-up in the naps has moved it
};
GraceWindow GraceFor(std::chrono::steady_clock::time_point deadline, std::chrono::steady_clock::time_point lastWake,
                     std::chrono::nanoseconds grace);
// One short nap (a millisecond at most) before looking again for late audio.
// False, without sleeping, once the grace is over or a stop was requested. A
// hold-up of the pump, in a nap or between two, starts the grace again from
// when it ended, once a block: on a machine that keeps stalling, a block
// would otherwise wait for as long as its source does.
bool NapWithinGrace(GraceWindow& grace);

// What a running source's queue holds after its blocks, at its lowest over a
// second of blocks, beyond what it held in its first whole seconds: audio
// that came after its place had been filled with silence, which nothing
// discards, so without help it would stay as latency for the rest of the
// run. What of it should go is told to the source's device once a second,
// so that the platform delivers that much less, gently. In a mix, what a
// source held from the start (its reserve, and whatever its first
// deliveries brought over) is its own latency, and stays, so that the two
// sources keep their places.
struct BacklogWatch {
    std::size_t lowest = SIZE_MAX;    // frames held after a block, this second
    std::uint32_t blocks = 0;         // blocks counted this second
    std::uint32_t runningBlocks = 0;  // of those, the ones the source ran to the end of
    std::uint32_t wholeSeconds = 0;   // seconds it ran throughout, up to the settling ones
    std::size_t usual = 0;            // held beyond the reserve while it settled in
    std::size_t beyond = 0;           // held beyond the reserve, the last second told
    bool lettingGo = false;           // the whole backlog is going
    bool closingUp = false;           // what it holds beyond its peer in a mix is going
    std::array<std::size_t, 3> shortfalls{};  // below the reserve, the last settled seconds (0: not below)
    std::uint32_t shortIndex = 0;     // the oldest of them
    bool buildingUp = false;          // a lone source is being brought back up to its reserve
};
// Counts one block, noting heldFrames when the source's audio ran to its end.
// After a second of blocks: the backlog to tell, in frames (no more than the
// device's signed account holds), once the usual level is known and unless
// the source ran in none of them.
std::optional<std::uint32_t> WatchBacklog(BacklogWatch& watch, bool running, std::size_t heldFrames,
                                          std::size_t reserveFrames);
// Of a second's backlog, what the device should let go, in the source's
// frames at rate. A backlog of some tens of milliseconds is latency the
// source can afford, and it absorbs the next stall: only a larger one goes,
// all of it. In a mix, what a source holds beyond its peer (the peer's
// backlog, in this source's frames) has moved the two apart, and goes from
// a few milliseconds on.
std::uint32_t BacklogToLetGo(BacklogWatch& watch, std::uint32_t backlog, std::optional<std::uint32_t> peer,
                             std::uint32_t rate);
// What a source with no peer tells its device after a second's account: a
// backlog to let go, as above (unless it keeps cover, from 5 ms on: a source
// that has not been held up lately has nothing to cover), counting what it
// held as it settled in, since alone it has no place to keep; or, once it has
// held less than its reserve for three settled seconds in a row, what it
// lacks (negative), for the device to deliver more. The reserve is what
// rides out a fragment later than the grace; a source that keeps less (its
// rate was set on a lump that came at its start, say) leaves a hole at the
// next one. One short second is a late fragment, and building up for it
// would only add latency.
std::int32_t SurplusToTell(BacklogWatch& watch, std::uint32_t rate, bool keepCover = true);
// What a running source holds on the pace of its deliveries: heldFrames
// plus the frames due since its newest ones came (at newestHostTime, 0 when
// unknown), up to 20 ms of them. What a queue holds after a block swings by
// a fragment with when the last one came, and that swing drifts slowly with
// the source's clock; on its pace it holds steady, and what changes is
// backlog.
std::size_t HeldOnPace(std::size_t heldFrames, std::uint64_t newestHostTime, std::uint32_t rate,
                       std::chrono::steady_clock::time_point now);
// The same for a source now: queuedFrames already taken out of its ring,
// and what waits in the ring.
std::size_t HeldOnPace(const CaptureStream& stream, std::size_t queuedFrames, std::uint32_t rate);
// Tells the stream's device (negative: what the source lacks); a platform
// that cannot act on it is left alone.
void TellBacklog(const CaptureStream& stream, std::int32_t frames);

// What a lone source keeps back when it starts again. A source that ran dry
// inside its audio and started again within a few blocks was not stopped
// but held up past its reserve and the grace, and a server that does that
// once does it again. PipeWire's graph on a machine without real-time
// scheduling hands over 21 ms at a time, now and then a cycle late, and
// often skips what it missed, so nothing piles up to cover the next one.
// Such a source starts again keeping a step more back, up to a bound: the
// hole it follows gets the step longer, once, and the run that much more
// latency. A source whose deliveries keep time never grows it, and each
// settled minute (running throughout, not once dry) gives a step back.
struct StartReserve {
    std::size_t frames;  // kept back now
    std::size_t baseFrames;
    std::size_t stepFrames;
    std::size_t mostFrames;
    std::size_t slackFrames;  // kept back less at the run's first start; 0 once it started
    std::uint32_t dryBlocks = kNotDry;  // blocks since it ran dry inside its audio
    std::uint32_t quietBlocks = UINT32_MAX;  // blocks it ran since then; none yet: settled

    static constexpr std::uint32_t kNotDry = UINT32_MAX;
};
StartReserve StartReserveAt(std::uint32_t rate);
// What the source keeps back if it starts in this block.
std::size_t ReserveToStartWith(const StartReserve& reserve);
// What a source starting in this block leaves in its queue: as above, less
// the slack the first time.
std::size_t KeptBackAtStart(const StartReserve& reserve);
// Follows a block that went out with startedWith as the reserve to start with.
void NoteBlock(StartReserve& reserve, bool wasRunning, bool running, std::size_t startedWith);
// Whether the source ran dry within the last settled minute: until then, a
// backlog its hold-up left is kept as cover for the next one.
bool HeldUpLately(const StartReserve& reserve);

// A stream rate rounded half away from zero, as unsigned 32-bit; 0 for a
// rate that is not finite or does not fit.
std::uint32_t RoundedRate(double sampleRate);

// One fiftieth of a second at rate R: max(R / 50, 1) frames, and the period
// that those frames last, truncated to whole nanoseconds.
struct BlockGeometry {
    std::uint32_t frames;
    std::size_t bytes;
    std::uint64_t periodNs;
};
BlockGeometry PassThroughGeometry(std::uint32_t rate);

// Writes the system ring at rate frames per second, one block per period,
// silence where no audio arrived, until the stop flag is set. A block whose
// source was delivering waits out the grace for a late fragment.
void PassThroughPump(CaptureStream& systemStream, std::uint32_t rate);

// A source's sample queue for the mixer, read out at 48 kHz by sample-and-hold.
struct MixInput {
    std::vector<std::int16_t> samples;  // interleaved left, right
    std::uint64_t readIndex = 0;        // next unread sample; always even
    double position = 0.0;              // rate-conversion phase, in source frames
    std::int16_t heldLeft = 0;
    std::int16_t heldRight = 0;

    // Main thread only. Drains the ring, bounds the backlog, compacts now and then.
    void refill(ByteRing& ring, unsigned rate);
    // Main thread only. Steps by one output frame; the held pair is the result.
    void advance(double step);
    // Of the next `frames` calls to advance(step), how many the queued frames
    // fill before one runs dry and holds silence.
    std::size_t playable(double step, std::size_t frames) const;
    std::uint64_t queuedFrames() const { return (samples.size() - readIndex) / 2; }
};

inline constexpr std::uint32_t kMixedRate = 48000;
inline constexpr std::size_t kMixedBlockFrames = 960;

// One source as the mixer sees it; the step is its rounded rate / 48000.
struct MixSource {
    CaptureStream& stream;
    MixInput input;
    std::uint32_t rate;
    double step;
    bool running;  // its audio ran to the end of the previous block
};
MixSource MakeMixSource(CaptureStream& stream);
// Refills the queues once, then builds every frame of block from them. A
// source that is just starting holds silence first, so that its audio ends
// at the block's end.
void BuildMixedBlock(MixSource& system, MixSource& microphone, bool includeSystem, std::vector<StereoFrame>& block);

// Mixes the microphone (and the system source when included) to 48 kHz,
// 960 frames every 20 ms, until the stop flag is set. Before each block, a
// source that was delivering is waited for within the grace when it holds
// only part of the block.
void MixedPump(CaptureStream& systemStream, CaptureStream& microphoneStream, bool includeSystem);

}  // namespace quorbel
