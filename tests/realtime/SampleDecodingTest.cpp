#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "realtime/Realtime.h"
#include "support/Formats.h"

namespace quorbel {
namespace {

using test::LinearPcm;

constexpr AudioFormatFlags kInt = kAudioFormatFlagIsSignedInteger;
constexpr AudioFormatFlags kFloat = kAudioFormatFlagIsFloat;
constexpr AudioFormatFlags kPlanar = kAudioFormatFlagIsNonInterleaved;

// A buffer list with any number of buffers over byte vectors the test owns.
struct Buffers {
    std::vector<std::vector<std::uint8_t>> data;
    std::vector<std::uint8_t> storage;

    explicit Buffers(std::vector<std::vector<std::uint8_t>> buffers) : data(std::move(buffers)) {
        const std::size_t n = data.size();
        storage.resize(offsetof(AudioBufferList, mBuffers) + std::max<std::size_t>(n, 1) * sizeof(AudioBuffer));
        list()->mNumberBuffers = std::uint32_t(n);
        for (std::size_t i = 0; i < n; ++i) {
            AudioBuffer buffer{1, std::uint32_t(data[i].size()), data[i].empty() ? nullptr : data[i].data()};
            std::memcpy(storage.data() + offsetof(AudioBufferList, mBuffers) + i * sizeof(AudioBuffer), &buffer,
                        sizeof buffer);
        }
    }
    AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(storage.data()); }
};

template <typename T>
std::vector<std::uint8_t> Raw(std::initializer_list<T> values) {
    std::vector<std::uint8_t> bytes(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.begin(), bytes.size());
    return bytes;
}

float One(std::vector<std::uint8_t> bytes, AudioStreamBasicDescription format, std::size_t frame = 0,
          std::size_t channel = 0) {
    Buffers buffers({std::move(bytes)});
    return ReadSample(buffers.list(), format, frame, channel);
}

TEST(ReadSample, SixteenBitIntegers) {
    const auto format = LinearPcm(kInt, 16, 1);
    EXPECT_EQ(One(Raw<std::int16_t>({-32768}), format), -1.0f);
    EXPECT_EQ(One(Raw<std::int16_t>({32767}), format), 0.999969482421875f);
    EXPECT_EQ(One(Raw<std::int16_t>({16384}), format), 0.5f);
}

TEST(ReadSample, TwentyFourBitIntegersAreSignExtended) {
    const auto format = LinearPcm(kInt, 24, 1);
    EXPECT_EQ(One({0x00, 0x00, 0x80}, format), -1.0f);
    EXPECT_EQ(One({0xFF, 0xFF, 0x7F}, format), 8388607.0f / 8388608.0f);
    EXPECT_EQ(One({0x00, 0x00, 0x40}, format), 0.5f);
    EXPECT_EQ(One({0xFF, 0xFF, 0xFF}, format), -1.0f / 8388608.0f);
    // The second sample starts at an odd address.
    EXPECT_EQ(One({0, 0, 0, 0x00, 0x00, 0x40}, format, 1), 0.5f);
}

TEST(ReadSample, ThirtyTwoBitIntegersRoundToFloatFirst) {
    const auto format = LinearPcm(kInt, 32, 1);
    EXPECT_EQ(One(Raw<std::int32_t>({2147483647}), format), 1.0f);
    EXPECT_EQ(One(Raw<std::int32_t>({-2147483647 - 1}), format), -1.0f);
    EXPECT_EQ(One(Raw<std::int32_t>({65536}), format), 0x1p-15f);
}

TEST(ReadSample, FloatsAreReturnedUnclamped) {
    const auto single = LinearPcm(kFloat, 32, 1);
    EXPECT_EQ(One(Raw<float>({1.5f}), single), 1.5f);
    EXPECT_TRUE(std::isnan(One(Raw<float>({std::numeric_limits<float>::quiet_NaN()}), single)));
    EXPECT_TRUE(std::signbit(One(Raw<float>({-0.0f}), single)));

    const auto wide = LinearPcm(kFloat, 64, 1);
    EXPECT_EQ(One(Raw<double>({1e300}), wide), std::numeric_limits<float>::infinity());
    EXPECT_EQ(One(Raw<double>({-1e300}), wide), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(One(Raw<double>({0.1}), wide), 0.1f);  // round to nearest
}

TEST(ReadSample, BothFlagsDecodeByWidth) {
    EXPECT_EQ(One(Raw<float>({0.25f}), LinearPcm(kFloat | kInt, 32, 1)), 0.25f);
    EXPECT_EQ(One(Raw<std::int16_t>({16384}), LinearPcm(kFloat | kInt, 16, 1)), 0.5f);
}

TEST(ReadSample, TheBigEndianFlagIsIgnored) {
    EXPECT_EQ(One(Raw<std::int16_t>({16384}), LinearPcm(kInt | kAudioFormatFlagIsBigEndian, 16, 1)), 0.5f);
}

TEST(ReadSample, UnsupportedEncodingsAreSilent) {
    EXPECT_EQ(One({0x7F}, LinearPcm(kInt, 8, 1)), 0.0f);
    EXPECT_EQ(One(Raw<std::int16_t>({16384}), LinearPcm(0, 16, 1)), 0.0f);      // unsigned
    EXPECT_EQ(One(Raw<std::int16_t>({0x3C00}), LinearPcm(kFloat, 16, 1)), 0.0f);  // half float
    EXPECT_EQ(One(Raw<std::int64_t>({1}), LinearPcm(kInt, 64, 1)), 0.0f);
    EXPECT_EQ(One({0xFF, 0xFF}, LinearPcm(kInt, 4, 1)), 0.0f);  // below 8 bits reads one byte, undecodable
}

TEST(ReadSample, NothingIsReadOutsideTheValidBytes) {
    Buffers none({});
    EXPECT_EQ(ReadSample(none.list(), LinearPcm(kInt, 16, 1), 0, 0), 0.0f);
    Buffers null(std::vector<std::vector<std::uint8_t>>(1));
    EXPECT_EQ(ReadSample(null.list(), LinearPcm(kInt, 16, 1), 0, 0), 0.0f);
    // 24-bit samples in 8 bytes: the one at offset 6 would end past the buffer.
    const auto format = LinearPcm(kInt, 24, 1);
    EXPECT_EQ(One({0, 0, 0x40, 0, 0, 0x40, 0, 0}, format, 1), 0.5f);
    EXPECT_EQ(One({0, 0, 0x40, 0, 0, 0x40, 0, 0}, format, 2), 0.0f);
}

TEST(ReadSample, InterleavedChannelAddressing) {
    const auto mono = LinearPcm(kInt, 16, 1);
    EXPECT_EQ(One(Raw<std::int16_t>({8192, 16384}), mono, 1, 1), 0.5f);  // channel past the last reads the last
    auto zeroChannels = LinearPcm(kInt, 16, 0);
    EXPECT_EQ(One(Raw<std::int16_t>({8192, 16384}), zeroChannels, 1, 0), 0.5f);

    const auto six = LinearPcm(kInt, 16, 6);
    EXPECT_EQ(One(Raw<std::int16_t>({0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 16384}), six, 1, 5), 0.5f);
    EXPECT_EQ(One(Raw<std::int16_t>({0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 16384}), six, 1, 9), 0.5f);

    // Several buffers with an interleaved format: only the first is read.
    Buffers two({Raw<std::int16_t>({16384, 8192}), Raw<std::int16_t>({-16384, -8192})});
    EXPECT_EQ(ReadSample(two.list(), LinearPcm(kInt, 16, 2), 0, 1), 0.25f);
}

TEST(ReadSample, NonInterleavedChannelsComeFromTheirOwnBuffers) {
    const auto planar = LinearPcm(kInt | kPlanar, 16, 2);
    Buffers one({Raw<std::int16_t>({16384, 8192})});
    EXPECT_EQ(ReadSample(one.list(), planar, 1, 1), 0.25f);  // channel 1 falls back to buffer 0

    Buffers uneven({Raw<std::int16_t>({1, 2, 16384}), Raw<std::int16_t>({8192, 8192})});
    EXPECT_EQ(ReadSample(uneven.list(), planar, 0, 1), 0.25f);
    EXPECT_EQ(ReadSample(uneven.list(), planar, 2, 0), 0.5f);
    EXPECT_EQ(ReadSample(uneven.list(), planar, 2, 1), 0.0f);
    EXPECT_EQ(ReadSample(uneven.list(), planar, 0, 7), 0.25f);  // clamped to the last buffer
}

}  // namespace
}  // namespace quorbel
