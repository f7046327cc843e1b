// Builds an arbitrary stream format and buffer list from the input and runs
// the IO callback on it. Each buffer is its own allocation of exactly its
// valid bytes, so any read outside them is caught by AddressSanitizer.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "capture/Capture.h"
#include "realtime/Realtime.h"

namespace {

using namespace quorbel;

// Takes bytes from the front of the input; zeros once it runs out.
struct Input {
    const std::uint8_t* data;
    std::size_t size;

    template <typename T>
    T take() {
        T value{};
        const std::size_t n = std::min(sizeof value, size);
        std::memcpy(&value, data, n);
        data += n;
        size -= n;
        return value;
    }
};

AudioStreamBasicDescription TakeFormat(Input& in) {
    AudioStreamBasicDescription format{};
    const auto shape = in.take<std::uint8_t>();
    format.mSampleRate = 48000;
    format.mFormatID = (shape & 0x80) != 0 ? FourCharCode("aac ") : kAudioFormatLinearPCM;
    format.mFormatFlags = in.take<std::uint8_t>();  // float, big-endian, signed, packed, non-interleaved ...
    format.mBitsPerChannel = in.take<std::uint8_t>();
    format.mChannelsPerFrame = in.take<std::uint8_t>() % 12;
    format.mBytesPerFrame = in.take<std::uint16_t>() % 512;
    if ((shape & 0x40) != 0) {
        format.mBitsPerChannel = 0xFFFFFFFFu - format.mBitsPerChannel;  // absurd widths too
    }
    return format;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto* stream = [] {
        auto* fresh = new CaptureStream;
        ResetCaptureStream(*fresh);
        return fresh;
    }();
    Input in{data, size};
    stream->format = TakeFormat(in);
    const unsigned count = in.take<std::uint8_t>() % 9;
    const bool nullList = count == 8;

    std::vector<std::unique_ptr<std::uint8_t[]>> owned;
    std::vector<std::uint8_t> storage(offsetof(AudioBufferList, mBuffers) + (count + 1) * sizeof(AudioBuffer));
    auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
    list->mNumberBuffers = count;
    for (unsigned i = 0; i < count; ++i) {
        const auto bytes = std::uint32_t(in.take<std::uint16_t>() % 4096);
        const bool isNull = (in.take<std::uint8_t>() & 1) != 0;
        AudioBuffer buffer{1, isNull ? std::min<std::uint32_t>(bytes, 64) : bytes, nullptr};
        if (!isNull) {
            owned.emplace_back(new std::uint8_t[bytes == 0 ? 1 : bytes]);
            for (std::uint32_t b = 0; b < bytes; ++b) {
                owned.back()[b] = in.size > 0 ? in.data[b % in.size] : std::uint8_t(b);
            }
            buffer.mData = owned.back().get();
        }
        std::memcpy(storage.data() + offsetof(AudioBufferList, mBuffers) + i * sizeof(AudioBuffer), &buffer,
                    sizeof buffer);
    }
    const std::uint64_t before = stream->ring.writePos.load();
    const std::uint64_t dropsBefore = stream->drops.load();
    CaptureIOProc(0, nullptr, nullList ? nullptr : list, nullptr, nullptr, nullptr, stream);
    const std::uint64_t added = stream->ring.writePos.load() - before;
    // One whole block of at most 16384 frames, or one counted drop, or nothing.
    if (added % 4 != 0 || added > kMaxFramesPerCallback * 4 ||
        (added != 0 && stream->drops.load() != dropsBefore)) {
        __builtin_trap();
    }
    // Keep the ring from filling for good: empty it now and then.
    if (stream->ring.writePos.load() - stream->ring.readPos.load() > kRingCapacity / 2) {
        static std::uint8_t sink[65536];
        while (stream->ring.take(sink, sizeof sink) != 0) {
        }
    }
    return 0;
}
