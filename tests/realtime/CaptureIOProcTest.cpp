#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "capture/Capture.h"
#include "realtime/Realtime.h"
#include "support/Formats.h"
#include "support/Frames.h"

namespace quorbel {
namespace {

using test::LinearPcm;

class CaptureIOProcTest : public ::testing::Test {
protected:
    std::unique_ptr<CaptureStream> stream = std::make_unique<CaptureStream>();

    void SetUp() override {
        ResetCaptureStream(*stream);
        gStopRequested.store(false);
    }
    void TearDown() override { gStopRequested.store(false); }

    template <typename T>
    void Deliver(const std::vector<T>& samples, std::uint32_t byteSize = UINT32_MAX,
                 const AudioTimeStamp* now = nullptr) {
        AudioBufferList list{1, {{0, byteSize == UINT32_MAX ? std::uint32_t(samples.size() * sizeof(T)) : byteSize,
                                  const_cast<T*>(samples.data())}}};
        EXPECT_EQ(CaptureIOProc(0, now, &list, nullptr, nullptr, nullptr, stream.get()), 0);
    }

    std::vector<StereoFrame> Stored() {
        std::vector<StereoFrame> frames(stream->ring.writePos.load() / 4 - stream->ring.readPos.load() / 4);
        stream->ring.take(frames.data(), frames.size() * 4);
        return frames;
    }
};

TEST_F(CaptureIOProcTest, FloatsAreClampedScaledAndRoundedToEven) {
    stream->format = LinearPcm(kAudioFormatFlagIsFloat, 32, 1);
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> in = {1.0f, -1.0f, 0.5f, -0.5f, 0.25f, 1.5f, -0.0f,
                                   std::numeric_limits<float>::quiet_NaN(), inf, -inf, -1.5f};
    Deliver(in);
    std::vector<std::int16_t> lefts;
    for (const StereoFrame& frame : Stored()) {
        EXPECT_EQ(frame.left, frame.right);
        lefts.push_back(frame.left);
    }
    EXPECT_EQ(lefts, (std::vector<std::int16_t>{32767, -32767, 16384, -16384, 8192, 32767, 0, 32767, 32767,
                                                -32767, -32767}));
}

TEST_F(CaptureIOProcTest, SixteenBitSourcesAreRescaledNotCopied) {
    stream->format = LinearPcm(kAudioFormatFlagIsSignedInteger, 16, 2);
    Deliver(std::vector<std::int16_t>{32767, -32768, 16384, -1});
    EXPECT_EQ(Stored(), (std::vector<StereoFrame>{{32766, -32767}, {16384, -1}}));
}

TEST_F(CaptureIOProcTest, EverySixteenBitValueRoundsAsTheLibraryWould) {
    stream->format = LinearPcm(kAudioFormatFlagIsSignedInteger, 16, 1);
    std::vector<std::int16_t> all;
    for (int v = -32768; v <= 32767; ++v) {
        all.push_back(std::int16_t(v));
    }
    for (std::size_t start = 0; start < all.size(); start += 16384) {
        Deliver(std::vector<std::int16_t>(all.begin() + std::ptrdiff_t(start),
                                          all.begin() + std::ptrdiff_t(start + 16384)));
    }
    const auto frames = Stored();
    ASSERT_EQ(frames.size(), all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        const float scaled = std::max(float(all[i]) * 0x1p-15f, -1.0f) * 32767.0f;
        ASSERT_EQ(frames[i].left, std::int16_t(std::nearbyint(scaled))) << all[i];
    }
}

TEST_F(CaptureIOProcTest, OnlyTheFirstTwoChannelsAreUsed) {
    stream->format = LinearPcm(kAudioFormatFlagIsSignedInteger, 16, 6);
    Deliver(std::vector<std::int16_t>{100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100, 1200});
    EXPECT_EQ(Stored(), (std::vector<StereoFrame>{{100, 200}, {700, 800}}));
}

TEST_F(CaptureIOProcTest, NonInterleavedStereoInOneBufferRepeatsTheFirstChannel) {
    stream->format = LinearPcm(kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsNonInterleaved, 16, 2);
    stream->format.mBytesPerFrame = 2;
    Deliver(std::vector<std::int16_t>{100, 200});
    EXPECT_EQ(Stored(), (std::vector<StereoFrame>{{100, 100}, {200, 200}}));
}

TEST_F(CaptureIOProcTest, AtMost16384FramesPerCall) {
    stream->format = LinearPcm(kAudioFormatFlagIsSignedInteger, 16, 2);
    Deliver(std::vector<std::int16_t>(16384 * 2, 7));
    EXPECT_EQ(stream->ring.writePos.load(), 65536u);
    Deliver(std::vector<std::int16_t>(20000 * 2, 7));
    EXPECT_EQ(stream->ring.writePos.load(), 2u * 65536u);
    EXPECT_EQ(stream->drops.load(), 0u);
}

TEST_F(CaptureIOProcTest, OnlyWholeFramesAreConverted) {
    stream->format = LinearPcm(kAudioFormatFlagIsSignedInteger, 16, 2);
    Deliver(std::vector<std::int16_t>{1, 2, 3, 4, 5}, 10);
    EXPECT_EQ(Stored(), (std::vector<StereoFrame>{{1, 2}, {3, 4}}));
    Deliver(std::vector<std::int16_t>{1, 2}, 3);
    EXPECT_EQ(stream->ring.writePos.load(), 8u);
    EXPECT_EQ(stream->drops.load(), 0u);
}

TEST_F(CaptureIOProcTest, UnusableCallsStoreAndCountNothing) {
    const std::vector<std::int16_t> samples{1, 2, 3, 4};
    AudioBufferList list{1, {{2, 8, const_cast<std::int16_t*>(samples.data())}}};
    stream->format = LinearPcm(kAudioFormatFlagIsSignedInteger, 16, 2);
    EXPECT_EQ(CaptureIOProc(0, nullptr, &list, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(CaptureIOProc(0, nullptr, nullptr, nullptr, nullptr, nullptr, stream.get()), 0);
    AudioBufferList empty{0, {{2, 8, const_cast<std::int16_t*>(samples.data())}}};
    EXPECT_EQ(CaptureIOProc(0, nullptr, &empty, nullptr, nullptr, nullptr, stream.get()), 0);

    gStopRequested.store(true);
    Deliver(samples);
    gStopRequested.store(false);

    stream->format.mFormatID = FourCharCode("aac ");
    Deliver(samples);
    stream->format = LinearPcm(kAudioFormatFlagIsSignedInteger, 16, 2);
    stream->format.mBytesPerFrame = 0;
    Deliver(samples);

    EXPECT_EQ(stream->ring.writePos.load(), 0u);
    EXPECT_EQ(stream->drops.load(), 0u);
}

TEST_F(CaptureIOProcTest, UndecodableSamplesGiveSilenceOfTheRightLength) {
    stream->format = LinearPcm(0, 8, 2);  // unsigned 8-bit
    Deliver(std::vector<std::uint8_t>{200, 100, 50, 25});
    EXPECT_EQ(Stored(), (std::vector<StereoFrame>{{0, 0}, {0, 0}}));
}

TEST_F(CaptureIOProcTest, AFullRingDropsWholeBlocksAndCountsEachOnce) {
    stream->format = LinearPcm(kAudioFormatFlagIsSignedInteger, 16, 2);
    const std::vector<std::uint8_t> filler(kRingCapacity - 8, 0);
    ASSERT_TRUE(stream->ring.append(filler.data(), filler.size()));
    Deliver(std::vector<std::int16_t>(3 * 2, 9));  // 12 bytes, 8 free
    Deliver(std::vector<std::int16_t>(16384 * 2, 9));
    EXPECT_EQ(stream->drops.load(), 2u);
    EXPECT_EQ(stream->ring.writePos.load(), kRingCapacity - 8);
    Deliver(std::vector<std::int16_t>(2 * 2, 9));  // exactly fits
    EXPECT_EQ(stream->drops.load(), 2u);
    EXPECT_EQ(stream->ring.writePos.load(), kRingCapacity);
}

// The pumps read when the newest frames came; only frames that are in the
// ring, with a host time the platform vouches for, move it.
TEST_F(CaptureIOProcTest, NotesWhenTheNewestStoredFramesCame) {
    stream->format = LinearPcm(kAudioFormatFlagIsSignedInteger, 16, 2);
    const auto stamp = [](std::uint64_t hostTime, std::uint32_t flags) {
        AudioTimeStamp now{};
        now.mHostTime = hostTime;
        now.mFlags = flags;
        return now;
    };
    const std::vector<std::int16_t> frame{1, 2};
    const AudioTimeStamp first = stamp(1000, kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid);
    Deliver(frame, UINT32_MAX, &first);
    EXPECT_EQ(stream->newestHostTime.load(), 1000u);
    const AudioTimeStamp sampleTimeOnly = stamp(2000, kAudioTimeStampSampleTimeValid);
    Deliver(frame, UINT32_MAX, &sampleTimeOnly);
    Deliver(frame);
    EXPECT_EQ(stream->newestHostTime.load(), 1000u);

    const AudioTimeStamp later = stamp(3000, kAudioTimeStampHostTimeValid);
    gStopRequested.store(true);
    Deliver(frame, UINT32_MAX, &later);
    gStopRequested.store(false);
    const std::vector<std::uint8_t> filler(kRingCapacity - stream->ring.writePos.load(), 0);
    ASSERT_TRUE(stream->ring.append(filler.data(), filler.size()));
    Deliver(frame, UINT32_MAX, &later);
    EXPECT_EQ(stream->drops.load(), 1u);
    EXPECT_EQ(stream->newestHostTime.load(), 1000u) << "nothing of it was stored";
}

}  // namespace
}  // namespace quorbel
