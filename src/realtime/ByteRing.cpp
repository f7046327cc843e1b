// Real-time path: no allocation, no lock, no system call. Each operation is
// at most two copies, the second one only when the data wraps.
#include <algorithm>
#include <cstring>

#include "realtime/Realtime.h"

namespace quorbel {

bool ByteRing::append(const void* block, std::size_t n) {
    const std::uint64_t w = writePos.load(std::memory_order_relaxed);
    const std::uint64_t r = readPos.load(std::memory_order_acquire);
    const std::uint64_t space = r - w + kRingCapacity;
    if (space < n) {
        return false;
    }
    const std::size_t offset = std::size_t(w & kRingMask);
    const std::size_t head = std::min(n, kRingCapacity - offset);
    const auto* source = static_cast<const std::uint8_t*>(block);
    std::memcpy(bytes + offset, source, head);
    if (n > head) {
        std::memcpy(bytes, source + head, n - head);
    }
    writePos.store(w + n, std::memory_order_release);
    return true;
}

std::size_t ByteRing::peek(void* destination, std::size_t n) const {
    const std::uint64_t r = readPos.load(std::memory_order_relaxed);
    const std::uint64_t w = writePos.load(std::memory_order_acquire);
    const std::size_t count = std::size_t(std::min<std::uint64_t>(w - r, n));
    if (count == 0) {
        return 0;
    }
    const std::size_t offset = std::size_t(r & kRingMask);
    const std::size_t head = std::min(count, kRingCapacity - offset);
    auto* target = static_cast<std::uint8_t*>(destination);
    std::memcpy(target, bytes + offset, head);
    if (count > head) {
        std::memcpy(target + head, bytes, count - head);
    }
    return count;
}

std::size_t ByteRing::take(void* destination, std::size_t n) {
    const std::size_t count = peek(destination, n);
    // Only this thread moves readPos, so the bytes copied are the ones released here.
    readPos.store(readPos.load(std::memory_order_relaxed) + count, std::memory_order_release);
    return count;
}

std::size_t ByteRing::filled() const {
    return std::size_t(writePos.load(std::memory_order_acquire) - readPos.load(std::memory_order_relaxed));
}

void ResetCaptureStream(CaptureStream& stream) {
    stream.format = {};
    stream.device = kAudioObjectUnknown;
    std::memset(stream.ring.bytes, 0, sizeof stream.ring.bytes);
    stream.ring.readPos.store(0, std::memory_order_relaxed);
    stream.ring.writePos.store(0, std::memory_order_relaxed);
    stream.drops.store(0, std::memory_order_relaxed);
    stream.newestHostTime.store(0, std::memory_order_relaxed);
    std::memset(stream.scratch, 0, sizeof stream.scratch);
}

}  // namespace quorbel
