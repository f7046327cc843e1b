// Mixed output: every source is brought to 48 kHz by sample-and-hold and the
// sources are added with 16-bit saturation, 960 frames every 20 ms. A source
// whose audio was running is waited for a little when its fragment is late.
#include <algorithm>

#include "capture/Capture.h"
#include "pump/Pump.h"

namespace quorbel {
namespace {

constexpr std::chrono::nanoseconds kMixedPeriod{20'000'000};

std::int16_t SaturatingAdd(std::int16_t a, std::int16_t b) {
    return std::int16_t(std::clamp(std::int32_t(a) + std::int32_t(b), -32768, 32767));
}

void RefillSources(MixSource& system, MixSource& microphone, bool includeSystem) {
    if (includeSystem) {
        system.input.refill(system.stream.ring, system.rate);
    }
    microphone.input.refill(microphone.stream.ring, microphone.rate);
}

// Its audio was running and the block is not all there: a fragment is late.
bool IsLate(const MixSource& source, std::size_t frames) {
    return source.running && source.input.playable(source.step, frames) < frames;
}

// Refills the queues, after short naps, while a source whose audio was
// running holds less than the next `frames` (nothing at all, too: see
// FillBlock in pass-through), until the grace is over or a stop is requested.
// Refilling is main-thread work, so the waiting happens here, between blocks.
void AwaitLateSources(MixSource& system, MixSource& microphone, bool includeSystem, GraceWindow grace,
                      std::size_t frames) {
    for (;;) {
        RefillSources(system, microphone, includeSystem);
        const bool late = (includeSystem && IsLate(system, frames)) || IsLate(microphone, frames);
        if (!late || !NapWithinGrace(grace)) {
            return;
        }
    }
}

// How a source enters the block: the output frames it holds silent before its
// first step. Only a source that is just starting gets any, as many as put
// the end of its audio, less the mixed reserve, at the block's end; after a
// fragment later than the grace the audio stays first. Notes whether the
// block ends in its audio.
std::size_t EnterBlock(MixSource& source, std::size_t frames) {
    if (source.running) {
        source.running = source.input.playable(source.step, frames) == frames;
        return 0;
    }
    const std::size_t reserve = StartReserveFrames(kMixedRate, kMixedStartReserve);
    const std::size_t playable = source.input.playable(source.step, frames + reserve);
    const std::size_t played = playable > reserve ? std::min(playable - reserve, frames) : 0;
    source.running = played > 0;
    return frames - played;
}

// The source's pair for output frame i: silence through its lead, then one step per frame.
StereoFrame NextFrame(MixSource& source, std::size_t i, std::size_t lead) {
    if (i < lead) {
        return {0, 0};
    }
    source.input.advance(source.step);
    return {source.input.heldLeft, source.input.heldRight};
}

struct MixBacklogs {
    BacklogWatch system;
    BacklogWatch microphone;
};

// What the source holds after a block, its queue and what waits in its ring
// on the pace of its deliveries, counted into its watch.
std::optional<std::uint32_t> WatchSource(BacklogWatch& watch, const MixSource& source) {
    return WatchBacklog(watch, source.running, HeldOnPace(source.stream, source.input.queuedFrames(), source.rate),
                        StartReserveFrames(source.rate, kMixedStartReserve));
}

// Tells the source's device what of its backlog to let go, weighed against
// its peer's backlog (counted in the peer's frames), when that is known.
// Building up a source short of its reserve would move it against its
// peer; the larger mixed reserve stands in for it.
void TellSource(BacklogWatch& watch, const MixSource& source, std::optional<std::uint32_t> backlog,
                const MixSource& peer, std::optional<std::uint32_t> peerBacklog) {
    if (!backlog) {
        return;
    }
    std::optional<std::uint32_t> peerFrames;
    if (peerBacklog && peer.rate != 0) {
        peerFrames = std::uint32_t(std::uint64_t(*peerBacklog) * source.rate / peer.rate);
    }
    TellBacklog(source.stream, std::int32_t(BacklogToLetGo(watch, *backlog, peerFrames, source.rate)));
}

// Both sources count the same blocks, so their seconds end together, and
// each backlog is weighed against the other's. A microphone mixed alone has
// no peer to keep its place against.
void WatchSources(MixBacklogs& watches, const MixSource& system, const MixSource& microphone, bool includeSystem) {
    const auto fromSystem = includeSystem ? WatchSource(watches.system, system) : std::nullopt;
    const auto fromMicrophone = WatchSource(watches.microphone, microphone);
    if (!includeSystem) {
        if (fromMicrophone) {
            TellBacklog(microphone.stream, SurplusToTell(watches.microphone, microphone.rate));
        }
        return;
    }
    TellSource(watches.system, system, fromSystem, microphone, fromMicrophone);
    TellSource(watches.microphone, microphone, fromMicrophone, system, fromSystem);
}

}  // namespace

MixSource MakeMixSource(CaptureStream& stream) {
    const std::uint32_t rate = RoundedRate(stream.format.mSampleRate);
    return {stream, MixInput{}, rate, double(rate) / double(kMixedRate), false};
}

void BuildMixedBlock(MixSource& system, MixSource& microphone, bool includeSystem, std::vector<StereoFrame>& block) {
    RefillSources(system, microphone, includeSystem);
    const std::size_t systemLead = includeSystem ? EnterBlock(system, block.size()) : 0;
    const std::size_t microphoneLead = EnterBlock(microphone, block.size());
    for (std::size_t i = 0; i < block.size(); ++i) {
        const StereoFrame fromSystem = includeSystem ? NextFrame(system, i, systemLead) : StereoFrame{0, 0};
        const StereoFrame fromMicrophone = NextFrame(microphone, i, microphoneLead);
        block[i] = {SaturatingAdd(fromSystem.left, fromMicrophone.left),
                    SaturatingAdd(fromSystem.right, fromMicrophone.right)};
    }
}

void MixedPump(CaptureStream& systemStream, CaptureStream& microphoneStream, bool includeSystem) {
    MixSource system = MakeMixSource(systemStream);
    MixSource microphone = MakeMixSource(microphoneStream);
    std::vector<StereoFrame> block(kMixedBlockFrames, StereoFrame{0, 0});
    const std::chrono::nanoseconds grace = LateFragmentGrace(kMixedPeriod);
    MixBacklogs backlogs;
    auto deadline = std::chrono::steady_clock::now();
    auto woke = deadline;
    if (gStopRequested.load(std::memory_order_relaxed)) {
        return;
    }
    for (;;) {
        AwaitLateSources(system, microphone, includeSystem, GraceFor(deadline, woke, grace), block.size());
        BuildMixedBlock(system, microphone, includeSystem, block);
        // A stop during the grace ends here too: nothing is written once it is set.
        if (!WriteBlock(block.data(), block.size() * sizeof(StereoFrame))) {
            return;
        }
        // Told after the write, in the time left before the next deadline.
        WatchSources(backlogs, system, microphone, includeSystem);
        deadline += kMixedPeriod;
        woke = SleepUntil(deadline, woke);
        if (gStopRequested.load(std::memory_order_relaxed)) {
            return;
        }
    }
}

}  // namespace quorbel
