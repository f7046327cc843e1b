// How fast the system source follows the system's output. Run under
// tests/pulse/private-server.sh (bench/follow.sh does):
//   quorbel_follow_bench TONE_PLAYER [SWITCHES]
// Two sinks play two tones, each pinned to its sink; the default sink is
// switched back and forth, and each switch is timed from the moment it is
// asked of the server to the first delivery of the IO proc that carries the
// new sink's tone. With QUORBEL_SERVER_CONTROL set,
// the server is then restarted, and the time from its being ready again to
// the first delivery with a tone is measured too.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include <pulse/pulseaudio.h>

#include "platform/AudioPlatform.h"

namespace quorbel {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kToneA = 1000;  // on quorbel_out
constexpr double kToneB = 3000;  // on the second sink

// What the IO proc last heard, and when that first came.
struct Listening {
    double rate = 48000;        // the tap's
    std::atomic<int> heard{0};  // 0 silence, else the tone's frequency
    std::atomic<std::int64_t> since{0};
    std::atomic<std::int64_t> lastCall{0};
};

double Amplitude(const float* samples, std::size_t frames, double frequency, double rate) {
    double re = 0, im = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double w = 2 * std::numbers::pi * frequency * double(i) / rate;
        re += samples[2 * i] * std::cos(w);
        im += samples[2 * i] * std::sin(w);
    }
    return 2 * std::hypot(re, im) / double(frames);
}

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

OSStatus Listen(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*,
                AudioBufferList*, const AudioTimeStamp*, void* clientData) {
    auto& listening = *static_cast<Listening*>(clientData);
    listening.lastCall = NowNs();
    const auto* samples = static_cast<const float*>(input->mBuffers[0].mData);
    const std::size_t frames = input->mBuffers[0].mDataByteSize / 8;
    if (frames < 96) {
        return 0;  // too short to tell
    }
    int heard = 0;
    if (Amplitude(samples, frames, kToneA, listening.rate) > 0.1) {
        heard = int(kToneA);
    } else if (Amplitude(samples, frames, kToneB, listening.rate) > 0.1) {
        heard = int(kToneB);
    }
    if (heard != listening.heard.exchange(heard)) {
        listening.since = NowNs();
    }
    return 0;
}

int Run(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        const int null = open("/dev/null", O_WRONLY);  // pactl's module index
        dup2(null, STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t Play(const std::string& player, const std::string& sink, double frequency) {
    pid_t pid = fork();
    if (pid == 0) {
        const std::string f = std::to_string(frequency);
        execl(player.c_str(), player.c_str(), sink.c_str(), "48000", f.c_str(), "-6", "3600", nullptr);
        _exit(127);
    }
    return pid;
}

// Seconds from `start` until the IO proc is called again; negative after 5 s.
double SecondsUntilCalled(Listening& listening, std::int64_t start) {
    while (NowNs() - start < 5'000'000'000) {
        if (listening.lastCall >= start) {
            return double(listening.lastCall - start) / 1e9;
        }
        std::this_thread::sleep_for(1ms);
    }
    return -1;
}

// A connection of the bench's own that switches the default sink, so that
// a switch is timed from the moment it is asked for.
struct Switcher {
    pa_mainloop* mainloop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(mainloop), "Quorbel follow bench");

    bool connect() {
        pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
        while (PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) && pa_context_get_state(context) != PA_CONTEXT_READY) {
            pa_mainloop_iterate(mainloop, 1, nullptr);
        }
        return pa_context_get_state(context) == PA_CONTEXT_READY;
    }
    // Asks for the switch and waits for the server's answer; the time it was asked.
    std::int64_t to(const char* sink) {
        const std::int64_t asked = NowNs();
        pa_operation* op = pa_context_set_default_sink(context, sink, nullptr, nullptr);
        while (op != nullptr && pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
            pa_mainloop_iterate(mainloop, 1, nullptr);
        }
        if (op != nullptr) {
            pa_operation_unref(op);
        }
        return asked;
    }
};

// Seconds from `start` until the IO proc hears `frequency`; negative after 5 s.
double SecondsUntilHeard(Listening& listening, double frequency, std::int64_t start) {
    while (NowNs() - start < 5'000'000'000) {
        if (listening.heard == int(frequency) && listening.since >= start) {
            return double(listening.since - start) / 1e9;
        }
        std::this_thread::sleep_for(1ms);
    }
    return -1;
}

void Report(const char* what, std::vector<double> seconds) {
    std::sort(seconds.begin(), seconds.end());
    if (seconds.empty() || seconds.front() < 0) {
        std::printf("%s: FAILED (not heard within 5 s)\n", what);
        return;
    }
    std::printf("%s: %zu times, median %.1f ms, worst %.1f ms, best %.1f ms\n", what, seconds.size(),
                seconds[seconds.size() / 2] * 1e3, seconds.back() * 1e3, seconds.front() * 1e3);
}

}  // namespace
}  // namespace quorbel

int main(int argc, char** argv) {
    using namespace quorbel;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s TONE_PLAYER [SWITCHES]\n", argv[0]);
        return 2;
    }
    const int switches = argc > 2 ? std::atoi(argv[2]) : 20;
    Run({"pactl", "load-module", "module-null-sink", "sink_name=quorbel_bench_b", "rate=48000", "norewinds=1"});
    Run({"pactl", "set-default-sink", "quorbel_out"});
    std::this_thread::sleep_for(300ms);  // PipeWire makes the sink's node a moment later
    const pid_t a = Play(argv[1], "quorbel_out", kToneA);
    const pid_t b = Play(argv[1], "quorbel_bench_b", kToneB);
    std::this_thread::sleep_for(500ms);
    if (waitpid(a, nullptr, WNOHANG) != 0 || waitpid(b, nullptr, WNOHANG) != 0) {
        std::fprintf(stderr, "a tone player did not start\n");
        return 1;
    }

    void* pool = objc_autoreleasePoolPush();
    CATapDescription tap;
    tap.stereoGlobal = true;
    tap.isPrivate = true;
    tap.muteBehavior = CATapUnmuted;
    AudioObjectID tapID = 0, device = 0;
    AudioHardwareCreateProcessTap(&tap, &tapID);
    CFStringRef uid = nullptr;
    ReadStringProperty(tapID, kAudioTapPropertyUID, &uid);
    AggregateDeviceDescription aggregate;
    aggregate.uid = "bench." + NewUUIDString();
    aggregate.taps = {{TextOf(uid), true}};
    CFRelease(uid);
    AudioHardwareCreateAggregateDevice(&aggregate, &device);
    Listening listening;
    AudioStreamBasicDescription format{};
    ReadInputStreamFormat(device, format);
    listening.rate = format.mSampleRate;
    AudioDeviceIOProcID proc = nullptr;
    AudioDeviceCreateIOProcID(device, Listen, &listening, &proc);
    if (AudioDeviceStart(device, proc) != 0) {
        std::fprintf(stderr, "the IO proc did not start\n");
        return 1;
    }
    std::this_thread::sleep_for(500ms);

    Switcher switcher;
    if (!switcher.connect()) {
        std::fprintf(stderr, "no server for the switches\n");
        return 1;
    }
    std::vector<double> delays;
    for (int i = 0; i < switches; ++i) {
        const bool toB = i % 2 == 0;
        const std::int64_t asked = switcher.to(toB ? "quorbel_bench_b" : "quorbel_out");
        delays.push_back(SecondsUntilHeard(listening, toB ? kToneB : kToneA, asked));
        std::this_thread::sleep_for(300ms);
    }
    Report("default sink switched, to the new sink's audio", delays);

    // The players go with the server; from here on only deliveries count.
    if (const char* control = std::getenv("QUORBEL_SERVER_CONTROL")) {
        std::vector<double> returns;
        for (int i = 0; i < 5; ++i) {
            Run({control, "kill"});
            std::this_thread::sleep_for(300ms);
            Run({control, "start"});
            returns.push_back(SecondsUntilCalled(listening, NowNs()));
        }
        Report("server restarted, from ready to the first delivery", returns);
    }
    AudioDeviceStop(device, proc);
    AudioDeviceDestroyIOProcID(device, proc);
    AudioHardwareDestroyAggregateDevice(device);
    AudioHardwareDestroyProcessTap(tapID);
    objc_autoreleasePoolPop(pool);
    kill(a, SIGKILL);
    kill(b, SIGKILL);
    waitpid(a, nullptr, 0);
    waitpid(b, nullptr, 0);
    return 0;
}
