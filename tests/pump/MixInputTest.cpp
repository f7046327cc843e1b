#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "pump/Pump.h"
#include "pump/PumpTestSupport.h"

namespace quorbel {
namespace {

using Pair = std::pair<int, int>;

constexpr std::int16_t a = 11, b = 12, c = 13, d = 14, e = 15, f = 16, g = 17, h = 18;

MixInput Queued(std::vector<std::int16_t> samples) {
    MixInput input;
    input.samples = std::move(samples);
    return input;
}

std::vector<Pair> Advance(MixInput& input, double step, int calls) {
    std::vector<Pair> held;
    for (int i = 0; i < calls; ++i) {
        input.advance(step);
        held.emplace_back(input.heldLeft, input.heldRight);
    }
    return held;
}

TEST(MixInputAdvance, NothingQueuedHoldsSilence) {
    MixInput input;
    EXPECT_EQ(Advance(input, 1.0, 1), (std::vector<Pair>{{0, 0}}));
    EXPECT_EQ(input.readIndex, 0u);
}

TEST(MixInputAdvance, StepOneTakesAFramePerCall) {
    MixInput input = Queued({a, b, c, d});
    EXPECT_EQ(Advance(input, 1.0, 3), (std::vector<Pair>{{a, b}, {c, d}, {0, 0}}));
    EXPECT_EQ(input.readIndex, 4u);
}

TEST(MixInputAdvance, SlowerSourcesRepeatAndStartSilent) {
    MixInput input = Queued({a, b, c, d});
    EXPECT_EQ(Advance(input, 0.5, 4), (std::vector<Pair>{{0, 0}, {a, b}, {a, b}, {c, d}}));
}

TEST(MixInputAdvance, FasterSourcesHoldTheLastFrameTaken) {
    MixInput input = Queued({a, b, c, d, e, f, g, h});
    EXPECT_EQ(Advance(input, 2.0, 2), (std::vector<Pair>{{c, d}, {g, h}}));

    input = Queued({a, b, c, d, e, f, g, h});
    EXPECT_EQ(Advance(input, 1.5, 1), (std::vector<Pair>{{a, b}}));
    EXPECT_EQ(input.position, 0.5);
    EXPECT_EQ(Advance(input, 1.5, 1), (std::vector<Pair>{{e, f}}));
    EXPECT_EQ(input.position, 0.0);
}

TEST(MixInputAdvance, RunningDryMidStepHoldsSilenceAndKeepsThePlace) {
    MixInput input = Queued({a, b, c, d});
    EXPECT_EQ(Advance(input, 3.0, 1), (std::vector<Pair>{{0, 0}}));
    EXPECT_EQ(input.readIndex, 4u);
    input.samples.insert(input.samples.end(), {e, f});
    EXPECT_EQ(Advance(input, 1.0, 1), (std::vector<Pair>{{e, f}}));
}

TEST(MixInputAdvance, A441SourceTakes881FramesInTheFirstBlockAnd882After) {
    MixInput input = Queued(std::vector<std::int16_t>(2 * 10000, 1));
    const double step = 44100 / 48000.0;
    EXPECT_EQ(step, 0.91875);
    input.advance(step);
    EXPECT_EQ(input.readIndex, 0u);  // the first output frame holds silence
    Advance(input, step, 959);
    EXPECT_EQ(input.readIndex, 2u * 881u);
    Advance(input, step, 960);
    EXPECT_EQ(input.readIndex, 2u * (881u + 882u));
}

TEST(MixInputAdvance, TheWholePartIsSubtractedExactly) {
    // The same phase as repeated subtraction of 1.0, however large the step.
    MixInput input;
    double reference = 0.0;
    const double step = 96001 / 48000.0;
    for (int i = 0; i < 100000; ++i) {
        input.advance(step);
        reference += step;
        while (reference >= 1.0) {
            reference -= 1.0;
        }
        ASSERT_EQ(input.position, reference) << i;
    }
}

TEST(MixInputPlayable, CountsTheAdvancesBeforeTheQueueRunsDry) {
    // The count must agree with advance itself: that many steps hold real
    // frames (or the pair held before), and the next one holds silence.
    constexpr StereoFrame kMarker{999, -999};
    for (double step : {1.0, 44100 / 48000.0, 2.0, 16000 / 48000.0, 96001 / 48000.0, 0.0}) {
        for (double position : {0.0, 0.5, 0.999}) {
            for (int queued : {0, 1, 2, 100, 881, 882, 1919, 1920, 5000}) {
                SCOPED_TRACE(::testing::Message() << step << " " << position << " " << queued);
                MixInput input;
                for (const StereoFrame& frame : test::CountingFrames(1, queued)) {
                    input.samples.insert(input.samples.end(), {frame.left, frame.right});
                }
                input.position = position;
                input.heldLeft = kMarker.left;
                input.heldRight = kMarker.right;
                const std::size_t playable = input.playable(step, 960);
                for (std::size_t i = 0; i < playable; ++i) {
                    input.advance(step);
                    ASSERT_NE(input.heldLeft, 0) << i;
                }
                if (playable < 960) {
                    input.advance(step);
                    EXPECT_EQ(Pair(input.heldLeft, input.heldRight), Pair(0, 0));
                }
            }
        }
    }
}

TEST(MixInputPlayable, AWholeBlockAtEachRate) {
    // What one 20 ms block takes from the start: 881 frames at 44.1 kHz (the
    // first output frame only holds), twice 960 at 96 kHz, a third at 16 kHz.
    for (auto [rate, frames] : std::vector<std::pair<double, int>>{
             {48000, 960}, {44100, 881}, {96000, 1920}, {16000, 320}}) {
        MixInput input = Queued(std::vector<std::int16_t>(2 * std::size_t(frames), 1));
        EXPECT_EQ(input.playable(rate / 48000, 960), 960u) << rate;
        input.samples.resize(input.samples.size() - 2);
        EXPECT_LT(input.playable(rate / 48000, 960), 960u) << rate;
    }
}

class MixInputRefill : public ::testing::Test {
protected:
    std::unique_ptr<CaptureStream> stream = test::StreamAt(48000);
};

TEST_F(MixInputRefill, DrainsTheWholeRingInOrder) {
    const auto frames = test::CountingFrames(1, 20000);  // several drain chunks
    test::Queue(*stream, frames);
    MixInput input;
    input.refill(stream->ring, 48000);
    ASSERT_EQ(input.samples.size(), 40000u);
    EXPECT_EQ(input.samples[0], 1);
    EXPECT_EQ(input.samples[1], -1);
    EXPECT_EQ(input.samples[39998], 20000);
    EXPECT_EQ(stream->ring.readPos.load(), stream->ring.writePos.load());
}

TEST_F(MixInputRefill, BoundsTheBacklogThenCompacts) {
    MixInput input = Queued(std::vector<std::int16_t>(500000, 0));
    for (std::size_t i = 0; i < input.samples.size(); ++i) {
        input.samples[i] = std::int16_t(i % 30000);
    }
    input.readIndex = 10000;
    input.refill(stream->ring, 48000);  // bound 192,000 samples: readIndex 308,000, then compacted
    EXPECT_EQ(input.readIndex, 0u);
    ASSERT_EQ(input.samples.size(), 192000u);
    EXPECT_EQ(input.samples[0], std::int16_t(308000 % 30000));
}

TEST_F(MixInputRefill, TheBoundFollowsTheFasterOfRateAnd48000) {
    for (auto [rate, bound] : std::vector<std::pair<unsigned, std::size_t>>{
             {44100, 192000}, {48000, 192000}, {96000, 384000}, {0, 192000}}) {
        MixInput input = Queued(std::vector<std::int16_t>(bound + 40000, 0));
        input.refill(stream->ring, rate);
        EXPECT_EQ(input.samples.size(), bound) << rate;
        EXPECT_EQ(input.readIndex, 0u) << rate;
    }
}

TEST_F(MixInputRefill, CompactsOnlyPastTheThreshold) {
    MixInput input = Queued(std::vector<std::int16_t>(40000, 0));
    input.readIndex = 32768;
    input.refill(stream->ring, 48000);
    EXPECT_EQ(input.readIndex, 32768u);
    EXPECT_EQ(input.samples.size(), 40000u);

    input.readIndex = 32770;
    input.refill(stream->ring, 48000);  // an empty ring still bounds and compacts
    EXPECT_EQ(input.readIndex, 0u);
    EXPECT_EQ(input.samples.size(), 40000u - 32770u);
}

}  // namespace
}  // namespace quorbel
