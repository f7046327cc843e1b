#include "PulseTestSupport.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>

#include "StreamMeasure.h"

namespace quorbel::test {

std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return access(name.c_str(), X_OK) == 0 ? name : "";
    }
    const char* path = std::getenv("PATH");
    for (const auto& dir : Split(path != nullptr ? path : "/usr/bin:/bin", ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

CommandResult RunCommand(const std::string& program, const std::vector<std::string>& args, Millis timeout) {
    CommandResult result;
    std::string path = FindProgram(program);
    if (path.empty()) {
        return result;
    }
    auto child = ChildProcess::Program(path, args);
    child.closeStdin();
    result.output = child.readStdoutUntilEof(timeout);
    ExitResult exit = child.wait(Millis(2000));
    result.code = exit.exited ? exit.code : -1;
    return result;
}

bool OnPipeWire() {
    const char* server = std::getenv("QUORBEL_TEST_SERVER");
    return server != nullptr && std::string(server) == "pipewire";
}

CommandResult ControlServer(const std::string& request, Millis timeout) {
    CommandResult result;
    const char* control = std::getenv("QUORBEL_SERVER_CONTROL");
    if (control == nullptr || FindProgram(control).empty()) {
        result.output = "QUORBEL_SERVER_CONTROL is not set: run me under private-server.sh";
        return result;
    }
    auto child = ChildProcess::Program(control, {request});
    child.closeStdin();
    result.output = child.readStderrUntilEof(timeout);
    ExitResult exit = child.wait(Millis(2000));
    result.code = exit.exited ? exit.code : -1;
    return result;
}

ChildProcess PlayTone(const std::string& sink, std::uint32_t rate, double frequency, double levelDbfs,
                      double seconds) {
    return ChildProcess::Program(QUORBEL_TONE_PLAYER, {sink, std::to_string(rate), std::to_string(frequency),
                                                       std::to_string(levelDbfs), std::to_string(seconds)});
}

namespace {

ChildProcess StartServerScript(bool strict) {
    std::optional<ScopedEnv> mode;
    if (strict) {
        mode.emplace("QUORBEL_PULSE_STRICT", "1");
    }
    const std::string script = std::string(QUORBEL_PULSE_TEST_DIR) + "/private-server.sh";
    const std::string bash = FindProgram("bash");
    return ChildProcess::Program(bash, {script, bash, "-c", "echo \"$PULSE_SERVER\" >&2; exec sleep 600"});
}

}  // namespace

SecondServer::SecondServer(bool strict) : script(StartServerScript(strict)) {
    std::string line = script.readStderrLine(Millis(20000));
    if (line.rfind("unix:", 0) == 0) {
        address = line;
    }
}

void SecondServer::stop() {
    script.sendSignal(SIGTERM);
    script.wait(Millis(15000));
}

SecondServer::~SecondServer() { stop(); }

ScopedEnv::ScopedEnv(const char* variable, const std::string& value) : name(variable) {
    if (const char* old = std::getenv(variable)) {
        saved = old;
    }
    setenv(variable, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (saved) {
        setenv(name.c_str(), saved->c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
}

std::vector<std::int16_t> Samples(const std::string& bytes) {
    std::vector<std::int16_t> out(bytes.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        auto lo = std::uint8_t(bytes[2 * i]);
        auto hi = std::uint8_t(bytes[2 * i + 1]);
        out[i] = std::int16_t(std::uint16_t(lo | (hi << 8)));
    }
    return out;
}

std::vector<double> Channel(const std::vector<std::int16_t>& stereo, int channel, std::size_t first) {
    std::vector<double> out;
    for (std::size_t frame = first; 2 * frame + 1 < stereo.size(); ++frame) {
        out.push_back(stereo[2 * frame + std::size_t(channel)] / 32768.0);
    }
    return out;
}

double ToneAmplitude(const std::vector<double>& signal, double rate, double frequency) {
    const std::size_t n = signal.size();
    if (n < 2) {
        return 0;
    }
    const double w = 2.0 * std::numbers::pi * frequency / rate;
    const double coefficient = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0, windowSum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * double(i) / double(n - 1));
        windowSum += window;
        double s0 = signal[i] * window + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2.0 * std::sqrt(std::max(power, 0.0)) / windowSum;
}

namespace {

// Whether the stretch holds a run of kHoleFrames or more exact zeros.
bool HasHole(std::vector<double>::const_iterator first, std::vector<double>::const_iterator last) {
    std::uint64_t zeros = 0;
    for (; first != last; ++first) {
        zeros = *first == 0.0 ? zeros + 1 : 0;
        if (zeros >= kHoleFrames) {
            return true;
        }
    }
    return false;
}

}  // namespace

double SteadyToneAmplitude(const std::vector<double>& signal, double rate, double frequency) {
    const std::size_t tenth = std::max<std::size_t>(std::size_t(rate / 10), 2);
    std::vector<double> amplitudes;
    for (std::size_t first = 0; first + tenth <= signal.size(); first += tenth) {
        const auto begin = signal.begin() + std::ptrdiff_t(first);
        const auto end = begin + std::ptrdiff_t(tenth);
        if (!HasHole(begin, end)) {
            amplitudes.push_back(ToneAmplitude(std::vector<double>(begin, end), rate, frequency));
        }
    }
    if (amplitudes.empty()) {
        return -1;
    }
    const auto middle = amplitudes.begin() + std::ptrdiff_t(amplitudes.size() / 2);
    std::nth_element(amplitudes.begin(), middle, amplitudes.end());
    return *middle;
}

double PeakFrequency(const std::vector<double>& signal, double rate, double low, double high) {
    double best = low, bestAmplitude = -1;
    for (double frequency = low; frequency <= high; frequency += 1.0) {
        double amplitude = ToneAmplitude(signal, rate, frequency);
        if (amplitude > bestAmplitude) {
            bestAmplitude = amplitude;
            best = frequency;
        }
    }
    return best;
}

double SinePeakDbfs(const std::vector<double>& signal) {
    constexpr std::size_t kSilentRun = 16;
    double sum = 0;
    std::size_t counted = 0;
    for (std::size_t i = 0; i < signal.size();) {
        std::size_t zeros = 0;
        while (i + zeros < signal.size() && signal[i + zeros] == 0.0) {
            ++zeros;
        }
        if (zeros >= kSilentRun) {
            i += zeros;
            continue;
        }
        for (std::size_t end = i + std::max<std::size_t>(zeros, 1); i < end; ++i) {
            sum += signal[i] * signal[i];
            ++counted;
        }
    }
    double rms = counted == 0 ? 0 : std::sqrt(sum / double(counted));
    return 20.0 * std::log10(std::max(rms * std::sqrt(2.0), 1e-12));
}

std::size_t FirstSoundFrame(const std::vector<std::int16_t>& stereo) {
    for (std::size_t frame = 0; 2 * frame + 1 < stereo.size(); ++frame) {
        if (stereo[2 * frame] != 0 || stereo[2 * frame + 1] != 0) {
            return frame;
        }
    }
    return stereo.size() / 2;
}

std::size_t LongestSilentRun(const std::vector<std::int16_t>& stereo, std::size_t first) {
    std::size_t longest = 0, run = 0;
    for (std::size_t frame = first; 2 * frame + 1 < stereo.size(); ++frame) {
        if (stereo[2 * frame] == 0 && stereo[2 * frame + 1] == 0) {
            longest = std::max(longest, ++run);
        } else {
            run = 0;
        }
    }
    return longest;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        auto at = text.find(separator, start);
        parts.push_back(text.substr(start, at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

}  // namespace quorbel::test
