#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "realtime/Realtime.h"

namespace quorbel {
namespace {

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t first) {
    std::vector<std::uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

class ByteRingTest : public ::testing::Test {
protected:
    std::unique_ptr<ByteRing> ring = std::make_unique<ByteRing>();  // zeroed, as a fresh record

    std::uint64_t fill() const { return ring->writePos.load() - ring->readPos.load(); }
};

TEST_F(ByteRingTest, AFreshRingIsEmptyAndTakesAFrame) {
    std::uint8_t out[8];
    EXPECT_EQ(ring->take(out, sizeof out), 0u);
    EXPECT_EQ(ring->readPos.load(), 0u);
    const auto frame = Bytes(4, 1);
    EXPECT_TRUE(ring->append(frame.data(), 4));
    EXPECT_EQ(fill(), 4u);
}

TEST_F(ByteRingTest, AnExactlyFullRingRejectsTheNextBlockUnchanged) {
    const auto big = Bytes(kRingCapacity - 4, 0);
    ASSERT_TRUE(ring->append(big.data(), big.size()));
    const auto last = Bytes(4, 7);
    ASSERT_TRUE(ring->append(last.data(), 4));  // exactly the free space
    EXPECT_EQ(fill(), kRingCapacity);

    const auto extra = Bytes(4, 99);
    EXPECT_FALSE(ring->append(extra.data(), 4));
    EXPECT_EQ(ring->writePos.load(), kRingCapacity);
    EXPECT_EQ(std::memcmp(ring->bytes + kRingCapacity - 4, last.data(), 4), 0);
    EXPECT_EQ(ring->bytes[0], 0);

    // Taking one frame makes room for exactly one frame.
    std::uint8_t out[4];
    EXPECT_EQ(ring->take(out, 4), 4u);
    EXPECT_TRUE(ring->append(extra.data(), 4));
    EXPECT_FALSE(ring->append(extra.data(), 4));
}

TEST_F(ByteRingTest, ABlockThatDoesNotFitIsNotSplit) {
    const auto big = Bytes(kRingCapacity - 8, 0);
    ASSERT_TRUE(ring->append(big.data(), big.size()));
    const auto block = Bytes(12, 0);
    EXPECT_FALSE(ring->append(block.data(), block.size()));
    EXPECT_EQ(fill(), kRingCapacity - 8);
}

TEST_F(ByteRingTest, AppendAndTakeWrapAroundTheEnd) {
    ring->readPos.store(2'097'144);
    ring->writePos.store(2'097'144);
    const auto block = Bytes(16, 1);
    ASSERT_TRUE(ring->append(block.data(), 16));
    EXPECT_EQ(std::memcmp(ring->bytes + kRingCapacity - 8, block.data(), 8), 0);
    EXPECT_EQ(std::memcmp(ring->bytes, block.data() + 8, 8), 0);
    std::uint8_t out[16];
    // A look across the end leaves every byte queued.
    ASSERT_EQ(ring->peek(out, 16), 16u);
    EXPECT_EQ(std::memcmp(out, block.data(), 16), 0);
    EXPECT_EQ(ring->filled(), 16u);
    std::fill(std::begin(out), std::end(out), 0);
    ASSERT_EQ(ring->take(out, 16), 16u);
    EXPECT_EQ(std::memcmp(out, block.data(), 16), 0);
    EXPECT_EQ(ring->readPos.load(), 2'097'160u);
}

TEST_F(ByteRingTest, TakesReturnAtMostTheFillInOrder) {
    const auto block = Bytes(40, 0);
    ASSERT_TRUE(ring->append(block.data(), 40));
    std::uint8_t out[64] = {};
    EXPECT_EQ(ring->take(out, 12), 12u);
    EXPECT_EQ(std::memcmp(out, block.data(), 12), 0);
    EXPECT_EQ(ring->take(out, 64), 28u);
    EXPECT_EQ(std::memcmp(out, block.data() + 12, 28), 0);
    EXPECT_EQ(ring->take(out, 64), 0u);
    EXPECT_EQ(ring->readPos.load(), 40u);
}

TEST_F(ByteRingTest, PositionsKeepGrowingPastTheCapacity) {
    std::vector<std::uint8_t> block(65536), out(65536);
    for (int round = 0; round < 100; ++round) {
        std::iota(block.begin(), block.end(), std::uint8_t(round));
        ASSERT_TRUE(ring->append(block.data(), block.size()));
        ASSERT_EQ(ring->take(out.data(), out.size()), out.size());
        ASSERT_EQ(out, block);
    }
    EXPECT_EQ(ring->writePos.load(), 100u * 65536u);
    EXPECT_EQ(ring->readPos.load(), 100u * 65536u);
}

TEST_F(ByteRingTest, ResettingTheRecordEmptiesTheRingAndTheDropCount) {
    auto stream = std::make_unique<CaptureStream>();
    const auto block = Bytes(64, 1);
    stream->ring.append(block.data(), block.size());
    stream->drops.store(5);
    stream->format.mSampleRate = 48000;
    ResetCaptureStream(*stream);
    EXPECT_EQ(stream->ring.readPos.load(), 0u);
    EXPECT_EQ(stream->ring.writePos.load(), 0u);
    EXPECT_EQ(stream->drops.load(), 0u);
    EXPECT_EQ(stream->format.mSampleRate, 0.0);
    EXPECT_EQ(stream->ring.bytes[0], 0);
}

// One producer appends blocks of whole frames, each frame a running counter;
// one consumer takes arbitrary whole-frame amounts and checks the counters.
// A gap in the sequence is allowed exactly where the producer saw a drop.
TEST(ByteRingStress, TwoThreadsKeepTheSequenceIntact) {
    auto ring = std::make_unique<ByteRing>();
    constexpr std::uint32_t kFrames = 6'000'000;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> dropped;  // first counter, count
    std::atomic<bool> done{false};

    std::thread producer([&] {
        std::mt19937 random(1);
        std::vector<std::uint32_t> block(kMaxFramesPerCallback);
        std::uint32_t next = 1;
        while (next <= kFrames) {
            const std::uint32_t count = std::min<std::uint32_t>(1 + random() % 4096, kFrames - next + 1);
            for (std::uint32_t i = 0; i < count; ++i) {
                block[i] = next + i;
            }
            if (!ring->append(block.data(), count * 4)) {
                if (!dropped.empty() && dropped.back().first + dropped.back().second == next) {
                    dropped.back().second += count;  // adjacent drops leave one gap
                } else {
                    dropped.emplace_back(next, count);
                }
            }
            next += count;
        }
        done.store(true);
    });

    std::vector<std::pair<std::uint32_t, std::uint32_t>> gaps;
    std::mt19937 random(2);
    std::vector<std::uint32_t> out(8192);
    std::uint32_t expected = 1;
    bool finished = false;
    while (!finished) {
        finished = done.load();  // after done, one more pass drains what is left
        for (;;) {
            const std::size_t n = ring->take(out.data(), (1 + random() % out.size()) * 4);
            if (n == 0) {
                break;
            }
            ASSERT_EQ(n % 4, 0u);
            for (std::size_t i = 0; i < n / 4; ++i) {
                ASSERT_GE(out[i], expected);
                if (out[i] != expected) {
                    gaps.emplace_back(expected, out[i] - expected);
                }
                expected = out[i] + 1;
            }
            if (random() % 64 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));  // fall behind now and then
            }
        }
    }
    producer.join();
    if (expected != kFrames + 1) {
        gaps.emplace_back(expected, kFrames + 1 - expected);  // the tail was dropped
    }
    EXPECT_EQ(gaps, dropped);
    EXPECT_EQ(ring->writePos.load(), ring->readPos.load());
}

}  // namespace
}  // namespace quorbel
