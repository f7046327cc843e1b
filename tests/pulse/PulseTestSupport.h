// Helpers for the tests that run against the private sound server started by
// private-server.sh: server commands, tone players and PCM measurements.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/Base64Decode.h"
#include "support/ChildProcess.h"

namespace quorbel::test {

// The full path of a program found on PATH, or the name itself when it is a
// path ("" when missing or not executable).
std::string FindProgram(const std::string& name);

struct CommandResult {
    int code = -1;  // -1 when it did not exit normally in time
    std::string output;
};
// Runs a program found on PATH and collects its standard output.
CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args,
                         Millis timeout = Millis(10000));

// Which server private-server.sh started (QUORBEL_TEST_SERVER): where the two
// legitimately differ, a test says so with these.
bool OnPipeWire();

// Asks private-server.sh to "stop", "start", "restart" or "kill" the private
// server (through QUORBEL_SERVER_CONTROL) and waits for it to be done; output
// holds the control's messages.
CommandResult ControlServer(const std::string& request, Millis timeout = Millis(60000));

// A scratch directory for the whole test binary, removed at exit.
// Starts playing a stereo sine (both channels alike) at `rate` into `sink`,
// lasting `seconds`. The stream stays on that sink whatever the default sink
// does, and ends with it. The returned process is killed when it goes out of
// scope.
ChildProcess PlayTone(const std::string& sink, std::uint32_t rate, double frequency, double levelDbfs,
                      double seconds = 30.0);

// Another private server (private-server.sh running a placeholder command),
// which a test may stop at will; it is stopped in any case when the object
// goes, through the script, so that the script can clean up.
struct SecondServer {
    // strict: no anonymous clients (see QUORBEL_PULSE_STRICT in private-server.sh).
    explicit SecondServer(bool strict = false);
    ~SecondServer();
    SecondServer(const SecondServer&) = delete;
    SecondServer& operator=(const SecondServer&) = delete;
    void stop();

    ChildProcess script;
    std::string address;  // its PULSE_SERVER value; empty if it did not start
};

// Sets the environment variable for the life of the object, then restores it.
struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    std::string name;
    std::optional<std::string> saved;
};

// ---- PCM measurements on interleaved s16le stereo -------------------------------
std::vector<std::int16_t> Samples(const std::string& bytes);
// One channel of interleaved stereo samples, from frame `first` on.
std::vector<double> Channel(const std::vector<std::int16_t>& stereo, int channel, std::size_t first = 0);
// The amplitude (0..1 of full scale) of `frequency` in the signal (Hann-windowed Goertzel).
double ToneAmplitude(const std::vector<double>& signal, double rate, double frequency);
// The median of ToneAmplitude over the signal's tenths of a second that hold
// no hole (kHoleFrames exact zeros in a row); -1 when every tenth has one. A
// hole in a loud tone splatters across the spectrum (a 4 ms hole in a -6 dBFS
// tone reads some 0.004 500 Hz off over its tenth), so that tenth tells nothing
// of another tone; a tone that is really there is in every tenth.
double SteadyToneAmplitude(const std::vector<double>& signal, double rate, double frequency);
// The frequency between low and high (1 Hz steps) where the signal is
// strongest. Unlike counting zero crossings, short holes do not bias it.
double PeakFrequency(const std::vector<double>& signal, double rate, double low, double high);
// The level of a sine in dB relative to full scale, from the RMS of the
// signal outside silent stretches (runs of 16 or more exact zeros), so that
// holes the tool filled with silence do not lower it.
double SinePeakDbfs(const std::vector<double>& signal);
// Index of the first frame with a non-zero sample (frames.size() when none).
std::size_t FirstSoundFrame(const std::vector<std::int16_t>& stereo);
// The longest run of all-zero frames from frame `first` on.
std::size_t LongestSilentRun(const std::vector<std::int16_t>& stereo, std::size_t first);

std::vector<std::string> Split(const std::string& text, char separator);

}  // namespace quorbel::test
