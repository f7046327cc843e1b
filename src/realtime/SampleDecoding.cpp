// Real-time path: a pure function of its arguments. Samples may start at any
// byte, so they are assembled from single bytes, always little-endian (the
// big-endian flag is not consulted).
#include <algorithm>
#include <bit>

#include "realtime/Realtime.h"

namespace quorbel {
namespace {

template <std::size_t Width>
std::uint64_t LoadLittleEndian(const std::uint8_t* p) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < Width; ++i) {
        value |= std::uint64_t(p[i]) << (8 * i);
    }
    return value;
}

// Buffers past the first are reached through a pointer: the list is longer
// than its declared one-element array.
const AudioBuffer& BufferAt(const AudioBufferList* list, std::size_t index) {
    const AudioBuffer* buffers = list->mBuffers;
    return buffers[index];
}

float DecodeFloat(const std::uint8_t* p, std::uint32_t bits) {
    if (bits == 64) {
        return float(std::bit_cast<double>(LoadLittleEndian<8>(p)));
    }
    return std::bit_cast<float>(std::uint32_t(LoadLittleEndian<4>(p)));
}

float DecodeSignedInteger(const std::uint8_t* p, std::uint32_t bits) {
    switch (bits) {
        case 32:
            return float(std::int32_t(std::uint32_t(LoadLittleEndian<4>(p)))) * 0x1p-31f;
        case 24:
            // Shift bit 23 to the top, then back, to extend the sign.
            return float(std::int32_t(std::uint32_t(LoadLittleEndian<3>(p)) << 8) >> 8) * 0x1p-23f;
        case 16:
            return float(std::int16_t(std::uint16_t(LoadLittleEndian<2>(p)))) * 0x1p-15f;
        default:
            return 0.0f;
    }
}

}  // namespace

float ReadSample(const AudioBufferList* list, const AudioStreamBasicDescription& format, std::size_t frame,
                 std::size_t channel) {
    const std::uint32_t numberBuffers = list->mNumberBuffers;
    if (numberBuffers == 0) {
        return 0.0f;
    }
    const std::uint64_t channels = format.mChannelsPerFrame == 0 ? 1 : format.mChannelsPerFrame;
    const bool nonInterleaved = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
    const AudioBuffer& buffer =
        BufferAt(list, nonInterleaved ? std::min<std::size_t>(channel, numberBuffers - 1) : 0);
    if (buffer.mData == nullptr) {
        return 0.0f;
    }
    const std::uint32_t bits = format.mBitsPerChannel;
    const std::uint64_t width = bits / 8 == 0 ? 1 : bits / 8;
    const std::uint64_t index =
        nonInterleaved ? frame : frame * channels + std::min<std::uint64_t>(channel, channels - 1);
    const std::uint64_t offset = index * width;
    if (offset + width > buffer.mDataByteSize) {
        return 0.0f;
    }
    const auto* sample = static_cast<const std::uint8_t*>(buffer.mData) + offset;
    if ((format.mFormatFlags & kAudioFormatFlagIsFloat) != 0 && (bits == 64 || bits == 32)) {
        return DecodeFloat(sample, bits);
    }
    if ((format.mFormatFlags & kAudioFormatFlagIsSignedInteger) == 0) {
        return 0.0f;
    }
    return DecodeSignedInteger(sample, bits);
}

}  // namespace quorbel
