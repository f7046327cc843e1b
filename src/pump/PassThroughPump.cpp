// Pass-through: the system source's frames go out unchanged at its own rate.
// Pacing is by absolute deadline: it moves by exactly one period per block
// and is never reset, so after a stall the missed blocks follow at once, and
// so do the blocks after one that waited out a late fragment.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "capture/Capture.h"
#include "pump/Pump.h"

namespace quorbel {
namespace {

// Takes more of the block after short naps until it is whole, the grace is
// over or a stop is requested.
std::size_t TakeWithGrace(ByteRing& ring, std::vector<std::uint8_t>& block, std::size_t count, GraceWindow grace) {
    while (count < block.size() && NapWithinGrace(grace)) {
        count += ring.take(block.data() + count, block.size() - count);
    }
    return count;
}

// Silence fills what the audio does not. A source that is just starting gets
// it first, so that the audio ends at the block's end and what follows
// continues it; after a fragment later than the grace the audio stays first.
void PadBlock(std::vector<std::uint8_t>& block, std::size_t count, bool silenceFirst) {
    const std::size_t missing = block.size() - count;
    if (silenceFirst && count > 0) {
        std::memmove(block.data() + missing, block.data(), count);
        std::memset(block.data(), 0, missing);
    } else {
        std::memset(block.data() + count, 0, missing);
    }
}

// A source that is just starting: all it has but the reserve goes at the
// end of the block, after silence, so that what follows continues it. With
// no more than the reserve, the block is silence and the source is still starting.
bool StartBlock(ByteRing& ring, std::vector<std::uint8_t>& block, std::size_t reserveBytes) {
    const std::size_t filled = ring.filled();
    const std::size_t wanted = filled > reserveBytes ? std::min(filled - reserveBytes, block.size()) : 0;
    const std::size_t count = ring.take(block.data(), wanted);
    PadBlock(block, count, true);
    return count > 0;
}

// Fills the next block. Only a source whose audio ran to the end of the
// previous block is waited for, even with nothing queued: a server's cycle
// can end a fragment exactly at a block's end and bring the next one a few
// milliseconds late. A source that stopped costs that wait once; after the
// padded block it is starting again, and a starting source is written at
// once. True when this block ends in audio.
bool FillBlock(ByteRing& ring, std::vector<std::uint8_t>& block, bool running, GraceWindow grace,
               StartReserve& reserve) {
    const std::size_t startWith = ReserveToStartWith(reserve);
    bool endsInAudio = false;
    if (running) {
        const std::size_t count = TakeWithGrace(ring, block, ring.take(block.data(), block.size()), grace);
        PadBlock(block, count, false);
        endsInAudio = count == block.size();
    } else {
        endsInAudio = StartBlock(ring, block, KeptBackAtStart(reserve) * sizeof(StereoFrame));
    }
    NoteBlock(reserve, running, endsInAudio, startWith);
    return endsInAudio;
}

}  // namespace

std::uint32_t RoundedRate(double sampleRate) {
    if (!std::isfinite(sampleRate) || sampleRate < 0.5 || sampleRate >= 4294967295.5) {
        return 0;
    }
    return std::uint32_t(std::llround(sampleRate));
}

BlockGeometry PassThroughGeometry(std::uint32_t rate) {
    const std::uint32_t frames = std::max<std::uint32_t>(rate / 50, 1);
    // A capture run never passes 0; treat it as 1 rather than divide by it.
    const std::uint64_t periodNs = std::uint64_t(frames) * 1'000'000'000ull / std::max<std::uint32_t>(rate, 1);
    return {frames, std::size_t(frames) * sizeof(StereoFrame), periodNs};
}

void PassThroughPump(CaptureStream& systemStream, std::uint32_t rate) {
    const BlockGeometry geometry = PassThroughGeometry(rate);
    const std::chrono::nanoseconds period(geometry.periodNs);
    const std::chrono::nanoseconds grace = LateFragmentGrace(period);
    StartReserve reserve = StartReserveAt(rate);
    std::vector<std::uint8_t> block(geometry.bytes, 0);
    bool running = false;
    BacklogWatch backlog;
    auto deadline = std::chrono::steady_clock::now();
    auto woke = deadline;
    if (gStopRequested.load(std::memory_order_relaxed)) {
        return;
    }
    for (;;) {
        running = FillBlock(systemStream.ring, block, running, GraceFor(deadline, woke, grace), reserve);
        // A stop during the grace ends here too: nothing is written once it is set.
        if (!WriteBlock(block.data(), block.size())) {
            return;
        }
        // Told after the write, in the time left before the next deadline.
        if (WatchBacklog(backlog, running, HeldOnPace(systemStream, 0, rate), reserve.frames)) {
            TellBacklog(systemStream, SurplusToTell(backlog, rate, HeldUpLately(reserve)));
        }
        deadline += period;
        woke = SleepUntil(deadline, woke);
        if (gStopRequested.load(std::memory_order_relaxed)) {
            return;
        }
    }
}

}  // namespace quorbel
