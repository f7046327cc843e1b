#include "ToolRun.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace quorbel::test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::uint32_t RateOfFormatLine(const std::string& line) {
    auto fields = Split(line, '\t');
    return fields.size() == 4 && fields[0] == "FORMAT" ? std::uint32_t(std::stoul(fields[1])) : 0;
}

}  // namespace

void ToolFixture::SetUp() {
    ASSERT_EQ(access(kTool.c_str(), X_OK), 0) << "the tool is not built: " << kTool;
    ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run me under tests/pulse/private-server.sh";
    ASSERT_FALSE(FindProgram("pactl").empty());
}

std::string FormatLine(std::uint32_t rate) { return "FORMAT\t" + std::to_string(rate) + "\t2\ts16le\n"; }
std::string CaptureLine(std::uint32_t rate) { return "CAPTURE\t" + std::to_string(rate) + "\t2\t16\tPcm"; }

void Note(const std::string& key, double value) {
    ::testing::Test::RecordProperty(key, std::to_string(value));
    std::printf("[ measured ] %s = %.3f\n", key.c_str(), value);
    std::fflush(stdout);
}

ToolCapture StartToolCapture(const std::vector<std::string>& args, std::uint32_t rate) {
    ToolCapture capture{ChildProcess::Program(kTool, args), rate};
    std::string line;
    while (line.empty() || line.back() != '\n') {
        std::string byte = capture.process.readStdout(1, 10s);
        if (byte.empty()) {
            break;
        }
        line += byte;
    }
    const std::uint32_t announced = RateOfFormatLine(line.substr(0, line.size() - 1));
    EXPECT_NE(announced, 0u) << "no FORMAT line: " << line;
    if (rate != 0) {
        EXPECT_EQ(announced, rate);
    }
    capture.rate = announced;
    EXPECT_EQ(capture.process.readStderrLine(10s), CaptureLine(announced));
    return capture;
}

std::size_t BytesFor(std::uint32_t rate, double seconds) { return std::size_t(seconds * rate) * 4; }

std::vector<double> ReadChannel(ToolCapture& capture, double seconds) {
    const std::size_t want = BytesFor(capture.rate, seconds);
    const std::string pcm = capture.process.readStdout(want, std::chrono::milliseconds(int(seconds * 3000) + 5000));
    EXPECT_EQ(pcm.size(), want) << "PCM stopped flowing";
    return Channel(Samples(pcm), 0);
}

double SteadyToneIn(ToolCapture& capture, const std::vector<double>& second, double frequency) {
    double amplitude = SteadyToneAmplitude(second, capture.rate, frequency);
    for (int more = 0; amplitude < 0 && more < 2; ++more) {
        amplitude = SteadyToneAmplitude(ReadChannel(capture, 1.0), capture.rate, frequency);
    }
    return amplitude;
}

double SecondsUntilTone(ToolCapture& capture, double frequency, double limit) {
    const auto start = Clock::now();
    while (Seconds(Clock::now() - start) < limit) {
        std::vector<double> window = ReadChannel(capture, 0.1);
        if (window.empty()) {
            return -1;
        }
        if (ToneAmplitude(window, capture.rate, frequency) > 0.05) {
            return Seconds(Clock::now() - start);
        }
    }
    return -1;
}

void ExpectCleanExit(ToolCapture& capture, const std::string& how, const std::function<void()>& stop, double bound,
                     bool keepReading) {
    std::thread reader;
    if (keepReading) {
        reader = std::thread([&] { capture.process.drainStdout(std::size_t(-1), 15000ms); });
    }
    auto start = Clock::now();
    stop();
    ExitResult exit = capture.process.wait(std::chrono::milliseconds(10000));
    double took = Seconds(Clock::now() - start);
    if (reader.joinable()) {
        reader.join();
    }
    Note("stop (" + how + ") to exit seconds", took);
    EXPECT_TRUE(exit.exited) << "signal " << exit.signal << (exit.timedOut ? " (timed out)" : "");
    EXPECT_EQ(exit.code, 0);
    EXPECT_LT(took, bound);
}

std::string Pactl(const std::vector<std::string>& args) {
    CommandResult result = RunCommand("pactl", args);
    EXPECT_EQ(result.code, 0) << "pactl failed";
    return result.output;
}

std::string ServerState() {
    return "default sink " + Pactl({"get-default-sink"}) + "sinks:\n" + Pactl({"list", "short", "sinks"}) +
           "playing:\n" + Pactl({"list", "short", "sink-inputs"}) + "recording:\n" +
           Pactl({"list", "short", "source-outputs"});
}

ScopedModule::ScopedModule(const std::string& name, const std::vector<std::string>& args) {
    std::vector<std::string> words = {"load-module", name};
    words.insert(words.end(), args.begin(), args.end());
    index = Pactl(words);
    while (!index.empty() && (index.back() == '\n' || index.back() == ' ')) {
        index.pop_back();
    }
    EXPECT_FALSE(index.empty()) << "could not load " << name;
}

void ScopedModule::unload() {
    if (!index.empty()) {
        Pactl({"unload-module", index});
        index.clear();
    }
}

ScopedModule::~ScopedModule() {
    if (!index.empty()) {
        RunCommand("pactl", {"unload-module", index});
    }
}

std::uint32_t SinkRate(const std::string& sink) {
    for (const auto& line : Split(Pactl({"list", "sinks", "short"}), '\n')) {
        auto fields = Split(line, '\t');
        if (fields.size() >= 4 && fields[1] == sink) {
            return std::uint32_t(std::stoul(Split(fields[3], ' ').back()));  // "s16le 2ch 48000Hz"
        }
    }
    return 0;
}

DefaultSinkRestore::~DefaultSinkRestore() { RunCommand("pactl", {"set-default-sink", "quorbel_out"}); }

}  // namespace quorbel::test
