// The pumps' account of a backlog to the platform. A stall longer than the
// grace leaves silence in the output, and the audio that comes afterwards
// queues behind it; only the source's rate can take it out again without a
// gap or a cut.
#include <algorithm>
#include <limits>

#include "platform/AudioPlatform.h"
#include "pump/Pump.h"

namespace quorbel {
namespace {

constexpr std::uint32_t kBlocksPerAccount = 50;  // a second of 20 ms blocks
// A source settles in over its first seconds (the first deliveries' lumps,
// the clock lock finding its rate); the most it held then is its own.
constexpr std::uint32_t kSettlingSeconds = 5;
// Where letting go starts and ends, in milliseconds. It ends a little short:
// the account is a second old by the time the device acts on it.
constexpr std::uint32_t kLetGoFromMs = 40;
constexpr std::uint32_t kCloseUpFromMs = 5;
constexpr std::uint32_t kLetGoToMs = 2;
// A lone source that has not run dry for a while has nothing to cover: what
// queued behind its last hole is only latency, and goes from here on.
constexpr std::uint32_t kSettledLetGoFromMs = 5;
// A lone source short of its reserve by more than this is built up.
constexpr std::uint32_t kBuildUpFromMs = 3;

// Fragments come every 10 ms or so; a longer quiet is not the pace of a
// running source, and counting it would hide a queue running low.
constexpr std::uint64_t kPaceSpanNs = 20'000'000;

std::uint32_t FramesIn(std::uint32_t rate, std::uint32_t ms) { return std::uint32_t(std::uint64_t(rate) * ms / 1000); }

// A drain starts past `from` and runs until what it takes is no more than `to`.
bool Draining(bool draining, std::uint32_t frames, std::uint32_t from, std::uint32_t to) {
    return frames > (draining ? to : from);
}

// As BacklogToLetGo, a backlog going from letGoFromMs on.
std::uint32_t LetGoFrom(BacklogWatch& watch, std::uint32_t backlog, std::optional<std::uint32_t> peer,
                        std::uint32_t rate, std::uint32_t letGoFromMs) {
    const std::uint32_t beyondPeer = peer ? backlog - std::min(backlog, *peer) : 0;
    watch.lettingGo = Draining(watch.lettingGo, backlog, FramesIn(rate, letGoFromMs), FramesIn(rate, kLetGoToMs));
    watch.closingUp = Draining(watch.closingUp, beyondPeer, FramesIn(rate, kCloseUpFromMs), FramesIn(rate, kLetGoToMs));
    return watch.lettingGo ? backlog : watch.closingUp ? beyondPeer : 0;
}

// Notes a settled second's shortfall below the reserve; 0 for one that ran
// throughout above it, or did not run throughout.
void NoteShortfall(BacklogWatch& watch, std::size_t shortfall) {
    watch.shortfalls[watch.shortIndex] = shortfall;
    watch.shortIndex = (watch.shortIndex + 1) % watch.shortfalls.size();
}

std::int32_t ClampedSigned(std::size_t frames) {
    return std::int32_t(std::min<std::size_t>(frames, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

std::optional<std::uint32_t> WatchBacklog(BacklogWatch& watch, bool running, std::size_t heldFrames,
                                          std::size_t reserveFrames) {
    if (running) {
        watch.lowest = std::min(watch.lowest, heldFrames);
        ++watch.runningBlocks;
    }
    if (++watch.blocks < kBlocksPerAccount) {
        return std::nullopt;
    }
    const std::size_t lowest = watch.lowest;
    const bool whole = watch.runningBlocks == watch.blocks;
    watch.lowest = SIZE_MAX;
    watch.blocks = 0;
    watch.runningBlocks = 0;
    if (lowest == SIZE_MAX) {
        return std::nullopt;  // silent all second: nothing queues
    }
    const std::size_t beyond = lowest > reserveFrames ? lowest - reserveFrames : 0;
    watch.beyond = beyond;
    if (watch.wholeSeconds < kSettlingSeconds) {
        if (whole) {
            watch.usual = std::max(watch.usual, beyond);
            ++watch.wholeSeconds;
        }
        return std::nullopt;
    }
    NoteShortfall(watch, whole && lowest < reserveFrames ? reserveFrames - lowest : 0);
    const std::size_t backlog = beyond > watch.usual ? beyond - watch.usual : 0;
    return std::uint32_t(ClampedSigned(backlog));  // the device's account is signed
}

std::uint32_t BacklogToLetGo(BacklogWatch& watch, std::uint32_t backlog, std::optional<std::uint32_t> peer,
                             std::uint32_t rate) {
    return LetGoFrom(watch, backlog, peer, rate, kLetGoFromMs);
}

std::int32_t SurplusToTell(BacklogWatch& watch, std::uint32_t rate, bool keepCover) {
    // A lump that the first deliveries brought is latency like any other: a
    // server that hands a new stream 60 ms at once would otherwise leave the
    // run that much behind to its end.
    const auto backlog = std::uint32_t(ClampedSigned(watch.beyond));
    const std::uint32_t from = keepCover ? kLetGoFromMs : kSettledLetGoFromMs;
    const std::uint32_t letGo = LetGoFrom(watch, backlog, std::nullopt, rate, from);
    const std::int32_t lacking = ClampedSigned(*std::min_element(watch.shortfalls.begin(), watch.shortfalls.end()));
    watch.buildingUp = Draining(watch.buildingUp, std::uint32_t(lacking), FramesIn(rate, kBuildUpFromMs),
                                FramesIn(rate, kLetGoToMs));
    if (letGo > 0) {
        return std::int32_t(letGo);
    }
    return watch.buildingUp ? -lacking : 0;
}

std::size_t HeldOnPace(std::size_t heldFrames, std::uint64_t newestHostTime, std::uint32_t rate,
                       std::chrono::steady_clock::time_point now) {
    const auto nowNs = std::uint64_t(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count());
    if (newestHostTime == 0 || nowNs <= newestHostTime) {
        return heldFrames;
    }
    const std::uint64_t since = std::min(nowNs - newestHostTime, kPaceSpanNs);
    return heldFrames + std::size_t(std::uint64_t(rate) * since / 1'000'000'000u);
}

std::size_t HeldOnPace(const CaptureStream& stream, std::size_t queuedFrames, std::uint32_t rate) {
    // The ring before the time, as the callback writes them the other way round.
    const std::size_t held = queuedFrames + stream.ring.filled() / sizeof(StereoFrame);
    return HeldOnPace(held, stream.newestHostTime.load(std::memory_order_acquire), rate,
                      std::chrono::steady_clock::now());
}

void TellBacklog(const CaptureStream& stream, std::int32_t frames) {
    if (stream.device == kAudioObjectUnknown) {
        return;
    }
    const AudioObjectPropertyAddress address{kQuorbelDevicePropertyConsumerBacklog, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    AudioObjectSetPropertyData(stream.device, &address, 0, nullptr, sizeof frames, &frames);
}

}  // namespace quorbel
