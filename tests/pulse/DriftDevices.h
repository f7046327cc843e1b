// Sound devices whose clock is not the host's: a sink that plays into a FIFO
// read at 48000 * (1 + ppm * 1e-6) frames per host second, and a microphone
// fed through a FIFO written at that rate. Real devices run on their own
// crystal; these let the tests and the bench scripts make that drift on
// purpose, and large enough (hundreds of ppm) to show within minutes.
//
// Signals are laid out on the host's monotonic clock: a burst train puts its
// onsets on whole multiples of its period of CLOCK_MONOTONIC, so that every
// process (device, player, probe) agrees on when an event happened.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "support/ChildProcess.h"

namespace quorbel::test {

// The sample rate of the pipe devices (what module-pipe-sink/-source are given).
inline constexpr std::uint32_t kDriftRate = 48000;
// The pipe a drifting sink plays into: one page, the least a pipe holds, of
// float frames. On PulseAudio 16 the sink then renders at most 10.7 ms at a
// time; with the default 64 KiB it holds some 300 ms.
inline constexpr int kSinkPipeBytes = 4096;

// CLOCK_MONOTONIC in nanoseconds, the clock every drift tool shares.
std::int64_t MonotonicNs();
void SleepUntilNs(std::int64_t deadlineNs);

// A steady tone, or tone bursts of `lengthNs` starting at every whole
// multiple of `periodNs` of the monotonic clock.
struct Signal {
    bool bursts = false;
    double frequency = 1000.0;
    double levelDbfs = -6.0;
    std::int64_t periodNs = 0;
    std::int64_t lengthNs = 0;
};
// "tone:FREQ:DBFS" or "bursts:FREQ:DBFS:PERIOD_MS:LENGTH_MS".
std::optional<Signal> ParseSignal(std::string_view text);

// How a device's frames map onto host time: frame n is played or sampled at
// startNs + n / (rate * (1 + ppm * 1e-6)) seconds.
struct DeviceClock {
    std::int64_t startNs = 0;
    double rate = kDriftRate;
    double ppm = 0.0;

    double framesPerSecond() const { return rate * (1.0 + ppm * 1e-6); }
    // Frames the device has gone through by host time nowNs.
    std::uint64_t framesDue(std::int64_t nowNs) const;
    std::int64_t hostTimeOf(std::uint64_t frame) const;
};

// Interleaved stereo frames [first, first + frames) of the signal as the
// device hears it (both channels alike).
void RenderSignal(const Signal& signal, const DeviceClock& clock, std::uint64_t first, std::span<std::int16_t> out);

// ---- the device ends ----------------------------------------------------------

// Set by the stop handler; every loop below returns soon after.
extern std::atomic<bool> gDeviceStop;
// SIGINT and SIGTERM set gDeviceStop; a second one ends the process at once.
void InstallDeviceStopHandler();

struct PipeReport {
    std::string error;         // empty when the loop ran
    bool writer = false;
    std::uint64_t frames = 0;  // moved through the FIFO
    // Reader: due but not there, between two deliveries (the sink late).
    // Writer: overwritten while the source was not reading.
    std::uint64_t shortFrames = 0;
    double seconds = 0;        // reader: from its first delivery to its last
    double ppm = 0;            // the rate then, against kDriftRate
};
std::string Describe(const PipeReport& report);
// Describes the report on standard error; a device process's exit status.
int ReportDevice(const PipeReport& report);

// Reads the FIFO of a pipe sink as a device with the given clock error would
// play it, until gDeviceStop. The pipe is shrunk to pipeBytes so that the
// sink renders in small pieces and keeps little latency.
PipeReport ReadPipeAsDevice(const std::string& fifo, double ppm, int pipeBytes);
// Writes the signal into the FIFO of a pipe source as a microphone with the
// given clock error would record it, until gDeviceStop.
PipeReport WritePipeAsDevice(const std::string& fifo, double ppm, const Signal& signal);

// ---- players (libpulse) ----------------------------------------------------------

// Plays the signal into `sink` without a break, paced by the sink itself (a
// deep buffer rides out a busy machine). `ppm` is the sink's clock error, so
// that the signal's events still fall on their host times when it plays.
std::string PlayContinuous(const std::string& sink, std::uint32_t rate, double ppm, const Signal& signal);
// Writes each burst when its host time comes, through a buffer of about
// 10 ms, and stays silent in between. Reports on stderr how late it wrote.
std::string PlayTimedBursts(const std::string& sink, std::uint32_t rate, const Signal& signal);

// ---- the server's side (the one place that knows the modules) -----------------

// Whether the current server's pipe modules take their pace from the FIFO,
// so that these devices drift. PulseAudio's do. pipewire-pulse (0.3.65)
// runs its pipe sink and source on the graph's clock whatever the FIFO's
// other end does: the sink's monitor keeps the graph's rate, and a pipe
// source written slowly fills its underruns with silence.
bool PipeDevicesKeepTheirOwnClock();

// A module-pipe-sink or module-pipe-source on the current server, with its
// FIFO in a directory of its own; unloaded and removed when the object goes.
struct PipeModule {
    PipeModule(std::string name, std::string fifo, std::string moduleIndex, std::string directory);
    PipeModule(PipeModule&& other) noexcept;
    PipeModule& operator=(PipeModule&&) = delete;
    PipeModule(const PipeModule&) = delete;
    ~PipeModule();

    std::string name;
    std::string fifo;
    std::string moduleIndex;
    std::string directory;
};
std::optional<PipeModule> LoadPipeSink(const std::string& name, std::string* error = nullptr);
std::optional<PipeModule> LoadPipeSource(const std::string& name, std::string* error = nullptr);

// ---- for the tests: devices running in child processes ------------------------

// A pipe sink read at its drifting rate; stopped and unloaded when it goes.
struct DriftingSink {
    DriftingSink(const std::string& name, double ppm);
    bool ok() const { return module.has_value(); }
    std::string error;
    std::optional<PipeModule> module;
    std::optional<ChildProcess> reader;
    ~DriftingSink();
};

// A pipe source written at its drifting rate with `signal`.
struct DriftingMicrophone {
    DriftingMicrophone(const std::string& name, double ppm, const Signal& signal);
    bool ok() const { return module.has_value(); }
    std::string error;
    std::optional<PipeModule> module;
    std::optional<ChildProcess> writer;
    ~DriftingMicrophone();
};

// A continuous player in a child process (see PlayContinuous).
ChildProcess StartContinuousPlayer(const std::string& sink, std::uint32_t rate, double ppm, const Signal& signal);
// A timed burst player in a child process (see PlayTimedBursts).
ChildProcess StartTimedPlayer(const std::string& sink, std::uint32_t rate, const Signal& signal);
// Asks a device or player child to stop (SIGTERM), then makes sure.
void StopChild(ChildProcess& child);

}  // namespace quorbel::test
