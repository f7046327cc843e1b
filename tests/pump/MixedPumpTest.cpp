#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>

#include "capture/Capture.h"
#include "pump/Pump.h"
#include "pump/PumpTestSupport.h"

namespace quorbel {
namespace {

using test::ChildProcess;
using test::kPumpTimeout;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBlockBytes = 3840;

struct Source {
    double rate;
    std::vector<StereoFrame> queued;
};

// Runs the mixed pump over rings that already hold the frames; without a
// system source the system stream is left empty and not included.
ChildProcess RunMixed(const Source& microphone, const Source* system = nullptr) {
    const Source systemCopy = system != nullptr ? *system : Source{48000, {}};
    const bool includeSystem = system != nullptr;
    return test::RunPump([microphone, systemCopy, includeSystem] {
        auto systemStream = test::StreamAt(systemCopy.rate);
        auto microphoneStream = test::StreamAt(microphone.rate);
        test::Queue(*systemStream, systemCopy.queued);
        test::Queue(*microphoneStream, microphone.queued);
        MixedPump(*systemStream, *microphoneStream, includeSystem);
    });
}

std::vector<StereoFrame> ReadBlocks(ChildProcess& child, std::size_t blocks) {
    return test::ToFrames(child.readStdout(blocks * kBlockBytes, kPumpTimeout));
}

TEST(MixedPump, AMicrophoneAt48000ComesOutUnchanged) {
    const auto frames = test::CountingFrames(1, 960 * 3);
    ChildProcess child = RunMixed({48000, frames});
    const auto out = ReadBlocks(child, 4);
    ASSERT_EQ(out.size(), 960u * 4);
    EXPECT_EQ(std::vector<StereoFrame>(out.begin(), out.begin() + 960 * 3), frames);
    EXPECT_EQ(out.back(), (StereoFrame{0, 0}));
}

TEST(MixedPump, TwoSourcesAreAddedWithSaturation) {
    // Both sources are starting, so their three frames close the block and
    // what follows them (silence here) is kept back as their reserve.
    std::vector<StereoFrame> system = {{30000, -30000}, {32767, 100}, {-5, 5}};
    std::vector<StereoFrame> microphone = {{10000, -10000}, {-1, -100}, {7, -7}};
    system.resize(3 + test::kMixedReserve, StereoFrame{0, 0});
    microphone.resize(3 + test::kMixedReserve, StereoFrame{0, 0});
    const Source systemSource{48000, system};
    ChildProcess child = RunMixed({48000, microphone}, &systemSource);
    const auto out = ReadBlocks(child, 1);
    ASSERT_EQ(out.size(), 960u);
    EXPECT_EQ(out[956], (StereoFrame{0, 0}));
    EXPECT_EQ(out[957], (StereoFrame{32767, -32768}));
    EXPECT_EQ(out[958], (StereoFrame{32766, 0}));
    EXPECT_EQ(out[959], (StereoFrame{2, -2}));
}

TEST(MixedPump, A441SourceIsHeldAcrossBlocks) {
    ChildProcess child = RunMixed({44100, test::CountingFrames(1, 5000)});
    const auto out = ReadBlocks(child, 2);
    ASSERT_EQ(out.size(), 1920u);
    EXPECT_EQ(out[0], (StereoFrame{0, 0}));
    EXPECT_EQ(out[1], (StereoFrame{1, -1}));
    EXPECT_EQ(out[959].left, 881);
    EXPECT_EQ(out[1919].left, 881 + 882);
}

TEST(MixedPump, A96000SourceHoldsTheSecondOfEachPair) {
    ChildProcess child = RunMixed({96000, test::CountingFrames(1, 4000)});
    const auto out = ReadBlocks(child, 1);
    ASSERT_EQ(out.size(), 960u);
    for (int k = 0; k < 960; ++k) {
        ASSERT_EQ(out[std::size_t(k)].left, 2 * k + 2) << k;
    }
}

TEST(MixedPump, ASourceAtRateZeroStaysSilentAndTheOtherPlaysAlone) {
    const auto frames = test::CountingFrames(1, 960 + int(test::kMixedReserve));
    const Source silentSystem{0.2, test::CountingFrames(5000, 960)};
    ChildProcess child = RunMixed({48000, frames}, &silentSystem);
    EXPECT_EQ(ReadBlocks(child, 1), std::vector<StereoFrame>(frames.begin(), frames.begin() + 960));
}

TEST(MixedPump, EmptyRingsGiveSilenceAtFullPace) {
    const Source system{48000, {}};
    ChildProcess child = RunMixed({44100, {}}, &system);
    EXPECT_EQ(child.readStdout(kBlockBytes * 5, kPumpTimeout), std::string(kBlockBytes * 5, '\0'));
    child.closeStdout();
    const test::ExitResult exit = child.wait(kPumpTimeout);
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, 0);
}

TEST(MixedPump, StopsAtTheSamePointsAsThePassThroughPump) {
    ChildProcess before = test::RunPump([] {
        auto system = test::StreamAt(48000);
        auto microphone = test::StreamAt(48000);
        test::Queue(*microphone, test::CountingFrames(1, 100));
        gStopRequested.store(true);
        MixedPump(*system, *microphone, true);
    });
    EXPECT_EQ(before.readStdoutUntilEof(kPumpTimeout), "");
    EXPECT_EQ(before.wait(kPumpTimeout).code, 0);

    ChildProcess running = RunMixed({48000, {}});
    EXPECT_EQ(running.readStdout(kBlockBytes, kPumpTimeout).size(), kBlockBytes);
    running.sendSignal(SIGINT);
    running.readStdoutUntilEof(kPumpTimeout);
    const test::ExitResult exit = running.wait(kPumpTimeout);
    EXPECT_FALSE(exit.timedOut);
    EXPECT_EQ(exit.code, 0);
}

TEST(MixedPump, AStartingSourceEndsItsFirstBlockWithItsAudio) {
    // Fewer frames than a block needs, from the first block on: the source
    // holds silence first, then plays every frame but its reserve without a
    // gap up to the block's end; the reserve follows in the next block without
    // a gap either, and then the source runs dry. 96 kHz keeps the second of
    // each pair; its odd frame waits.
    struct Row {
        double rate;
        int queued;
        int first, last;  // the first and last frame heard
    };
    for (const Row& row : {Row{48000, 1080, 1, 1080}, Row{44100, 1100, 1, 1100}, Row{96000, 2401, 2, 2400},
                           Row{16000, 400, 1, 400}}) {
        SCOPED_TRACE(row.rate);
        ChildProcess child = RunMixed({row.rate, test::CountingFrames(1, row.queued)});
        const auto out = ReadBlocks(child, 3);
        ASSERT_EQ(out.size(), 2880u);
        const std::size_t lead = test::FirstSound(out);
        ASSERT_GT(lead, 0u);
        ASSERT_LT(lead, 960u);
        EXPECT_EQ(out[lead].left, row.first);
        std::size_t i = lead + 1;
        for (; i < out.size() && out[i].left != 0; ++i) {
            ASSERT_EQ(out[i].right, -out[i].left) << i;
            const int gain = out[i].left - out[i - 1].left;  // a held frame, the next one, or the next pair
            ASSERT_TRUE(gain == 0 || gain == (row.rate > 48000 ? 2 : 1)) << i;
        }
        EXPECT_GT(i, 960u) << "the reserve did not follow on";
        EXPECT_EQ(out[i - 1].left, row.last);
        EXPECT_EQ(test::Sounding({out.begin() + std::ptrdiff_t(i), out.end()}), std::vector<StereoFrame>{});
    }
}

// ---- The grace for late fragments --------------------------------------------

using test::FedRun;
using test::kPunctual;
using test::Micros;
using test::Millis;


// The system source counts on the left, the microphone on the right, so the
// sum keeps them apart.
std::vector<StereoFrame> Counting(int first, int count, bool left) {
    std::vector<StereoFrame> frames;
    for (int value = first; value < first + count; ++value) {
        frames.push_back(left ? StereoFrame{std::int16_t(value), 0} : StereoFrame{0, std::int16_t(value)});
    }
    return frames;
}
std::vector<StereoFrame> Channel(const std::vector<StereoFrame>& frames, bool left) {
    std::vector<StereoFrame> channel;
    for (const StereoFrame& frame : frames) {
        channel.push_back(left ? StereoFrame{frame.left, 0} : StereoFrame{0, frame.right});
    }
    return channel;
}

// Two 48 kHz sources: the system source whole from the first block (with its
// reserve) and on time; the microphone with `prefill` frames queued, then
// fragments, each late block short at its deadline (or empty) until `late`
// after it.
FedRun FedMixed(int prefill, const std::vector<int>& lateBlocks, Micros late, std::size_t blocks,
                bool emptyAtDeadline = false) {
    ChildProcess child = test::RunPump([=] {
        auto system = test::StreamAt(48000);
        auto microphone = test::StreamAt(48000);
        test::Queue(*system, Counting(1, 960 + int(test::kMixedReserve), true));
        test::Queue(*microphone, Counting(1, prefill, false));
        auto deliveries = test::Fragments(0, Counting(961 + int(test::kMixedReserve), 480 * 16, true));
        auto fromMicrophone = test::Fragments(1, Counting(prefill + 1, 480 * 16, false));
        for (int block : lateBlocks) {
            test::DelayBlock(fromMicrophone, 1, block, late, test::kMixedReserve, emptyAtDeadline);
        }
        deliveries.insert(deliveries.end(), fromMicrophone.begin(), fromMicrophone.end());
        test::RunFed({&system->ring, &microphone->ring}, deliveries, [&] { MixedPump(*system, *microphone, true); });
    });
    return test::ReadFedRun(child, blocks * kBlockBytes);
}

TEST(MixedPumpGrace, ALateSourceIsWaitedForAndTheOtherIsUntouched) {
    // A microphone running from the first block; one that starts mid-block
    // and whose first block after its reserve is late; and a running one
    // with nothing at all queued at a deadline, its audio having ended
    // exactly with a block.
    struct Row {
        int prefill;
        std::vector<int> lateBlocks;
        bool emptyAtDeadline;
    };
    for (const Row& row : {Row{960 + int(test::kMixedReserve), {2, 5}, false},
                           Row{int(test::kMixedReserve) + 300, {2, 4}, false},
                           Row{960 + int(test::kMixedReserve), {2, 5}, true}}) {
        SCOPED_TRACE(testing::Message() << row.prefill << (row.emptyAtDeadline ? ", empty at the deadline" : ""));
        const auto system = Counting(1, 960 + int(test::kMixedReserve) + 480 * 16, true);
        const auto microphone = Counting(1, row.prefill + 480 * 16, false);
        const FedRun run = test::PunctualRun(
            [&] { return FedMixed(row.prefill, row.lateBlocks, Millis(2), 11, row.emptyAtDeadline); }, kPunctual);
        ASSERT_EQ(run.out.size(), 960u * 11);
        EXPECT_EQ(test::Sounding(Channel(run.out, true)), system);  // whatever the timing
        EXPECT_EQ(test::Sounding(Channel(run.out, false)), microphone);
        if (run.worstLateness < kPunctual) {
            EXPECT_EQ(Channel(run.out, true), test::Placed(system, 0, run.out.size()));
            const std::size_t lead = test::StartLead(std::size_t(row.prefill), test::kMixedReserve);
            EXPECT_EQ(Channel(run.out, false), test::Placed(microphone, lead, run.out.size()));
        }
    }
}

TEST(MixedPumpGrace, ASourceLaterThanTheGraceIsPaddedAndLosesNothing) {
    const int prefill = 960 + int(test::kMixedReserve);
    const auto system = Counting(1, prefill + 480 * 16, true);
    const auto microphone = Counting(1, prefill + 480 * 16, false);
    bool padded = false;
    for (int attempt = 0; attempt < 3 && !padded; ++attempt) {  // only a stalled pump could miss the gap
        const FedRun run = FedMixed(prefill, {3}, Millis(50), 14);
        ASSERT_EQ(run.out.size(), 960u * 14);
        EXPECT_EQ(test::Sounding(Channel(run.out, true)), system);
        EXPECT_EQ(test::Sounding(Channel(run.out, false)), microphone);
        if (run.worstLateness < kPunctual) {
            EXPECT_EQ(Channel(run.out, true), test::Placed(system, 0, run.out.size()));
        }
        padded = Channel(run.out, false) != test::Placed(microphone, 0, run.out.size());
    }
    EXPECT_TRUE(padded);
}

TEST(MixedPumpGrace, APumpHeldUpWaitsForTheAudioOfBothSourcesHeldUpWithIt) {
    // Both sources' audio is held up with the pump.
    const int prefill = 960 + int(test::kMixedReserve);
    const auto system = Counting(1, prefill + 480 * 16, true);
    const auto microphone = Counting(1, prefill + 480 * 16, false);
    for (const test::HeldUp& row : test::kHeldUp) {
        SCOPED_TRACE(test::Describe(row));
        const FedRun run = test::PunctualRun(
            [&] {
                ChildProcess child = test::RunPump([&] {
                    auto systemStream = test::StreamAt(48000);
                    auto microphoneStream = test::StreamAt(48000);
                    test::Queue(*systemStream, {system.begin(), system.begin() + prefill});
                    test::Queue(*microphoneStream, {microphone.begin(), microphone.begin() + prefill});
                    auto deliveries = test::Fragments(0, {system.begin() + prefill, system.end()});
                    const auto fromMicrophone = test::Fragments(1, {microphone.begin() + prefill, microphone.end()});
                    deliveries.insert(deliveries.end(), fromMicrophone.begin(), fromMicrophone.end());
                    test::HoldDeliveries(deliveries, row.heldFrom, row.heldUntil);
                    test::RunFed({&systemStream->ring, &microphoneStream->ring}, deliveries,
                                 [&] { MixedPump(*systemStream, *microphoneStream, true); }, std::nullopt,
                                 test::PumpHold{row.holdAt, Millis(30)});
                });
                return test::ReadFedRun(child, 14 * kBlockBytes);
            },
            kPunctual);
        ASSERT_EQ(run.out.size(), 960u * 14);
        EXPECT_EQ(test::Sounding(Channel(run.out, true)), system);  // whatever the timing
        EXPECT_EQ(test::Sounding(Channel(run.out, false)), microphone);
        if (run.worstLateness < kPunctual) {
            EXPECT_EQ(Channel(run.out, true), test::Placed(system, 0, run.out.size()));
            EXPECT_EQ(Channel(run.out, false), test::Placed(microphone, 0, run.out.size()));
        }
    }
}

TEST(MixedPumpGrace, ASourceThatStopsIsWaitedForOnceAndThePaceHolds) {
    // The microphone gives a whole block and its reserve (another block),
    // then nothing; the system source never gives anything. The first empty
    // block waits out the grace, and every one after it goes out at its
    // deadline, not a grace later.
    const auto sound = test::CountingFrames(1, 960 + int(test::kMixedReserve));
    ChildProcess child = test::RunPump([&] {
        auto system = test::StreamAt(48000);
        auto microphone = test::StreamAt(48000);
        test::Queue(*microphone, sound);
        test::RunFed({&system->ring, &microphone->ring}, {}, [&] { MixedPump(*system, *microphone, true); });
    });
    test::ExpectEmptyBlocksOnTime(child, sound);
}

TEST(MixedPumpGrace, AStopDuringTheGraceEndsTheRunWithNoFurtherBlock) {
    // After a whole block 0, block 1 takes the reserve (a block in a mix),
    // and block 2 finds only the little that came after it and waits; the
    // stop comes as soon as the pump has taken what there is.
    const std::size_t prefill = 960 + test::kMixedReserve;
    const auto sound = test::CountingFrames(1, int(prefill) + 240);
    for (int attempt = 0; attempt < 3; ++attempt) {
        ChildProcess child = test::RunPump([&] {
            auto system = test::StreamAt(48000);
            auto microphone = test::StreamAt(48000);
            test::Queue(*microphone, {sound.begin(), sound.begin() + std::ptrdiff_t(prefill)});
            test::RunFed({&microphone->ring}, {{Millis(30), 0, {sound.begin() + std::ptrdiff_t(prefill), sound.end()}}},
                         [&] { MixedPump(*system, *microphone, false); },
                         test::StopWhenTaken{&microphone->ring, sound.size() * sizeof(StereoFrame)});
        });
        const auto first = test::ToFrames(child.readStdout(kBlockBytes, kPumpTimeout));
        const auto start = Clock::now();
        const FedRun rest = test::ReadFedRun(child, std::string::npos);
        EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.5);
        const auto out = test::Joined(first, rest.out);
        EXPECT_TRUE(out.empty() || out == test::Placed(sound, 0, 960) || out == test::Placed(sound, 0, 1920) ||
                    out == test::Placed(sound, 0, 2880));
        if (rest.stoppedAt < Millis(40) + kLateFragmentGrace) {  // before the grace was over
            EXPECT_LE(out.size(), 1920u);
            return;
        }
    }
}

}  // namespace
}  // namespace quorbel
