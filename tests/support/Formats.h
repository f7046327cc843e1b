// Stream formats for tests.
#pragma once

#include "platform/CoreAudioTypes.h"

namespace quorbel::test {

// Packed linear PCM; mBytesPerFrame as an interleaved frame of channels samples.
inline AudioStreamBasicDescription LinearPcm(AudioFormatFlags flags, std::uint32_t bits, std::uint32_t channels,
                                             double rate = 48000) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = flags;
    format.mBitsPerChannel = bits;
    format.mChannelsPerFrame = channels;
    format.mBytesPerFrame = channels * (bits / 8);
    format.mBytesPerPacket = format.mBytesPerFrame;
    format.mFramesPerPacket = 1;
    return format;
}

}  // namespace quorbel::test
