#include "DriftDevices.h"

#include <fcntl.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <functional>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <utility>
#include <vector>

#include "PulseTestSupport.h"
#include "StreamMeasure.h"

namespace quorbel::test {

std::atomic<bool> gDeviceStop{false};

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::int64_t kNsPerMs = 1'000'000;
// How often the device ends move audio: small next to the tool's 20 ms blocks.
constexpr std::int64_t kTickNs = 5 * kNsPerMs;
constexpr std::uint64_t kTickFrames = kDriftRate / 200;
// The sink's FIFO carries 32-bit float frames: its one page then holds 512
// frames, and the sink renders at most 10.7 ms at a time, as a sound card's
// period would; at 16 bits it rendered 21 ms bursts, rougher than hardware.
constexpr std::uint32_t kBytesPerFrame = 8;
// A sink may owe the reader this much for a while: it renders in pieces,
// and a busy machine may hold up the server or the reader itself (a real
// device never waits). Beyond it the device has underrun and moves on.
constexpr std::uint64_t kReaderDebtFrames = kDriftRate / 5;
// A microphone nobody records from overwrites its buffer: only the newest
// 10 ms wait (PulseAudio reads a pipe source only while it records).
constexpr std::size_t kWriterBacklogFrames = kDriftRate / 100;
// While the server reads, it may fall behind for a while, as it may with a
// sound card, whose buffer outlasts a stall of tens of milliseconds; the
// pipe alone (21 ms) would lose audio there that no real device loses. A
// source that has taken nothing for 100 ms is not recording.
constexpr std::size_t kRecordedBacklogFrames = kDriftRate / 5;
constexpr std::int64_t kNotRecordingNs = 100 * kNsPerMs;
// Likewise the FIFO holds one page, not 340 ms of stale audio.
constexpr int kSourcePipeBytes = 4096;

double Amplitude(double levelDbfs) { return std::pow(10.0, levelDbfs / 20.0) * 32767.0; }

std::int16_t SineSample(double amplitude, double cycles) {
    const double phase = 2.0 * std::numbers::pi * (cycles - std::floor(cycles));
    return std::int16_t(std::lround(amplitude * std::sin(phase)));
}

std::optional<double> ParseNumber(std::string_view text) {
    std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

void OnStopSignal(int) {
    if (gDeviceStop.exchange(true)) {
        _exit(1);  // asked twice: something is stuck
    }
}

PipeReport Failed(const std::string& what) {
    PipeReport report;
    report.error = what + ": " + std::strerror(errno);
    return report;
}

// A writer's rate is that of all it made, overwritten or not: what it
// recorded, by its last tick.
void FinishWriter(PipeReport& report, const DeviceClock& clock, std::uint64_t rendered, std::int64_t lastTickNs) {
    report.seconds = double(lastTickNs - clock.startNs) / double(kNsPerSecond);
    if (report.seconds > 0) {
        report.ppm = (double(rendered) / report.seconds / clock.rate - 1.0) * 1e6;
    }
}

// The stretch in which a sink played (rendered into its FIFO): the sink
// renders nothing while no stream plays into it, which is no fault, so only
// gaps between deliveries count, and the rate is fitted over the stretch.
struct PlayingSpan {
    std::optional<PaceTracker> pace;
    std::int64_t firstNs = 0;
    std::int64_t lastNs = 0;
    std::uint64_t missing = 0;  // not yet known to lie between deliveries

    void add(PipeReport& report, std::uint64_t frames, std::int64_t nowNs) {
        if (frames == 0) {
            return;
        }
        if (!pace) {
            pace.emplace(kDriftRate, nowNs);
            firstNs = nowNs;
        } else {
            report.shortFrames += missing;
        }
        missing = 0;
        pace->add(frames, nowNs);
        report.frames += frames;
        lastNs = nowNs;
    }
    void finish(PipeReport& report) const {
        report.seconds = double(lastNs - firstNs) / double(kNsPerSecond);
        report.ppm = pace ? pace->ratePpm() : 0.0;
    }
};

// The pipe as it was filled before the reader came holds too much to shrink;
// it is emptied first (the sink refills a little at once, which fits).
void ShrinkPipe(int fd, int pipeBytes) {
    std::vector<char> scratch(1 << 16);
    for (int attempt = 0; attempt < 20; ++attempt) {
        while (read(fd, scratch.data(), scratch.size()) > 0) {
        }
        if (fcntl(fd, F_SETPIPE_SZ, pipeBytes) >= 0) {
            return;
        }
        SleepUntilNs(MonotonicNs() + kNsPerMs);
    }
    std::fprintf(stderr, "quorbel_drift_pipe: could not shrink the pipe to %d bytes\n", pipeBytes);
}

// Reads up to `bytes` without waiting; -1 when the writer has gone.
long ReadAvailable(int fd, std::vector<char>& scratch, std::uint64_t bytes) {
    long total = 0;
    while (std::uint64_t(total) < bytes) {
        const std::size_t want = std::min<std::uint64_t>(scratch.size(), bytes - std::uint64_t(total));
        const ssize_t n = read(fd, scratch.data(), want);
        if (n > 0) {
            total += n;
        } else if (n == 0) {
            return -1;
        } else if (errno != EINTR) {
            break;  // EAGAIN: nothing more for now
        }
    }
    return total;
}

struct Writer {
    int fd = -1;
    std::vector<std::int16_t> pending;  // rendered, not yet in the pipe
    std::size_t offset = 0;             // samples of pending already written
};

// Writes what the pipe takes; false when the reading side has gone.
bool Flush(Writer& writer) {
    while (writer.offset < writer.pending.size()) {
        const std::size_t bytes = (writer.pending.size() - writer.offset) * sizeof(std::int16_t);
        const ssize_t n = write(writer.fd, writer.pending.data() + writer.offset, bytes);
        if (n > 0) {
            writer.offset += std::size_t(n) / sizeof(std::int16_t);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && errno == EPIPE) {
                return false;
            }
            break;
        }
    }
    writer.pending.erase(writer.pending.begin(), writer.pending.begin() + std::ptrdiff_t(writer.offset));
    writer.offset = 0;
    return true;
}

pa_simple* OpenPlayback(const std::string& sink, std::uint32_t rate, std::int64_t bufferNs, std::string& error) {
    const pa_sample_spec spec{PA_SAMPLE_S16LE, rate, 2};
    pa_buffer_attr attributes{};
    attributes.maxlength = std::uint32_t(-1);
    attributes.tlength = std::uint32_t(pa_usec_to_bytes(pa_usec_t(bufferNs / 1000), &spec));
    attributes.prebuf = std::uint32_t(-1);
    attributes.minreq = std::uint32_t(-1);
    attributes.fragsize = std::uint32_t(-1);
    int code = 0;
    pa_simple* stream = pa_simple_new(nullptr, "quorbel drift tools", PA_STREAM_PLAYBACK, sink.c_str(), "signal",
                                      &spec, nullptr, &attributes, &code);
    if (stream == nullptr) {
        error = std::string("cannot play into ") + sink + ": " + pa_strerror(code);
    }
    return stream;
}

std::string WriteFrames(pa_simple* stream, const std::vector<std::int16_t>& samples) {
    int code = 0;
    if (pa_simple_write(stream, samples.data(), samples.size() * sizeof(std::int16_t), &code) < 0) {
        return std::string("playback failed: ") + pa_strerror(code);
    }
    return "";
}

void PrintLateness(std::vector<double>& lateMs) {
    if (lateMs.empty()) {
        return;
    }
    std::sort(lateMs.begin(), lateMs.end());
    std::fprintf(stderr, "bursts written %zu, late by p50 %.2f ms, max %.2f ms\n", lateMs.size(),
                 lateMs[lateMs.size() / 2], lateMs.back());
}

std::string TrimmedOutput(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

std::int64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

void SleepUntilNs(std::int64_t deadlineNs) {
    const timespec deadline{time_t(deadlineNs / kNsPerSecond), long(deadlineNs % kNsPerSecond)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
        if (gDeviceStop.load()) {
            return;
        }
    }
}

std::optional<Signal> ParseSignal(std::string_view text) {
    auto parts = Split(std::string(text), ':');
    Signal signal;
    if (parts.size() == 3 && parts[0] == "tone") {
        signal.bursts = false;
    } else if (parts.size() == 5 && parts[0] == "bursts") {
        signal.bursts = true;
    } else {
        return std::nullopt;
    }
    std::vector<double> numbers;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        auto number = ParseNumber(parts[i]);
        if (!number) {
            return std::nullopt;
        }
        numbers.push_back(*number);
    }
    signal.frequency = numbers[0];
    signal.levelDbfs = numbers[1];
    if (signal.bursts) {
        signal.periodNs = std::int64_t(numbers[2] * kNsPerMs);
        signal.lengthNs = std::int64_t(numbers[3] * kNsPerMs);
        if (signal.periodNs <= 0 || signal.lengthNs <= 0 || signal.lengthNs >= signal.periodNs) {
            return std::nullopt;
        }
    }
    if (signal.frequency <= 0 || signal.levelDbfs > 0) {
        return std::nullopt;
    }
    return signal;
}

std::uint64_t DeviceClock::framesDue(std::int64_t nowNs) const {
    if (nowNs <= startNs) {
        return 0;
    }
    return std::uint64_t(double(nowNs - startNs) * framesPerSecond() / double(kNsPerSecond));
}

std::int64_t DeviceClock::hostTimeOf(std::uint64_t frame) const {
    return startNs + std::int64_t(std::llround(double(frame) * double(kNsPerSecond) / framesPerSecond()));
}

void RenderSignal(const Signal& signal, const DeviceClock& clock, std::uint64_t first, std::span<std::int16_t> out) {
    const double amplitude = Amplitude(signal.levelDbfs);
    const double framesPerSecond = clock.framesPerSecond();
    for (std::size_t i = 0; 2 * i + 1 < out.size(); ++i) {
        const std::uint64_t frame = first + i;
        std::int16_t sample = 0;
        if (!signal.bursts) {
            sample = SineSample(amplitude, signal.frequency * double(frame) / framesPerSecond);
        } else {
            // Bursts start on whole multiples of the period of the host clock.
            const std::int64_t t = clock.hostTimeOf(frame);
            const std::int64_t intoPeriod = ((t % signal.periodNs) + signal.periodNs) % signal.periodNs;
            if (intoPeriod < signal.lengthNs) {
                sample = SineSample(amplitude, signal.frequency * double(intoPeriod) / double(kNsPerSecond));
            }
        }
        out[2 * i] = sample;
        out[2 * i + 1] = sample;
    }
}

void InstallDeviceStopHandler() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a FIFO whose module went away gives EPIPE instead
}

std::string Describe(const PipeReport& report) {
    if (!report.error.empty()) {
        return report.error;
    }
    char text[160];
    std::snprintf(text, sizeof text, "%llu frames in %.3f s: %+.1f ppm, %llu frames %s",
                  static_cast<unsigned long long>(report.frames), report.seconds, report.ppm,
                  static_cast<unsigned long long>(report.shortFrames),
                  report.writer ? "overwritten while not recorded" : "missing between deliveries");
    return text;
}

int ReportDevice(const PipeReport& report) {
    std::fprintf(stderr, "%s\n", Describe(report).c_str());
    return report.error.empty() ? 0 : 1;
}

PipeReport ReadPipeAsDevice(const std::string& fifo, double ppm, int pipeBytes) {
    const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Failed("open " + fifo);
    }
    ShrinkPipe(fd, pipeBytes);
    PipeReport report;
    DeviceClock clock{MonotonicNs(), kDriftRate, ppm};
    std::vector<char> scratch(1 << 16);
    std::uint64_t bytes = 0;
    PlayingSpan span;
    // A card takes its periods on its own clock. Taken on the host's, the
    // reads would beat against the FIFO's pages (the sink renders one when
    // there is room for it): the monitor's deliveries would wander by a tick
    // over half a minute at 300 ppm, which no card does.
    for (std::uint64_t tick = 1; !gDeviceStop.load(); ++tick) {
        SleepUntilNs(clock.hostTimeOf(tick * kTickFrames));
        const std::uint64_t due = tick * kTickFrames;
        // A device that finds nothing to play plays silence and moves on.
        if (due > bytes / kBytesPerFrame + kReaderDebtFrames) {
            const std::uint64_t skipped = due - kReaderDebtFrames - bytes / kBytesPerFrame;
            span.missing += skipped;
            bytes += skipped * kBytesPerFrame;
        }
        const long got = ReadAvailable(fd, scratch, due * kBytesPerFrame - bytes);
        if (got < 0) {
            report.error = "the sink closed its FIFO";
            break;
        }
        bytes += std::uint64_t(got);
        const bool first = report.frames == 0 && got > 0;
        span.add(report, std::uint64_t(got) / kBytesPerFrame, MonotonicNs());
        if (first) {
            bytes = std::max(bytes, due * kBytesPerFrame);  // until now it played silence
        }
    }
    close(fd);
    span.finish(report);
    return report;
}

PipeReport WritePipeAsDevice(const std::string& fifo, double ppm, const Signal& signal) {
    Writer writer;
    writer.fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer.fd < 0) {
        return Failed("open " + fifo);
    }
    if (fcntl(writer.fd, F_SETPIPE_SZ, kSourcePipeBytes) < 0) {
        std::fprintf(stderr, "quorbel_drift_pipe: could not shrink the pipe to %d bytes\n", kSourcePipeBytes);
    }
    PipeReport report;
    report.writer = true;
    DeviceClock clock{MonotonicNs(), kDriftRate, ppm};
    std::uint64_t rendered = 0;
    std::int64_t now = clock.startNs;
    std::int64_t lastTakenNs = clock.startNs - kNotRecordingNs;
    for (std::int64_t next = clock.startNs; !gDeviceStop.load();) {
        next += kTickNs;
        SleepUntilNs(next);
        now = MonotonicNs();
        const std::uint64_t due = clock.framesDue(now);
        const std::size_t old = writer.pending.size();
        writer.pending.resize(old + 2 * std::size_t(due - rendered));
        RenderSignal(signal, clock, rendered, std::span(writer.pending).subspan(old));
        rendered = due;
        const std::size_t unwritten = writer.pending.size();
        if (!Flush(writer)) {
            report.error = "the source closed its FIFO";
            break;
        }
        if (writer.pending.size() < unwritten) {
            lastTakenNs = now;
        }
        // A full buffer overwrites its oldest audio, as a device's would.
        const std::size_t kept = now - lastTakenNs < kNotRecordingNs ? kRecordedBacklogFrames : kWriterBacklogFrames;
        if (writer.pending.size() > 2 * kept) {
            const std::size_t drop = writer.pending.size() - 2 * kept;
            report.shortFrames += drop / 2;
            writer.pending.erase(writer.pending.begin(), writer.pending.begin() + std::ptrdiff_t(drop));
        }
        report.frames = rendered - writer.pending.size() / 2 - report.shortFrames;
    }
    close(writer.fd);
    FinishWriter(report, clock, rendered, now);
    return report;
}

std::string PlayContinuous(const std::string& sink, std::uint32_t rate, double ppm, const Signal& signal) {
    std::string error;
    pa_simple* stream = OpenPlayback(sink, rate, 200 * kNsPerMs, error);
    if (stream == nullptr) {
        return error;
    }
    DeviceClock clock{MonotonicNs(), double(rate), ppm};
    std::vector<std::int16_t> chunk(2 * std::size_t(rate / 100));
    for (std::uint64_t frame = 0; !gDeviceStop.load() && error.empty(); frame += chunk.size() / 2) {
        RenderSignal(signal, clock, frame, chunk);
        error = WriteFrames(stream, chunk);
    }
    pa_simple_free(stream);
    return error;
}

std::string PlayTimedBursts(const std::string& sink, std::uint32_t rate, const Signal& signal) {
    if (!signal.bursts) {
        return "timed playback needs a burst signal";
    }
    std::string error;
    pa_simple* stream = OpenPlayback(sink, rate, 10 * kNsPerMs, error);
    if (stream == nullptr) {
        return error;
    }
    std::vector<std::int16_t> burst(2 * std::size_t(double(signal.lengthNs) * rate / double(kNsPerSecond)));
    std::vector<double> lateMs;
    while (!gDeviceStop.load() && error.empty()) {
        const std::int64_t onset = (MonotonicNs() / signal.periodNs + 1) * signal.periodNs;
        SleepUntilNs(onset);
        if (gDeviceStop.load()) {
            break;
        }
        RenderSignal(signal, DeviceClock{onset, double(rate), 0.0}, 0, burst);
        lateMs.push_back(double(MonotonicNs() - onset) / double(kNsPerMs));
        error = WriteFrames(stream, burst);
    }
    pa_simple_free(stream);
    PrintLateness(lateMs);
    return error;
}

// ---- modules --------------------------------------------------------------------

namespace {

std::optional<PipeModule> LoadPipeModule(const std::string& module, const std::string& nameKey,
                                         const std::string& name, const std::string& format, std::string* error) {
    auto fail = [&](const std::string& what) -> std::optional<PipeModule> {
        if (error != nullptr) {
            *error = what;
        }
        return std::nullopt;
    };
    const char* base = std::getenv("TMPDIR");
    std::string directory = std::string(base != nullptr ? base : "/tmp") + "/quorbel-drift.XXXXXX";
    if (mkdtemp(directory.data()) == nullptr) {
        return fail("mkdtemp: " + std::string(std::strerror(errno)));
    }
    const std::string fifo = directory + "/fifo";
    // Format, rate and channels are all named: servers differ in their defaults.
    CommandResult result = RunCommand("pactl", {"load-module", module, nameKey + "=" + name, "file=" + fifo,
                                                "format=" + format, "rate=" + std::to_string(kDriftRate),
                                                "channels=2"});
    std::string index = TrimmedOutput(result.output);
    if (result.code != 0 || index.empty()) {
        rmdir(directory.c_str());
        return fail("pactl load-module " + module + " failed");
    }
    return std::optional<PipeModule>(std::in_place, name, fifo, index, directory);
}

}  // namespace

PipeModule::PipeModule(std::string name_, std::string fifo_, std::string moduleIndex_, std::string directory_)
    : name(std::move(name_)), fifo(std::move(fifo_)), moduleIndex(std::move(moduleIndex_)),
      directory(std::move(directory_)) {}

PipeModule::PipeModule(PipeModule&& other) noexcept
    : name(std::move(other.name)), fifo(std::move(other.fifo)),
      moduleIndex(std::exchange(other.moduleIndex, std::string())),
      directory(std::exchange(other.directory, std::string())) {}

PipeModule::~PipeModule() {
    if (!moduleIndex.empty()) {
        RunCommand("pactl", {"unload-module", moduleIndex});
    }
    if (!directory.empty()) {
        unlink(fifo.c_str());  // the module removes a FIFO it made; this is for the rest
        rmdir(directory.c_str());
    }
}

bool PipeDevicesKeepTheirOwnClock() {
    CommandResult info = RunCommand("pactl", {"info"});
    return info.code == 0 && info.output.find("on PipeWire") == std::string::npos;
}

std::optional<PipeModule> LoadPipeSink(const std::string& name, std::string* error) {
    return LoadPipeModule("module-pipe-sink", "sink_name", name, "float32le", error);
}

std::optional<PipeModule> LoadPipeSource(const std::string& name, std::string* error) {
    return LoadPipeModule("module-pipe-source", "source_name", name, "s16le", error);
}

// ---- devices in child processes ---------------------------------------------------

void StopChild(ChildProcess& child) {
    child.sendSignal(SIGTERM);
    child.wait(Millis(3000));
}

DriftingSink::DriftingSink(const std::string& name, double ppm) : module(LoadPipeSink(name, &error)) {
    if (!module) {
        return;
    }
    const std::string fifo = module->fifo;
    reader = ChildProcess::Function([fifo, ppm] {
        InstallDeviceStopHandler();
        return ReportDevice(ReadPipeAsDevice(fifo, ppm, kSinkPipeBytes));
    });
}

DriftingSink::~DriftingSink() {
    if (reader) {
        StopChild(*reader);
    }
}

DriftingMicrophone::DriftingMicrophone(const std::string& name, double ppm, const Signal& signal)
    : module(LoadPipeSource(name, &error)) {
    if (!module) {
        return;
    }
    const std::string fifo = module->fifo;
    writer = ChildProcess::Function([fifo, ppm, signal] {
        InstallDeviceStopHandler();
        return ReportDevice(WritePipeAsDevice(fifo, ppm, signal));
    });
}

DriftingMicrophone::~DriftingMicrophone() {
    if (writer) {
        StopChild(*writer);
    }
}

namespace {

ChildProcess StartPlayer(const std::function<std::string()>& play) {
    return ChildProcess::Function([play] {
        InstallDeviceStopHandler();
        std::string error = play();
        if (!error.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
        }
        return error.empty() ? 0 : 1;
    });
}

}  // namespace

ChildProcess StartContinuousPlayer(const std::string& sink, std::uint32_t rate, double ppm, const Signal& signal) {
    return StartPlayer([sink, rate, ppm, signal] { return PlayContinuous(sink, rate, ppm, signal); });
}

ChildProcess StartTimedPlayer(const std::string& sink, std::uint32_t rate, const Signal& signal) {
    return StartPlayer([sink, rate, signal] { return PlayTimedBursts(sink, rate, signal); });
}

}  // namespace quorbel::test
