// What runs on the platform's audio threads: the per-source record with its
// byte ring, sample decoding and the IO callback. Nothing here allocates,
// locks, blocks, prints or throws.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/CoreAudioTypes.h"

namespace quorbel {

inline constexpr std::size_t kRingCapacity = 2'097'152;  // a power of two, so an index is a mask
inline constexpr std::size_t kRingMask = kRingCapacity - 1;
inline constexpr std::size_t kMaxFramesPerCallback = 16384;

// One frame of the PCM stream: left then right, in host (little-endian) order.
struct StereoFrame {
    std::int16_t left;
    std::int16_t right;
};
static_assert(sizeof(StereoFrame) == 4);

// Single-producer single-consumer byte queue. readPos and writePos count the
// bytes taken and stored since the record was zeroed; they never wrap, only
// the index into bytes is masked. Each side publishes its position with
// release after its copies and reads the other's with acquire.
struct ByteRing {
    std::uint8_t bytes[kRingCapacity];
    alignas(64) std::atomic<std::uint64_t> readPos;   // written by the consumer only
    alignas(64) std::atomic<std::uint64_t> writePos;  // written by the producer only

    // Audio thread only. Stores all n bytes, or nothing when they do not fit.
    bool append(const void* block, std::size_t n);
    // Main thread only. Moves the oldest min(fill, n) bytes out; returns that count.
    std::size_t take(void* destination, std::size_t n);
    // Main thread only. Copies the oldest min(fill, n) bytes out and leaves them queued; returns that count.
    std::size_t peek(void* destination, std::size_t n) const;
    // Main thread only. The bytes waiting to be taken (more may come meanwhile).
    std::size_t filled() const;
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// Everything one source's IO callback and the main thread share.
struct CaptureStream {
    AudioStreamBasicDescription format;  // written before the callback is registered, read-only after
    AudioObjectID device;                // whose IO proc fills the ring; main thread only
    ByteRing ring;
    std::atomic<std::uint64_t> drops;    // blocks the ring had no room for
    // When the newest frames in the ring came, in host time (steady clock
    // nanoseconds); 0 while unknown. The callback writes it after storing
    // them and the pumps read the ring first, so a delivery in between can
    // make a queue look lower than it is, never higher.
    std::atomic<std::uint64_t> newestHostTime;
    StereoFrame scratch[kMaxFramesPerCallback];  // the callback's own staging area
};

// Main thread only, before any callback is registered with the record.
void ResetCaptureStream(CaptureStream& stream);

// One sample of a buffer list on the scale -1.0 .. 1.0; 0.0 for whatever
// cannot or may not be read.
float ReadSample(const AudioBufferList* list, const AudioStreamBasicDescription& format, std::size_t frame,
                 std::size_t channel);

// The IO callback registered on every source; clientData is its CaptureStream.
OSStatus CaptureIOProc(AudioObjectID device, const AudioTimeStamp* now, const AudioBufferList* inputData,
                       const AudioTimeStamp* inputTime, AudioBufferList* outputData,
                       const AudioTimeStamp* outputTime, void* clientData);

}  // namespace quorbel
