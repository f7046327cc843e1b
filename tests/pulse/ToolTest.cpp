// The real tool against the private sound server: listings, captures of
// played tones, the ways a capture stops, and the server's devices (or the
// server itself) going away.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <thread>

#include "ToolRun.h"

namespace quorbel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kToneDbfs = -6.0;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Reads `seconds` of PCM, timing it; returns the bytes and notes the rate.
std::string ReadTimed(ToolCapture& capture, double seconds, const std::string& label) {
    std::size_t want = BytesFor(capture.rate, seconds);
    auto start = Clock::now();
    std::string pcm = capture.process.readStdout(want, std::chrono::milliseconds(int(seconds * 3000) + 5000));
    double elapsed = Seconds(Clock::now() - start);
    EXPECT_EQ(pcm.size(), want) << "PCM stopped flowing";
    double rate = double(pcm.size()) / elapsed;
    Note(label + " PCM bytes per second", rate);
    double expected = capture.rate * 4.0;
    EXPECT_NEAR(rate, expected, expected * 0.10) << "PCM does not arrive at the FORMAT rate";
    return pcm;
}

struct ToolTest : ToolFixture {};

TEST_F(ToolTest, ListInputsShowsEverySourceAndNoSink) {
    auto child = ChildProcess::Program(kTool, {"list-inputs"});
    std::string out = child.readStdoutUntilEof(10s);
    std::string err = child.readStderrUntilEof(2s);
    ExitResult exit = child.wait(5000ms);
    ASSERT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, 0);
    EXPECT_EQ(err, "");

    std::map<std::string, std::string> inputs;  // UID -> name
    for (const auto& line : Split(out, '\n')) {
        if (line.empty()) {
            continue;
        }
        auto fields = Split(line, '\t');
        ASSERT_EQ(fields.size(), 3u) << line;
        ASSERT_EQ(fields[0], "INPUT") << line;
        inputs[Base64Decode(fields[1])] = Base64Decode(fields[2]);
    }
    EXPECT_EQ(inputs["quorbel_out.monitor"], "Monitor of QuorbelOut");
    EXPECT_EQ(inputs["quorbel_mic_sink.monitor"], "Monitor of QuorbelMicSink");
    EXPECT_EQ(inputs["quorbel_mic"], "QuorbelMic");
    EXPECT_EQ(inputs.count("quorbel_out"), 0u) << "a sink was listed as an input";
    EXPECT_EQ(inputs.count("quorbel_mic_sink"), 0u) << "a sink was listed as an input";
}

TEST_F(ToolTest, AuthorizeMicrophoneSucceedsSilently) {
    auto child = ChildProcess::Program(kTool, {"authorize-microphone"});
    child.closeStdin();
    EXPECT_EQ(child.readStdoutUntilEof(10s), "");
    EXPECT_EQ(child.readStderrUntilEof(2s), "");
    ExitResult exit = child.wait(5000ms);
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, 0);
}

TEST_F(ToolTest, SystemAudioCarriesThePlayedTone) {
    auto player = PlayTone("quorbel_out", 44100, 1000.0, kToneDbfs);
    std::this_thread::sleep_for(300ms);
    ToolCapture capture = StartToolCapture({"capture", "macos-system-audio"}, 44100);
    std::string start = capture.process.readStdout(BytesFor(44100, 1.0), 10s);
    std::string pcm = start + ReadTimed(capture, 4.0, "system");
    auto samples = Samples(pcm);

    std::size_t first = FirstSoundFrame(samples);
    EXPECT_LT(first, 44100u * 3 / 2) << "the tone took too long to appear";
    std::size_t gap = LongestSilentRun(samples, first);
    Note("system longest silent run after start (ms)", gap * 1000.0 / 44100);
    EXPECT_LT(gap, 44100u / 5) << "the tone has holes";

    for (int channel = 0; channel < 2; ++channel) {
        auto signal = Channel(samples, channel, 44100 * 2);
        double frequency = PeakFrequency(signal, 44100, 800.0, 1200.0);
        double level = SinePeakDbfs(signal);
        Note("system channel " + std::to_string(channel) + " frequency Hz", frequency);
        Note("system channel " + std::to_string(channel) + " level dBFS", level);
        EXPECT_NEAR(frequency, 1000.0, 20.0);
        EXPECT_NEAR(level, kToneDbfs, 1.5);
    }
    ExpectCleanExit(capture, "stdin closed", [&] { capture.process.closeStdin(); });
}

TEST_F(ToolTest, MicrophoneCarriesThePlayedTone) {
    auto player = PlayTone("quorbel_mic_sink", 48000, 700.0, kToneDbfs);
    std::this_thread::sleep_for(300ms);
    ToolCapture capture = StartToolCapture({"capture-mixed", "__none__", "quorbel_mic"}, 48000);
    std::string pcm = capture.process.readStdout(BytesFor(48000, 1.0), 10s) + ReadTimed(capture, 3.0, "microphone");
    auto samples = Samples(pcm);
    auto signal = Channel(samples, 0, 48000 * 2);
    double frequency = PeakFrequency(signal, 48000, 560.0, 840.0);
    Note("microphone frequency Hz", frequency);
    EXPECT_NEAR(frequency, 700.0, 14.0);
    EXPECT_GT(ToneAmplitude(signal, 48000, 700.0), 0.05);
    ExpectCleanExit(capture, "stdin closed", [&] { capture.process.closeStdin(); });
}

TEST_F(ToolTest, MixedCaptureCarriesBothSources) {
    auto system = PlayTone("quorbel_out", 44100, 440.0, -12.0);
    auto microphone = PlayTone("quorbel_mic_sink", 48000, 1500.0, -12.0);
    std::this_thread::sleep_for(300ms);
    ToolCapture capture = StartToolCapture({"capture-mixed", "macos-system-audio", "quorbel_mic"}, 48000);
    std::string pcm = capture.process.readStdout(BytesFor(48000, 1.0), 10s) + ReadTimed(capture, 3.0, "mixed");
    auto samples = Samples(pcm);
    auto signal = Channel(samples, 0, 48000 * 2);
    double systemTone = ToneAmplitude(signal, 48000, 440.0);
    double microphoneTone = ToneAmplitude(signal, 48000, 1500.0);
    double elsewhere = ToneAmplitude(signal, 48000, 1000.0);
    Note("mixed 440 Hz amplitude", systemTone);
    Note("mixed 1500 Hz amplitude", microphoneTone);
    Note("mixed 1000 Hz amplitude", elsewhere);
    EXPECT_GT(systemTone, 0.03) << "the system tone is missing";
    EXPECT_GT(microphoneTone, 0.03) << "the microphone tone is missing";
    EXPECT_LT(elsewhere, std::min(systemTone, microphoneTone) / 10.0);
    ExpectCleanExit(capture, "stdin closed", [&] { capture.process.closeStdin(); });
}

TEST_F(ToolTest, StopsAtEndOfStandardInput) {
    ToolCapture capture = StartToolCapture({"capture", "macos-system-audio"}, 44100);
    capture.process.readStdout(BytesFor(44100, 0.5), 10s);
    ExpectCleanExit(capture, "stdin closed", [&] { capture.process.closeStdin(); });
}

TEST_F(ToolTest, StopsOnTerminationSignalWithStandardInputOpen) {
    ToolCapture capture = StartToolCapture({"capture-mixed", "macos-system-audio", "quorbel_mic"}, 48000);
    capture.process.readStdout(BytesFor(48000, 0.5), 10s);
    ExpectCleanExit(capture, "SIGTERM", [&] { capture.process.sendSignal(SIGTERM); });
}

TEST_F(ToolTest, StopsWhenTheReaderClosesStandardOutput) {
    ToolCapture capture = StartToolCapture({"capture", "macos-system-audio"}, 44100);
    capture.process.readStdout(BytesFor(44100, 0.5), 10s);
    ExpectCleanExit(capture, "stdout closed", [&] { capture.process.closeStdout(); }, 3.0, false);
}

TEST_F(ToolTest, StopsOnTerminationSignalWhileTheReaderStalls) {
    ToolCapture capture = StartToolCapture({"capture", "macos-system-audio"}, 44100);
    std::this_thread::sleep_for(1500ms);  // the pipe fills up and the pump blocks in write
    ExpectCleanExit(capture, "SIGTERM, reader stalled", [&] { capture.process.sendSignal(SIGTERM); }, 3.0, false);
}

TEST_F(ToolTest, UnknownMicrophoneIsReported) {
    auto child = ChildProcess::Program(kTool, {"capture-mixed", "__none__", "quorbel_no_such_microphone"});
    EXPECT_EQ(child.readStderrUntilEof(10s), "Microfono selezionato non disponibile: '!dev' (560227702)\n");
    EXPECT_EQ(child.readStdoutUntilEof(2s), "");
    ExitResult exit = child.wait(5000ms);
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, 1);
}

TEST_F(ToolTest, NoServerFailsPromptly) {
    ScopedEnv server("PULSE_SERVER", "unix:/nonexistent-quorbel-test/native");
    auto start = Clock::now();
    auto child = ChildProcess::Program(kTool, {"capture", "macos-system-audio"});
    std::string err = child.readStderrUntilEof(20s);
    std::string out = child.readStdoutUntilEof(2s);
    ExitResult exit = child.wait(5000ms);
    Note("no server: seconds to fail", Seconds(Clock::now() - start));
    EXPECT_EQ(err.rfind("Impossibile creare il tap audio di sistema: 'stop'", 0), 0u) << err;
    EXPECT_EQ(out, "");
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, 1);
    EXPECT_LT(Seconds(Clock::now() - start), 10.0);
}

}  // namespace
}  // namespace quorbel::test
