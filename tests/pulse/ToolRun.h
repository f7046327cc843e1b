// Running the real tool against the private server: a capture whose header
// lines are checked, timed reads of its PCM, and server commands.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "PulseTestSupport.h"

namespace quorbel::test {

inline const std::string kTool = QUORBEL_BINARY;

// Tests of the real tool: it is built, and a private server and pactl are there.
struct ToolFixture : ::testing::Test {
    void SetUp() override;
};

std::string FormatLine(std::uint32_t rate);
std::string CaptureLine(std::uint32_t rate);
// Records a measured figure in the test's output and its XML report.
void Note(const std::string& key, double value);

struct ToolCapture {
    ChildProcess process;
    std::uint32_t rate = 0;
};
// Starts the tool with args and checks its FORMAT and CAPTURE lines, at
// `rate` when given, at whatever rate it announces otherwise.
ToolCapture StartToolCapture(const std::vector<std::string>& args, std::uint32_t rate = 0);
std::size_t BytesFor(std::uint32_t rate, double seconds);
// One channel of the next `seconds` of PCM.
std::vector<double> ReadChannel(ToolCapture& capture, double seconds);
// Reads PCM until `frequency` sounds in a 100 ms window; the seconds that
// took, or a negative number when it did not within `limit` seconds.
double SecondsUntilTone(ToolCapture& capture, double frequency, double limit);
// How loud `frequency` is in `second` of the capture (SteadyToneAmplitude),
// or, were every tenth of it holed (PipeWire's monitors have holes of their
// own), in one of the next two seconds; negative when all three were.
double SteadyToneIn(ToolCapture& capture, const std::vector<double>& second, double frequency);
// Asks the capture to stop in some way and checks that it ends with status 0
// within `bound` seconds; standard output is read meanwhile, as the
// application would, unless the way of stopping is to close it.
void ExpectCleanExit(ToolCapture& capture, const std::string& how, const std::function<void()>& stop,
                     double bound = 3.0, bool keepReading = true);

// pactl with args; its output. The test fails when pactl does.
std::string Pactl(const std::vector<std::string>& args);

// The default sink, the sinks, and what plays and records: for failure messages.
std::string ServerState();

// The rate a sink runs at now, from pactl's short list; 0 when it is not there.
std::uint32_t SinkRate(const std::string& sink);

// A module loaded for the life of the object.
struct ScopedModule {
    ScopedModule(const std::string& name, const std::vector<std::string>& args);
    ~ScopedModule();
    ScopedModule(const ScopedModule&) = delete;
    ScopedModule& operator=(const ScopedModule&) = delete;
    void unload();
    std::string index;
};

// Puts the default sink back as the server started with it when it goes.
struct DefaultSinkRestore {
    ~DefaultSinkRestore();
};

}  // namespace quorbel::test
