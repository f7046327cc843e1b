// The system source is the system's output: it follows the default sink
// wherever the user sends it, and never falls back on a microphone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "ToolRun.h"

namespace quorbel::test {
namespace {

using namespace std::chrono_literals;

constexpr double kHeard = 0.1;   // a -6 dBFS tone reads about 0.5
constexpr double kAbsent = 0.002;

struct FollowTest : ToolFixture {
    DefaultSinkRestore restore;
};

// The tone of a sink no longer heard, measured where the capture has no holes.
void ExpectGone(ToolCapture& capture, const std::vector<double>& second, double gone, const std::string& label) {
    const double amplitude = SteadyToneIn(capture, second, gone);
    Note(label + ": the old sink's tone", amplitude);
    EXPECT_GE(amplitude, 0.0) << label << ": every tenth of three seconds had a hole";
    EXPECT_LT(amplitude, kAbsent) << label << ": the old sink is still heard";
}

// Waits for `frequency` after a switch, then checks a second of the capture
// carries it and not `gone`.
void ExpectSwitchedTo(ToolCapture& capture, double frequency, double gone, const std::string& label) {
    const double took = SecondsUntilTone(capture, frequency, 5.0);
    Note(label + ": seconds until the new sink is heard", took);
    ASSERT_GE(took, 0.0) << label << ": the new default sink was never heard; the server has:\n" << ServerState();
    capture.process.readStdout(BytesFor(capture.rate, 0.2), 5s);
    const std::vector<double> second = ReadChannel(capture, 1.0);
    EXPECT_GT(ToneAmplitude(second, capture.rate, frequency), kHeard) << label;
    ExpectGone(capture, second, gone, label);
}

TEST_F(FollowTest, TheCaptureFollowsTheDefaultSinkThereAndBack) {
    ScopedModule other("module-null-sink", {"sink_name=quorbel_other", "rate=48000", "norewinds=1"});
    auto here = PlayTone("quorbel_out", 48000, 1000.0, -6.0);
    auto there = PlayTone("quorbel_other", 48000, 1500.0, -6.0);
    std::this_thread::sleep_for(300ms);
    ToolCapture capture = StartToolCapture({"capture", "macos-system-audio"});
    capture.process.readStdout(BytesFor(capture.rate, 0.5), 5s);
    const std::vector<double> before = ReadChannel(capture, 1.0);
    EXPECT_GT(ToneAmplitude(before, capture.rate, 1000.0), kHeard);
    ExpectGone(capture, before, 1500.0, "before");

    Pactl({"set-default-sink", "quorbel_other"});
    ExpectSwitchedTo(capture, 1500.0, 1000.0, "switched");
    Pactl({"set-default-sink", "quorbel_out"});
    ExpectSwitchedTo(capture, 1000.0, 1500.0, "switched back");
    // A switch loses nothing worth telling: standard error has no message.
    ExpectCleanExit(capture, "stdin closed", [&] { capture.process.closeStdin(); });
    EXPECT_EQ(capture.process.readStderrUntilEof(2s), "");
}

TEST_F(FollowTest, ANewDefaultSinkAtAnotherRateKeepsTheFormatAndThePitch) {
    ToolCapture capture = StartToolCapture({"capture", "macos-system-audio"});
    const std::uint32_t otherRate = capture.rate == 44100 ? 48000 : 44100;
    ScopedModule late("module-null-sink",
                      {"sink_name=quorbel_late", "rate=" + std::to_string(otherRate), "norewinds=1"});
    auto tone = PlayTone("quorbel_late", otherRate, 1000.0, -6.0);
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(SinkRate("quorbel_late"), otherRate) << "the new sink does not run at another rate";
    Pactl({"set-default-sink", "quorbel_late"});
    ASSERT_GE(SecondsUntilTone(capture, 1000.0, 5.0), 0.0) << "the new default sink was never heard";
    // The stream goes on at the rate it announced; the server converts.
    const auto start = std::chrono::steady_clock::now();
    const std::vector<double> pcm = ReadChannel(capture, 2.0);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_NEAR(double(pcm.size()) / elapsed, capture.rate, capture.rate * 0.1);
    const double frequency = PeakFrequency(pcm, capture.rate, 800.0, 1200.0);
    Note("new sink at " + std::to_string(otherRate) + " Hz: frequency Hz", frequency);
    EXPECT_NEAR(frequency, 1000.0, 5.0);
    ExpectCleanExit(capture, "stdin closed", [&] { capture.process.closeStdin(); });
}

TEST_F(FollowTest, AnUnloadedSinkGivesSilenceNeverTheMicrophoneUntilAnotherIsDefault) {
    ScopedModule tapped("module-null-sink", {"sink_name=quorbel_tapped", "rate=48000", "norewinds=1"});
    Pactl({"set-default-sink", "quorbel_tapped"});
    auto system = PlayTone("quorbel_tapped", 48000, 1000.0, -6.0);
    // Were the system source to fall back on the default source, this would show.
    auto microphone = PlayTone("quorbel_mic_sink", 48000, 1500.0, -6.0);
    std::this_thread::sleep_for(300ms);
    ToolCapture capture = StartToolCapture({"capture", "macos-system-audio"});
    ASSERT_GE(SecondsUntilTone(capture, 1000.0, 5.0), 0.0);

    tapped.unload();
    // The server picks another default sink, on which nothing plays.
    const std::string fallback = Pactl({"get-default-sink"});
    ASSERT_EQ(fallback.rfind("quorbel_mic_sink", 0), std::string::npos)
        << "the server made the microphone's sink the default: this test proves nothing then";
    capture.process.readStdout(BytesFor(capture.rate, 0.5), 5s);
    const std::vector<double> after = ReadChannel(capture, 2.0);
    EXPECT_LT(ToneAmplitude(after, capture.rate, 1500.0), kAbsent) << "the system source recorded the microphone";
    EXPECT_LT(ToneAmplitude(after, capture.rate, 1000.0), kAbsent);

    ScopedModule back("module-null-sink", {"sink_name=quorbel_back", "rate=48000", "norewinds=1"});
    auto tone = PlayTone("quorbel_back", 48000, 700.0, -6.0);
    Pactl({"set-default-sink", "quorbel_back"});
    EXPECT_GE(SecondsUntilTone(capture, 700.0, 5.0), 0.0) << "the new default sink was never heard; the server has:\n"
                                                         << ServerState();
    ExpectCleanExit(capture, "stdin closed", [&] { capture.process.closeStdin(); });
}

// A sink plugged in is often made default the moment it appears (a headset
// does that). PipeWire's pulse server has been seen to keep the old default
// for a running client then, for good; rounds of it make that show.
TEST_F(FollowTest, ASinkMadeDefaultAsItAppearsIsFollowedEveryTime) {
    ToolCapture capture = StartToolCapture({"capture", "macos-system-audio"});
    const double frequencies[] = {600.0, 900.0, 1300.0, 1700.0, 600.0, 900.0, 1300.0, 1700.0};
    int round = 0;
    for (double frequency : frequencies) {
        const std::string name = "quorbel_plugged" + std::to_string(round++);
        ScopedModule plugged("module-null-sink", {"sink_name=" + name, "rate=48000", "norewinds=1"});
        auto tone = PlayTone(name, 48000, frequency, -6.0);
        Pactl({"set-default-sink", name});
        ASSERT_GE(SecondsUntilTone(capture, frequency, 5.0), 0.0)
            << name << " was never heard; the server has:\n" << ServerState();
    }
    ExpectCleanExit(capture, "stdin closed", [&] { capture.process.closeStdin(); });
}

}  // namespace
}  // namespace quorbel::test
