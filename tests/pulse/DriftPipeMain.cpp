// quorbel_drift_pipe: the drifting test devices and the signal players, for
// the bench scripts. Each command runs until SIGINT or SIGTERM, cleans up
// (a module it loaded is unloaded) and reports on stderr.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "DriftDevices.h"

namespace quorbel::test {
namespace {

constexpr const char* kUsage =
    "usage: quorbel_drift_pipe COMMAND ARGS...\n"
    "  read FIFO PPM [PIPE_BYTES]       read a pipe sink's FIFO as a device PPM off the host clock\n"
    "  write FIFO PPM SIGNAL            write a pipe source's FIFO as such a device would record SIGNAL\n"
    "  sink NAME PPM [PIPE_BYTES]       load a pipe sink NAME and read it (read)\n"
    "  microphone NAME PPM SIGNAL       load a pipe source NAME and write SIGNAL into it (write)\n"
    "  play SINK RATE PPM SIGNAL        play SIGNAL without a break into SINK, whose clock is PPM off\n"
    "  play-timed SINK RATE SIGNAL      write each burst of SIGNAL at its host time (~10 ms buffer)\n"
    "SIGNAL: tone:FREQ:DBFS or bursts:FREQ:DBFS:PERIOD_MS:LENGTH_MS (onsets on multiples of\n"
    "PERIOD_MS of CLOCK_MONOTONIC). Runs until SIGINT or SIGTERM.\n";

using Args = std::vector<std::string>;

struct Parsed {
    bool ok = true;
    double ppm = 0;
    std::uint32_t rate = 0;
    Signal signal;
};

void ParseNumberInto(const std::string& text, double& out, Parsed& parsed) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    parsed.ok = parsed.ok && !text.empty() && *end == '\0';
}

void ParseSignalInto(const std::string& text, Parsed& parsed) {
    auto signal = ParseSignal(text);
    parsed.ok = parsed.ok && signal.has_value();
    if (signal) {
        parsed.signal = *signal;
    }
}

void ParseRateInto(const std::string& text, Parsed& parsed) {
    double rate = 0;
    ParseNumberInto(text, rate, parsed);
    parsed.ok = parsed.ok && rate >= 8000 && rate <= 192000;
    parsed.rate = std::uint32_t(rate);
}

int ReportError(const std::string& error) {
    if (!error.empty()) {
        std::fprintf(stderr, "quorbel_drift_pipe: %s\n", error.c_str());
    }
    return error.empty() ? 0 : 1;
}

// The optional PIPE_BYTES argument of read and sink.
std::optional<int> PipeBytes(const Args& a, Parsed& p) {
    double pipeBytes = kSinkPipeBytes;
    if (a.size() == 3) {
        ParseNumberInto(a[2], pipeBytes, p);
    }
    p.ok = p.ok && pipeBytes >= 4096 && pipeBytes <= 1 << 20;
    return p.ok ? std::optional<int>(int(pipeBytes)) : std::nullopt;
}

int Read(const Args& a, Parsed& p) {
    auto pipeBytes = PipeBytes(a, p);
    if (!pipeBytes) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return ReportDevice(ReadPipeAsDevice(a[0], p.ppm, *pipeBytes));
}

int Sink(const Args& a, Parsed& p) {
    auto pipeBytes = PipeBytes(a, p);
    if (!pipeBytes) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string error;
    auto module = LoadPipeSink(a[0], &error);
    if (!module) {
        return ReportError(error);
    }
    std::printf("sink %s fifo %s\n", module->name.c_str(), module->fifo.c_str());
    std::fflush(stdout);
    return ReportDevice(ReadPipeAsDevice(module->fifo, p.ppm, *pipeBytes));
}

int Microphone(const Args& a, Parsed& p) {
    std::string error;
    auto module = LoadPipeSource(a[0], &error);
    if (!module) {
        return ReportError(error);
    }
    std::printf("source %s fifo %s\n", module->name.c_str(), module->fifo.c_str());
    std::fflush(stdout);
    return ReportDevice(WritePipeAsDevice(module->fifo, p.ppm, p.signal));
}

struct Command {
    std::size_t minArgs;
    std::size_t maxArgs;
    std::function<void(const Args&, Parsed&)> parse;
    std::function<int(const Args&, Parsed&)> run;
};

const std::map<std::string, Command>& Commands() {
    static const std::map<std::string, Command> commands = {
        {"read", {2, 3, [](const Args& a, Parsed& p) { ParseNumberInto(a[1], p.ppm, p); }, Read}},
        {"write",
         {3, 3,
          [](const Args& a, Parsed& p) {
              ParseNumberInto(a[1], p.ppm, p);
              ParseSignalInto(a[2], p);
          },
          [](const Args& a, Parsed& p) { return ReportDevice(WritePipeAsDevice(a[0], p.ppm, p.signal)); }}},
        {"sink", {2, 3, [](const Args& a, Parsed& p) { ParseNumberInto(a[1], p.ppm, p); }, Sink}},
        {"microphone",
         {3, 3,
          [](const Args& a, Parsed& p) {
              ParseNumberInto(a[1], p.ppm, p);
              ParseSignalInto(a[2], p);
          },
          Microphone}},
        {"play",
         {4, 4,
          [](const Args& a, Parsed& p) {
              ParseRateInto(a[1], p);
              ParseNumberInto(a[2], p.ppm, p);
              ParseSignalInto(a[3], p);
          },
          [](const Args& a, Parsed& p) { return ReportError(PlayContinuous(a[0], p.rate, p.ppm, p.signal)); }}},
        {"play-timed",
         {3, 3,
          [](const Args& a, Parsed& p) {
              ParseRateInto(a[1], p);
              ParseSignalInto(a[2], p);
          },
          [](const Args& a, Parsed& p) { return ReportError(PlayTimedBursts(a[0], p.rate, p.signal)); }}},
    };
    return commands;
}

int Main(int argc, char** argv) {
    if (argc < 2 || Commands().count(argv[1]) == 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const Command& command = Commands().at(argv[1]);
    const Args args(argv + 2, argv + argc);
    Parsed parsed;
    if (args.size() < command.minArgs || args.size() > command.maxArgs) {
        parsed.ok = false;
    } else {
        command.parse(args, parsed);
    }
    if (!parsed.ok) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    InstallDeviceStopHandler();
    return command.run(args, parsed);
}

}  // namespace
}  // namespace quorbel::test

int main(int argc, char** argv) { return quorbel::test::Main(argc, argv); }
