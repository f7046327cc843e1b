// Runs on the platform's real-time audio thread: no allocation, no lock, no
// system call, no output. Whatever it cannot use it ignores; a block that
// does not fit in the ring is dropped whole and counted.
#include <algorithm>

#include "capture/Capture.h"
#include "realtime/Realtime.h"

namespace quorbel {
namespace {

// 1.5 * 2^23: adding it leaves no fraction bits, so the addition rounds to
// an integer in the current mode (to nearest, ties to even), and taking it
// away again is exact. Valid for |y| < 2^22; ours stays within 32767.
constexpr float kRoundingBias = 12582912.0f;

// Clamp to full scale (a NaN fails the first test and becomes 1.0), scale,
// and round to the nearest integer, ties to even, without a library call.
std::int16_t ToInt16(float x) {
    const float a = x < 1.0f ? x : 1.0f;
    const float b = a > -1.0f ? a : -1.0f;
    const float y = b * 32767.0f;
    return std::int16_t((y + kRoundingBias) - kRoundingBias);
}

}  // namespace

OSStatus CaptureIOProc(AudioObjectID, const AudioTimeStamp* now, const AudioBufferList* inputData,
                       const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void* clientData) {
    auto* stream = static_cast<CaptureStream*>(clientData);
    if (stream == nullptr || inputData == nullptr || inputData->mNumberBuffers == 0) {
        return 0;
    }
    if (gStopRequested.load(std::memory_order_relaxed)) {
        return 0;
    }
    const AudioStreamBasicDescription& format = stream->format;
    if (format.mFormatID != kAudioFormatLinearPCM || format.mBytesPerFrame == 0) {
        return 0;
    }
    const std::uint32_t frames = inputData->mBuffers[0].mDataByteSize / format.mBytesPerFrame;
    if (frames == 0) {
        return 0;
    }
    const std::size_t n = std::min<std::size_t>(frames, kMaxFramesPerCallback);
    const bool stereo = format.mChannelsPerFrame >= 2;
    for (std::size_t i = 0; i < n; ++i) {
        const float left = ReadSample(inputData, format, i, 0);
        const float right = stereo ? ReadSample(inputData, format, i, 1) : left;
        stream->scratch[i] = {ToInt16(left), ToInt16(right)};
    }
    if (!stream->ring.append(stream->scratch, n * sizeof(StereoFrame))) {
        stream->drops.fetch_add(1, std::memory_order_relaxed);
    } else if (now != nullptr && (now->mFlags & kAudioTimeStampHostTimeValid) != 0) {
        stream->newestHostTime.store(now->mHostTime, std::memory_order_release);
    }
    return 0;
}

}  // namespace quorbel
