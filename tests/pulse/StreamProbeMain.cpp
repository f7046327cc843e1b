// quorbel_stream_probe: runs the tool and/or parec side by side, reads their
// standard output as it arrives and prints what the bench scripts compare:
// holes, pace against the host clock, start-up time, drop lines, burst
// latencies and the offset between two sources' bursts. One "LABEL KEY
// VALUE..." line per figure on standard output.
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DriftDevices.h"
#include "MachineWatch.h"
#include "PulseTestSupport.h"
#include "StreamMeasure.h"

namespace quorbel::test {
namespace {

constexpr const char* kUsage =
    "usage: quorbel_stream_probe [OPTIONS] STREAM...\n"
    "STREAM: tool:LABEL:COMMAND        output opens with the FORMAT line (the tool)\n"
    "        raw:RATE:LABEL:COMMAND    raw s16le stereo at RATE (parec --raw)\n"
    "        COMMAND is split at spaces.\n"
    "OPTIONS:\n"
    "  --seconds S        how long to measure (default 10)\n"
    "  --hole-frames N    shortest hole counted, in frames (default 4)\n"
    "  --events F[,F]     find tone bursts at these frequencies (Hz)\n"
    "  --event-dbfs L     their level (default -6)\n"
    "  --period-ms P      bursts start on multiples of P ms of CLOCK_MONOTONIC: report latencies\n"
    "  --pair-offsets     report the offset of the second frequency's bursts from the first's\n"
    "  --every S          print that offset every S seconds too (default 60)\n"
    "  --until-sound      stop once every stream has sounded (start-up runs)\n";

struct Options {
    double seconds = 10;
    AnalysisOptions analysis;
    std::int64_t periodNs = 0;
    bool pairOffsets = false;
    double everySeconds = 60;
    bool untilSound = false;
};

struct StreamSpec {
    bool tool = true;
    std::uint32_t rate = 0;
    std::string label;
    std::vector<std::string> command;
};

struct StreamRun {
    StreamSpec spec;
    std::int64_t spawnNs = 0;
    std::optional<ChildProcess> process;
    FormatHeader header;
    std::unique_ptr<StreamAnalysis> analysis;
    std::string standardError;
    ExitResult exit;
};

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    for (auto& word : Split(text, ' ')) {
        if (!word.empty()) {
            words.push_back(word);
        }
    }
    return words;
}

// The text split at its first `count` colons: count + 1 parts at most.
std::vector<std::string> SplitAtColons(const std::string& text, std::size_t count) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at; parts.size() < count && (at = text.find(':', start)) != std::string::npos; start = at + 1) {
        parts.push_back(text.substr(start, at - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::optional<StreamSpec> ParseStream(const std::string& text) {
    StreamSpec spec;
    std::vector<std::string> parts = SplitAtColons(text, 2);
    if (parts.size() == 3 && parts[0] == "raw") {
        parts = SplitAtColons(text, 3);
        spec.tool = false;
        spec.rate = parts.size() == 4 ? std::uint32_t(std::strtoul(parts[1].c_str(), nullptr, 10)) : 0;
    } else if (parts.size() != 3 || parts[0] != "tool") {
        return std::nullopt;
    }
    spec.label = parts[parts.size() - 2];
    spec.command = Words(parts.back());
    if (spec.label.empty() || spec.command.empty() || (!spec.tool && spec.rate == 0)) {
        return std::nullopt;
    }
    return spec;
}

bool ParseOption(const std::string& name, const std::string& value, Options& options) {
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    const bool numeric = !value.empty() && *end == '\0';
    if (name == "--seconds" && numeric && number > 0) {
        options.seconds = number;
    } else if (name == "--hole-frames" && numeric && number >= 1) {
        options.analysis.holeFrames = std::uint64_t(number);
    } else if (name == "--events") {
        for (const auto& frequency : Split(value, ',')) {
            options.analysis.eventFrequencies.push_back(std::strtod(frequency.c_str(), nullptr));
        }
    } else if (name == "--event-dbfs" && numeric) {
        options.analysis.eventDbfs = number;
    } else if (name == "--period-ms" && numeric && number > 0) {
        options.periodNs = std::int64_t(number * 1e6);
    } else if (name == "--every" && numeric && number > 0) {
        options.everySeconds = number;
    } else {
        return false;
    }
    return true;
}

bool ParseArguments(int argc, char** argv, Options& options, std::vector<StreamSpec>& streams) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pair-offsets") {
            options.pairOffsets = true;
        } else if (arg == "--until-sound") {
            options.untilSound = true;
        } else if (arg.rfind("--", 0) == 0) {
            if (i + 1 >= argc || !ParseOption(arg, argv[i + 1], options)) {
                return false;
            }
            ++i;
        } else if (auto spec = ParseStream(arg)) {
            streams.push_back(*spec);
        } else {
            return false;
        }
    }
    const bool pairable = !options.pairOffsets || options.analysis.eventFrequencies.size() >= 2;
    return !streams.empty() && pairable;
}

void Start(StreamRun& run) {
    std::string program = run.spec.command[0];
    if (program.find('/') == std::string::npos) {
        program = FindProgram(program);
    }
    const std::vector<std::string> args(run.spec.command.begin() + 1, run.spec.command.end());
    run.spawnNs = MonotonicNs();
    run.process.emplace(ChildProcess::Program(program, args));
}

bool Begin(StreamRun& run, const Options& options) {
    if (run.spec.tool) {
        run.header = ReadFormatHeader(*run.process, Millis(10000));
        if (!run.header.ok) {
            return false;
        }
        run.analysis = std::make_unique<StreamAnalysis>(run.header.rate, run.header.arrivalNs, options.analysis);
        run.analysis->feed(run.header.rest, run.header.arrivalNs);
        return true;
    }
    // parec has no header: its pace counts from its first delivery.
    bool ended = false;
    std::string first;
    while (first.empty() && !ended && MonotonicNs() - run.spawnNs < 10'000'000'000) {
        first = run.process->readStdoutAvailable(1 << 16, Millis(100), &ended);
    }
    const std::int64_t now = MonotonicNs();
    run.analysis = std::make_unique<StreamAnalysis>(run.spec.rate, now, options.analysis);
    run.analysis->feed(first, now);
    return !first.empty();
}

void Measure(StreamRun& run, const Options& options, std::int64_t endNs) {
    if (!Begin(run, options)) {
        return;
    }
    bool ended = false;
    while (!ended) {
        std::string chunk = run.process->readStdoutAvailable(1 << 16, Millis(100), &ended);
        const std::int64_t now = MonotonicNs();
        if (now >= endNs || (options.untilSound && run.analysis->firstSoundNs)) {
            break;
        }
        run.analysis->feed(chunk, now);
    }
}

// The tool stops when its standard input closes, as the application does it;
// parec on SIGTERM. Output is drained meanwhile so that neither blocks.
void Stop(StreamRun& run) {
    ChildProcess& process = *run.process;
    if (run.spec.tool) {
        process.closeStdin();
    } else {
        process.sendSignal(SIGTERM);
    }
    process.drainStdout(std::size_t(-1), Millis(5000));
    run.standardError = process.readStderrUntilEof(Millis(2000));
    run.exit = process.wait(Millis(5000));
}

void RunStream(StreamRun& run, const Options& options, std::int64_t endNs) {
    Measure(run, options, endNs);
    Stop(run);
}

void Print(const StreamRun& run, const std::string& key, double value, const char* format = "%.3f") {
    std::printf("%s %s ", run.spec.label.c_str(), key.c_str());
    std::printf(format, value);
    std::printf("\n");
}

void PrintHoles(const StreamRun& run) {
    const auto& holes = run.analysis->holes.holes();
    const double rate = run.analysis->rate;
    Print(run, "holes", double(holes.size()), "%.0f");
    double longest = 0;
    for (std::size_t i = 0; i < holes.size(); ++i) {
        longest = std::max(longest, HoleMs(holes[i], rate));
        if (i < 20) {
            std::printf("%s hole %.3f %.3f\n", run.spec.label.c_str(), double(holes[i].frame) / rate,
                        HoleMs(holes[i], rate));
        }
    }
    Print(run, "longest_hole_ms", longest);
}

void PrintPace(const StreamRun& run) {
    const StreamAnalysis& analysis = *run.analysis;
    const double block = FramesPerBlock(analysis.rate);
    Print(run, "rate", analysis.rate, "%.0f");
    Print(run, "seconds", double(analysis.frames) / analysis.rate);
    Print(run, "pace_ahead_blocks", analysis.pace.aheadFrames() / block);
    Print(run, "pace_behind_blocks", analysis.pace.behindFrames() / block);
    Print(run, "pace_caught_up_behind_blocks", analysis.pace.caughtUpBehindFrames() / block);
    Print(run, "rate_ppm", analysis.pace.ratePpm(), "%.1f");
    const auto frames = analysis.arrivals.deliveryFrames();
    const auto gaps = analysis.arrivals.deliveryGapsMs();
    Print(run, "delivery_frames_p50", Percentile(frames, 0.5), "%.0f");
    Print(run, "delivery_frames_max", Percentile(frames, 1.0), "%.0f");
    Print(run, "delivery_gap_ms_p50", Percentile(gaps, 0.5));
    Print(run, "delivery_gap_ms_p99", Percentile(gaps, 0.99));
    Print(run, "delivery_gap_ms_max", Percentile(gaps, 1.0));
}

void PrintStart(const StreamRun& run) {
    if (run.spec.tool) {
        Print(run, "format_ms", double(run.header.arrivalNs - run.spawnNs) / 1e6);
    }
    if (run.analysis->firstSoundNs) {
        Print(run, "first_sound_ms", double(*run.analysis->firstSoundNs - run.spawnNs) / 1e6);
    }
}

// Latency that creeps up shows here, not in the percentiles: one burst's
// figure every so often, at the burst's place in the run.
void PrintLatencySeries(const StreamRun& run, const std::vector<double>& latencies, const Options& options) {
    const double periodSeconds = double(options.periodNs) / 1e9;
    double nextReport = 0;
    for (std::size_t i = 0; i < latencies.size(); ++i) {
        const double seconds = double(i) * periodSeconds;
        if (seconds >= nextReport) {
            std::printf("%s latency_at %.1f %.3f\n", run.spec.label.c_str(), seconds, latencies[i]);
            nextReport = seconds + options.everySeconds;
        }
    }
}

void PrintEvents(const StreamRun& run, const Options& options) {
    const auto& events = run.analysis->events;
    for (const auto& detector : events) {
        Print(run, "events_" + std::to_string(std::lround(detector.frequency())), double(detector.onsets().size()),
              "%.0f");
        if (options.periodNs > 0) {
            auto latencies = OnsetLatenciesMs(detector, run.analysis->arrivals, options.periodNs);
            Print(run, "latency_p50_ms", Percentile(latencies, 0.5));
            Print(run, "latency_p95_ms", Percentile(latencies, 0.95));
            Print(run, "latency_max_ms", Percentile(latencies, 1.0));
            PrintLatencySeries(run, latencies, options);
        }
    }
    if (!options.pairOffsets || events.size() < 2) {
        return;
    }
    const double maxApartMs = options.periodNs > 0 ? double(options.periodNs) / 2e6 : 400.0;
    OffsetSummary offsets = PairOffsets(events[0], events[1], run.analysis->rate, maxApartMs);
    Print(run, "offset_pairs", double(offsets.pairs), "%.0f");
    Print(run, "offset_start_ms", offsets.startMs);
    Print(run, "offset_max_change_ms", offsets.maxChangeMs);
    Print(run, "offset_end_change_ms", offsets.endChangeMs);
    double nextReport = 0;
    for (const auto& [seconds, offset] : offsets.series) {
        if (seconds >= nextReport) {
            std::printf("%s offset_at %.1f %.3f\n", run.spec.label.c_str(), seconds, offset);
            nextReport = seconds + options.everySeconds;
        }
    }
}

void PrintResults(const StreamRun& run, const Options& options) {
    if (!run.analysis) {
        std::printf("%s failed %s\n", run.spec.label.c_str(),
                    run.spec.tool ? ("no FORMAT line: '" + run.header.line + "'").c_str() : "no output");
        std::fprintf(stderr, "%s standard error:\n%s\n", run.spec.label.c_str(), run.standardError.c_str());
        return;
    }
    PrintStart(run);
    PrintPace(run);
    PrintHoles(run);
    if (run.spec.tool) {
        const Drops drops = ParseDrops(run.standardError);
        Print(run, "drops", double(drops.system), "%.0f");
        Print(run, "microphone_drops", double(drops.microphone), "%.0f");
    }
    PrintEvents(run, options);
    Print(run, "exit", run.exit.exited ? run.exit.code : -run.exit.signal, "%.0f");
}

// A hole the tool shows and parec does not, or shows shorter, was the
// tool's; one parec shows too was in the monitor's audio already. Beside
// each, the longest parec waited for its audio about then (a long wait is a
// stall of the server) and the longest the machine stalled about then.
void PrintOwnHoles(const StreamRun& tool, const StreamRun& reference, const std::vector<MachineStall>& stalls) {
    constexpr std::int64_t kSameHoleNs = 100'000'000;  // the two latencies differ by far less
    constexpr std::int64_t kAboutThenNs = 500'000'000;
    const auto own = HolesNotIn(*tool.analysis, *reference.analysis, kSameHoleNs);
    const char* label = tool.spec.label.c_str();
    std::printf("%s own_holes %zu (not in %s's)\n", label, own.size(), reference.spec.label.c_str());
    for (std::size_t i = 0; i < own.size() && i < 20; ++i) {
        const double gap = reference.analysis->arrivals.longestGapMs(own[i].arrivalNs - kAboutThenNs,
                                                                     own[i].arrivalNs + kAboutThenNs);
        const double stall = LongestStallMs(stalls, own[i].arrivalNs - kAboutThenNs, own[i].arrivalNs + kAboutThenNs);
        std::printf("%s own_hole %.3f %.3f %s_gap_ms %.1f machine_stall_ms %.1f\n", label,
                    double(own[i].hole.frame) / tool.analysis->rate, HoleMs(own[i].hole, tool.analysis->rate),
                    reference.spec.label.c_str(), gap, stall);
    }
}

// The machine's stalls over the run, as a watch at real-time priority saw
// them (when the machine allowed it one): those longer than the tool's cover.
void PrintMachine(const std::vector<MachineStall>& stalls, bool realTime) {
    std::printf("machine watch %s\n", realTime ? "real-time" : "time-shared");
    std::printf("machine stalls_20ms %zu\n", StallsOf(stalls, 20.0));
    std::printf("machine longest_stall_ms %.1f\n", LongestStallMs(stalls));
}

void PrintComparisons(const std::vector<StreamRun>& runs, const std::vector<MachineStall>& stalls) {
    for (const auto& tool : runs) {
        for (const auto& reference : runs) {
            if (tool.spec.tool && !reference.spec.tool && tool.analysis && reference.analysis) {
                PrintOwnHoles(tool, reference, stalls);
            }
        }
    }
}

int Main(int argc, char** argv) {
    Options options;
    std::vector<StreamSpec> specs;
    if (!ParseArguments(argc, argv, options, specs)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::vector<StreamRun> runs(specs.size());
    for (std::size_t i = 0; i < specs.size(); ++i) {
        runs[i].spec = specs[i];
        Start(runs[i]);
    }
    const std::int64_t endNs = MonotonicNs() + std::int64_t(options.seconds * 1e9);
    MachineWatch machine(true);
    std::vector<std::thread> readers;
    for (auto& run : runs) {
        readers.emplace_back([&run, &options, endNs] { RunStream(run, options, endNs); });
    }
    for (auto& reader : readers) {
        reader.join();
    }
    const std::vector<MachineStall>& stalls = machine.stop();
    for (const auto& run : runs) {
        PrintResults(run, options);
    }
    PrintMachine(stalls, machine.realTime());
    PrintComparisons(runs, stalls);
    return 0;
}

}  // namespace
}  // namespace quorbel::test

int main(int argc, char** argv) { return quorbel::test::Main(argc, argv); }
