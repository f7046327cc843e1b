// The measuring side of the drift tests checked on signals made here: a
// figure the bench scripts print is only worth what these guard. No sound
// server is needed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "DriftDevices.h"
#include "PulseTestSupport.h"
#include "StreamMeasure.h"

namespace quorbel::test {
namespace {

constexpr std::int64_t kMs = 1'000'000;

std::vector<std::int16_t> Tone(double rate, double frequency, double dbfs, std::size_t frames) {
    std::vector<std::int16_t> out(2 * frames);
    RenderSignal(Signal{false, frequency, dbfs, 0, 0}, DeviceClock{0, rate, 0.0}, 0, out);
    return out;
}

void ZeroFrames(std::vector<std::int16_t>& stereo, std::size_t first, std::size_t count) {
    std::fill(stereo.begin() + std::ptrdiff_t(2 * first), stereo.begin() + std::ptrdiff_t(2 * (first + count)), 0);
}

TEST(SignalTest, ParsesTonesAndBurstsAndRefusesTheRest) {
    auto tone = ParseSignal("tone:1000:-6");
    ASSERT_TRUE(tone.has_value());
    EXPECT_FALSE(tone->bursts);
    EXPECT_EQ(tone->frequency, 1000.0);
    auto bursts = ParseSignal("bursts:2500:-12:500:30");
    ASSERT_TRUE(bursts.has_value());
    EXPECT_TRUE(bursts->bursts);
    EXPECT_EQ(bursts->periodNs, 500 * kMs);
    EXPECT_EQ(bursts->lengthNs, 30 * kMs);
    for (const char* bad : {"tone:1000", "tone:x:-6", "bursts:1000:-6:30:500", "noise:1:2", "tone:1000:3"}) {
        EXPECT_FALSE(ParseSignal(bad).has_value()) << bad;
    }
}

// A device 1000 ppm fast puts the burst due at host time 1 s at frame
// 48048, and one that starts at 0.25 s puts it 0.75 s of its frames in.
TEST(SignalTest, BurstsFallOnTheirHostTimesWhateverTheDeviceClock) {
    const Signal signal{true, 1000.0, -6.0, 1000 * kMs, 30 * kMs};
    const DeviceClock fast{0, 48000, 1000.0};
    std::vector<std::int16_t> frames(2 * 48100);
    RenderSignal(signal, fast, 0, frames);
    // Silence until the onset; the burst starts with sin(0) = 0, then sounds.
    EXPECT_EQ(frames[2 * 48047], 0);
    EXPECT_NE(frames[2 * 48050], 0);
    EXPECT_NE(frames[2 * 40], 0);  // the burst at host time 0

    const DeviceClock late{250 * kMs, 48000, 0.0};
    std::vector<std::int16_t> more(2 * 40000);
    RenderSignal(signal, late, 0, more);
    EXPECT_EQ(more[2 * 35990], 0);
    EXPECT_NE(more[2 * 36010], 0);
    EXPECT_EQ(late.hostTimeOf(36000), 1000 * kMs);
    EXPECT_NEAR(double(fast.framesDue(1'000'000'000)), 48048.0, 1.0);
}

TEST(HoleFinderTest, ATonesOwnZeroCrossingsAreNoHoles) {
    for (double frequency : {50.0, 1000.0, 12000.0}) {
        for (double rate : {44100.0, 48000.0}) {
            HoleFinder finder;
            finder.feed(Tone(rate, frequency, -6.0, std::size_t(rate)));
            EXPECT_TRUE(finder.holes().empty()) << frequency << " Hz at " << rate;
        }
    }
}

TEST(HoleFinderTest, FindsRunsOfSilenceInsideTheSoundOnly) {
    auto stereo = Tone(48000, 1000.0, -6.0, 10000);
    ZeroFrames(stereo, 0, 500);     // before the first sound: not a hole
    ZeroFrames(stereo, 3000, 3);    // too short
    ZeroFrames(stereo, 5000, 480);  // a hole
    ZeroFrames(stereo, 9900, 100);  // cut off at the end: not a hole
    HoleFinder finder;
    // In pieces, as reads deliver it, split inside the hole.
    finder.feed(std::span(stereo).subspan(0, 2 * 5100));
    finder.feed(std::span(stereo).subspan(2 * 5100));
    ASSERT_EQ(finder.holes().size(), 1u);
    EXPECT_EQ(finder.holes()[0].frame, 5000u);
    EXPECT_EQ(finder.holes()[0].frames, 480u);
    ASSERT_TRUE(finder.firstSound().has_value());
    EXPECT_LE(*finder.firstSound(), 501u);
}

// The follow tests tell a sink is no longer heard by its tone's absence next
// to the new sink's loud tone; holes in the loud one must not read as it.
TEST(ToneAmplitudeTest, HolesInALoudToneAreNoOtherTone) {
    auto stereo = Tone(48000, 1000.0, -6.0, 48000);
    for (std::size_t at : {4800u, 20640u, 22560u, 24480u, 26400u}) {  // 40 ms apart: their splatters add
        ZeroFrames(stereo, at, 240);
    }
    const std::vector<double> holed = Channel(stereo, 0);
    EXPECT_GT(ToneAmplitude(holed, 48000, 1500.0), 0.0015) << "the splatter this guards against";
    EXPECT_LT(SteadyToneAmplitude(holed, 48000, 1500.0), 0.0001);
    EXPECT_GT(SteadyToneAmplitude(holed, 48000, 1000.0), 0.49);
    // Another tone, even 40 dB down, is in every tenth.
    const std::vector<double> faint = Channel(Tone(48000, 1500.0, -46.0, 48000), 0);
    EXPECT_NEAR(SteadyToneAmplitude(faint, 48000, 1500.0), 0.005, 0.0005);
    // With a hole in every tenth, nothing can be told.
    for (std::size_t at = 100; at < 48000; at += 4800) {
        ZeroFrames(stereo, at, 4);
    }
    EXPECT_LT(SteadyToneAmplitude(Channel(stereo, 0), 48000, 1500.0), 0.0);
}

// Feeds a stream in deliveries of `block` frames, each reaching the reader
// `latencyNs` after the host time of its last frame (frame 0 at time 0).
void FeedDelivered(StreamAnalysis& analysis, const std::vector<std::int16_t>& stereo, std::size_t block,
                   std::int64_t latencyNs) {
    for (std::size_t first = 0; first + block <= stereo.size() / 2; first += block) {
        const auto* bytes = reinterpret_cast<const char*>(stereo.data() + 2 * first);
        const auto end = std::int64_t(first + block);
        analysis.feed(std::string_view(bytes, 4 * block), end * 1'000'000'000 / 48000 + latencyNs);
    }
}

// The tool's holes are told apart from the monitor's by when they reached
// each reader, whose latencies differ: a hole parec shows too was in the
// audio already.
TEST(HolesNotInTest, KeepsOnlyTheHolesTheOtherReaderDidNotSee) {
    auto tool = Tone(48000, 1000.0, -6.0, 96000);
    auto parec = tool;
    ZeroFrames(tool, 24000, 240);    // in the audio: both show it
    ZeroFrames(parec, 24000, 240);
    ZeroFrames(tool, 57600, 960);    // the tool's own
    ZeroFrames(parec, 81600, 240);   // parec's own: not the tool's
    ZeroFrames(tool, 72000, 960);    // the tool's, though parec shows a short one about then
    ZeroFrames(parec, 72480, 240);
    StreamAnalysis toolSeen(48000, 0, {});
    StreamAnalysis parecSeen(48000, 0, {});
    FeedDelivered(toolSeen, tool, 960, 20 * kMs);
    FeedDelivered(parecSeen, parec, 480, 2 * kMs);
    ASSERT_EQ(toolSeen.holes.holes().size(), 3u);

    const auto own = HolesNotIn(toolSeen, parecSeen, 100 * kMs);
    ASSERT_EQ(own.size(), 2u);
    EXPECT_EQ(own[0].hole.frame, 57600u);
    EXPECT_EQ(own[0].arrivalNs, 1240 * kMs);  // the block holding the hole's first frame
    EXPECT_EQ(own[1].hole.frame, 72000u);
    EXPECT_EQ(HolesNotIn(parecSeen, toolSeen, 100 * kMs).size(), 1u);

    // Beside an own hole: how long the other reader waited about then.
    ArrivalLog stalled;
    for (auto [end, ms] : {std::pair{480, 10}, {960, 20}, {1440, 80}, {1920, 90}}) {
        stalled.add(std::uint64_t(end), ms * kMs);
    }
    EXPECT_DOUBLE_EQ(stalled.longestGapMs(0, 50 * kMs), 10.0);
    EXPECT_DOUBLE_EQ(stalled.longestGapMs(0, 100 * kMs), 60.0);
    EXPECT_DOUBLE_EQ(stalled.longestGapMs(85 * kMs, 100 * kMs), 10.0);
}

TEST(PaceTrackerTest, MeasuresRateAndWorstDepartures) {
    PaceTracker pace(48000, 0);
    const double fast = 48000 * (1 + 300e-6);
    std::uint64_t sent = 0;
    // 20 ms deliveries for 100 s from a source 300 ppm fast.
    for (int i = 1; i <= 5000; ++i) {
        const auto due = std::uint64_t(fast * 0.02 * i);
        pace.add(due - sent, std::int64_t(i) * 20 * kMs);
        sent = due;
    }
    EXPECT_NEAR(pace.ratePpm(), 300.0, 5.0);
    EXPECT_NEAR(pace.aheadFrames(), 48000 * 300e-6 * 100, 2.0);
    EXPECT_EQ(pace.behindFrames(), 0.0);
    EXPECT_EQ(pace.caughtUpBehindFrames(), 0.0);

    PaceTracker late(48000, 0);
    late.add(960, 40 * kMs);  // one block, a block late
    EXPECT_NEAR(late.behindFrames(), 960.0, 1e-6);
}

// A stall made up within its second counts against the count as it
// arrived, not where the second's count stood best; a slow writer counts in both.
TEST(PaceTrackerTest, TellsAStallMadeUpFromAWriterFallingBehind) {
    PaceTracker stalled(48000, 0);
    for (int i = 1; i <= 500; ++i) {
        const std::int64_t at = i * 20 * kMs;
        // Blocks 201 to 205 come together with block 206, 100 ms late at most.
        stalled.add(960, i > 200 && i <= 205 ? 206 * 20 * kMs : at);
    }
    EXPECT_NEAR(stalled.behindFrames(), 4800.0, 1e-6);
    EXPECT_EQ(stalled.caughtUpBehindFrames(), 0.0);

    PaceTracker slow(48000, 0);
    const double rate = 48000 * (1 - 300e-6);
    std::uint64_t sent = 0;
    for (int i = 1; i <= 5000; ++i) {
        const auto due = std::uint64_t(rate * 0.02 * i);
        slow.add(due - sent, std::int64_t(i) * 20 * kMs);
        sent = due;
    }
    EXPECT_NEAR(slow.caughtUpBehindFrames(), 48000 * 300e-6 * 100, 2.0);
}

std::vector<std::int16_t> Bursts(const Signal& signal, std::int64_t startNs, std::size_t frames) {
    std::vector<std::int16_t> out(2 * frames);
    RenderSignal(signal, DeviceClock{startNs, 48000, 0.0}, 0, out);
    return out;
}

TEST(OnsetDetectorTest, FindsEachBurstAtItsFrequencyOnly) {
    const Signal low{true, 1000.0, -12.0, 500 * kMs, 30 * kMs};
    const Signal high{true, 2500.0, -12.0, 500 * kMs, 30 * kMs};
    // Low bursts from frame 4800 on, the high ones 10 ms after, overlapping.
    auto mix = Bursts(low, -100 * kMs, 48000 * 3);
    auto other = Bursts(high, -110 * kMs, 48000 * 3);
    for (std::size_t i = 0; i < mix.size(); ++i) {
        mix[i] = std::int16_t(mix[i] + other[i]);
    }
    OnsetDetector lowOnsets(48000, 1000.0, -12.0), highOnsets(48000, 2500.0, -12.0);
    lowOnsets.feed(std::span(mix).subspan(0, 12345));
    lowOnsets.feed(std::span(mix).subspan(12345));
    highOnsets.feed(mix);
    ASSERT_EQ(lowOnsets.onsets().size(), 6u);
    ASSERT_EQ(highOnsets.onsets().size(), 6u);
    for (std::size_t k = 0; k < 6; ++k) {
        EXPECT_NEAR(lowOnsets.onsets()[k], 4800.0 + 24000.0 * double(k), 4.0);
        EXPECT_NEAR(highOnsets.onsets()[k], 5280.0 + 24000.0 * double(k), 4.0);
    }
    OffsetSummary offsets = PairOffsets(lowOnsets, highOnsets, 48000, 250.0);
    EXPECT_EQ(offsets.pairs, 6u);
    EXPECT_NEAR(offsets.startMs, 10.0, 0.1);
    EXPECT_LT(offsets.maxChangeMs, 0.1);
}

TEST(OnsetDetectorTest, TimesArrivalsFromTheBurstsFirstFrame) {
    const Signal signal{true, 1000.0, -6.0, 500 * kMs, 20 * kMs};
    // The first burst at 100 ms into the stream, then every 500 ms.
    auto stream = Bursts(signal, -100 * kMs, 48000 * 2);
    OnsetDetector detector(48000, 1000.0, -6.0);
    ArrivalLog arrivals;
    // Delivered in 20 ms blocks, each 30 ms after the host time of its last
    // frame; the bursts start on blocks, so each arrives 50 ms after its time.
    for (std::uint64_t end = 960; end <= 96000; end += 960) {
        detector.feed(std::span(stream).subspan(2 * (end - 960), 2 * 960));
        arrivals.add(end, std::int64_t(end) * kMs / 48 - 100 * kMs + 30 * kMs);
    }
    ASSERT_EQ(detector.soundOnsets().size(), 4u);
    EXPECT_EQ(detector.soundOnsets()[0], 4801u);  // frame 4800 is the burst's sin(0)
    auto latencies = OnsetLatenciesMs(detector, arrivals, 500 * kMs);
    ASSERT_EQ(latencies.size(), 4u);
    for (double latency : latencies) {
        EXPECT_NEAR(latency, 50.0, 0.01);
    }
}

TEST(DropsTest, ReadsBothDropLines) {
    Drops drops = ParseDrops("CAPTURE\t48000\t2\t16\tPcm\nBUFFER_DROPS\t3\nMICROPHONE_BUFFER_DROPS\t7\n");
    EXPECT_EQ(drops.system, 3u);
    EXPECT_EQ(drops.microphone, 7u);
    EXPECT_EQ(ParseDrops("").system, 0u);
}

}  // namespace
}  // namespace quorbel::test
