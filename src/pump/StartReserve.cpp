// What a lone source keeps back when it starts again, and for how long a
// hold-up is remembered.
#include <algorithm>

#include "pump/Pump.h"

namespace quorbel {
namespace {

constexpr std::chrono::nanoseconds kReserveStep{10'000'000};
constexpr std::chrono::nanoseconds kMostReserve{30'000'000};
// Starting again within this many blocks of running dry is a hold-up; a
// longer quiet is a source that stopped, or a stall no reserve would cover.
constexpr std::uint32_t kHeldUpBlocks = 3;
// A minute of 20 ms blocks, the source running throughout: the server has
// settled down, and what covered its hold-ups is latency the run gives back.
constexpr std::uint32_t kSettledBlocks = 3000;

}  // namespace

StartReserve StartReserveAt(std::uint32_t rate) {
    const std::size_t base = StartReserveFrames(rate);
    return {base, base, StartReserveFrames(rate, kReserveStep), StartReserveFrames(rate, kMostReserve),
            StartReserveFrames(rate, kFirstStartSlack)};
}

std::size_t ReserveToStartWith(const StartReserve& reserve) {
    const bool heldUp = reserve.dryBlocks < kHeldUpBlocks;
    return heldUp ? std::min(reserve.frames + reserve.stepFrames, reserve.mostFrames) : reserve.frames;
}

std::size_t KeptBackAtStart(const StartReserve& reserve) {
    const std::size_t frames = ReserveToStartWith(reserve);
    return frames - std::min(reserve.slackFrames, frames);
}

void NoteBlock(StartReserve& reserve, bool wasRunning, bool running, std::size_t startedWith) {
    if (wasRunning && !running) {
        reserve.dryBlocks = 0;
        reserve.quietBlocks = 0;
    } else if (!wasRunning && running) {
        reserve.frames = startedWith;
        reserve.slackFrames = 0;
        reserve.dryBlocks = StartReserve::kNotDry;
    } else if (!running && reserve.dryBlocks != StartReserve::kNotDry) {
        ++reserve.dryBlocks;
    }
    if (running && reserve.quietBlocks < UINT32_MAX) {
        ++reserve.quietBlocks;
        if (reserve.quietBlocks % kSettledBlocks == 0) {
            reserve.frames -= std::min(reserve.stepFrames, reserve.frames - reserve.baseFrames);
        }
    }
}

bool HeldUpLately(const StartReserve& reserve) { return reserve.quietBlocks < kSettledBlocks; }

}  // namespace quorbel
