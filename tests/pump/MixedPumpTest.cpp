#include <gtest/gtest.h>

#include <signal.h>

#include "capture/Capture.h"
#include "pump/Pump.h"
#include "pump/PumpTestSupport.h"

namespace quorbel {
namespace {

using test::ChildProcess;
using test::kPumpTimeout;

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
    // Both sources are starting, so their three frames close the block.
    std::vector<StereoFrame> system = {{30000, -30000}, {32767, 100}, {-5, 5}};
    std::vector<StereoFrame> microphone = {{10000, -10000}, {-1, -100}, {7, -7}};
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
    const auto frames = test::CountingFrames(1, 960);
    const Source silentSystem{0.2, test::CountingFrames(5000, 960)};
    ChildProcess child = RunMixed({48000, frames}, &silentSystem);
    EXPECT_EQ(ReadBlocks(child, 1), frames);
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

}  // namespace
}  // namespace quorbel
