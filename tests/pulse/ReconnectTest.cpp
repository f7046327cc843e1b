// The sound server dies under a running capture and comes back on the same
// socket: the capture keeps its pace throughout, says so on standard error,
// and records both sources again; a stop meanwhile never waits for it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <thread>

#include "ToolRun.h"

namespace quorbel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kSystemTone = 1000.0;
constexpr double kMicrophoneTone = 1500.0;

struct ReconnectTest : ToolFixture {
    void SetUp() override {
        ToolFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_NE(std::getenv("QUORBEL_SERVER_CONTROL"), nullptr) << "run me under tests/pulse/private-server.sh";
    }
};

struct Players {
    std::optional<ChildProcess> system;
    std::optional<ChildProcess> microphone;
    void start() {
        system.emplace(PlayTone("quorbel_out", 48000, kSystemTone, -6.0));
        microphone.emplace(PlayTone("quorbel_mic_sink", 48000, kMicrophoneTone, -6.0));
    }
};

// Reads the capture in 100 ms windows while `during` runs beside it, until
// the awaited tones have been heard again after it, or `limit` seconds.
struct Outage {
    double systemBack = -1;      // seconds from the server's return to its tone
    double microphoneBack = -1;
    double pace = 0;             // bytes per second over the whole reading
};

Outage ReadThroughOutage(ToolCapture& capture, bool system, bool microphone, const std::function<void()>& during,
                         double limit) {
    std::atomic<bool> returned{false};
    Clock::time_point returnedAt;
    std::thread control([&] {
        during();
        returnedAt = Clock::now();
        returned = true;
    });
    Outage outage;
    const auto start = Clock::now();
    std::size_t bytes = 0;
    while (std::chrono::duration<double>(Clock::now() - start).count() < limit) {
        const std::vector<double> window = ReadChannel(capture, 0.1);
        bytes += window.size() * 4;
        if (window.empty() || !returned) {
            continue;
        }
        const double since = std::chrono::duration<double>(Clock::now() - returnedAt).count();
        if (outage.systemBack < 0 && ToneAmplitude(window, capture.rate, kSystemTone) > 0.05) {
            outage.systemBack = since;
        }
        if (outage.microphoneBack < 0 && ToneAmplitude(window, capture.rate, kMicrophoneTone) > 0.05) {
            outage.microphoneBack = since;
        }
        if ((!system || outage.systemBack >= 0) && (!microphone || outage.microphoneBack >= 0)) {
            break;
        }
    }
    control.join();
    outage.pace = double(bytes) / std::chrono::duration<double>(Clock::now() - start).count();
    return outage;
}

void KillAndRestart(Players& players) {
    players = {};
    ASSERT_EQ(ControlServer("kill").code, 0);
    std::this_thread::sleep_for(400ms);  // several reconnect attempts find nothing
    ASSERT_EQ(ControlServer("start").code, 0);
    players.start();  // the players went with the server
}

// `back` is each way the return may be told: one line, or one a source
// when the two come back a second or more apart.
void ExpectComesBack(const std::vector<std::string>& args, bool mixed, const std::string& lost,
                     const std::vector<std::vector<std::string>>& back) {
    Players players;
    players.start();
    std::this_thread::sleep_for(300ms);
    ToolCapture capture = StartToolCapture(args);
    ASSERT_GE(SecondsUntilTone(capture, kSystemTone, 5.0), 0.0);

    const Outage outage = ReadThroughOutage(capture, true, mixed, [&] { KillAndRestart(players); }, 15.0);
    Note("server back: seconds to the system tone", outage.systemBack);
    EXPECT_GE(outage.systemBack, 0.0) << "the system source never came back";
    if (mixed) {
        Note("server back: seconds to the microphone tone", outage.microphoneBack);
        EXPECT_GE(outage.microphoneBack, 0.0) << "the microphone never came back";
    }
    EXPECT_NEAR(outage.pace, capture.rate * 4.0, capture.rate * 4.0 * 0.15) << "the PCM lost its pace";
    EXPECT_EQ(capture.process.readStderrLine(5s), lost);
    ReadChannel(capture, 2.5);  // lines come at most one a second: let them all be told
    ExpectCleanExit(capture, "stdin closed after the server's return", [&] { capture.process.closeStdin(); });
    std::vector<std::string> told = Split(capture.process.readStderrUntilEof(2s), '\n');
    told.pop_back();  // after the last line feed
    EXPECT_NE(std::find(back.begin(), back.end(), told), back.end()) << "told: " << testing::PrintToString(told);
}

TEST_F(ReconnectTest, ASystemCaptureComesBackWithItsServer) {
    ExpectComesBack({"capture", "macos-system-audio"}, false,
                    "Audio di sistema non disponibile: registro silenzio finché non torna.",
                    {{"Audio di sistema di nuovo disponibile."}});
}

TEST_F(ReconnectTest, AMixedCaptureComesBackOnBothSources) {
    const std::string systemBack = "Audio di sistema di nuovo disponibile.";
    const std::string microphoneBack = "Microfono di nuovo disponibile.";
    ExpectComesBack({"capture-mixed", "macos-system-audio"}, true,
                    "Audio di sistema e microfono non disponibili: registro silenzio finché non tornano.",
                    {{"Audio di sistema e microfono di nuovo disponibili."},
                     {systemBack, microphoneBack},
                     {microphoneBack, systemBack}});
}

TEST_F(ReconnectTest, AMicrophoneChosenByNameComesBackOnThatSource) {
    Players players;
    players.start();
    std::this_thread::sleep_for(300ms);
    ToolCapture capture = StartToolCapture({"capture-mixed", "__none__", "quorbel_mic"});
    ASSERT_GE(SecondsUntilTone(capture, kMicrophoneTone, 5.0), 0.0);
    const Outage outage = ReadThroughOutage(capture, false, true, [&] { KillAndRestart(players); }, 15.0);
    EXPECT_GE(outage.microphoneBack, 0.0) << "the microphone never came back";
    const std::vector<double> after = ReadChannel(capture, 1.0);
    EXPECT_GT(ToneAmplitude(after, capture.rate, kMicrophoneTone), 0.1);
    const double system = SteadyToneIn(capture, after, kSystemTone);
    EXPECT_GE(system, 0.0) << "every tenth of three seconds had a hole";
    EXPECT_LT(system, 0.002) << "a run without the system source recorded it";
    ExpectCleanExit(capture, "stdin closed", [&] { capture.process.closeStdin(); });
}

TEST_F(ReconnectTest, AStopWhileTheServerIsAwayEndsTheRunAtOnce) {
    ToolCapture capture = StartToolCapture({"capture-mixed", "macos-system-audio"});
    capture.process.readStdout(BytesFor(capture.rate, 0.3), 5s);
    std::thread stopper([] { ControlServer("stop"); });
    capture.process.drainStdout(BytesFor(capture.rate, 1.0), 5000ms);  // reconnects keep failing meanwhile
    stopper.join();
    ExpectCleanExit(capture, "stdin closed during a reconnect", [&] { capture.process.closeStdin(); }, 0.5);
}

}  // namespace
}  // namespace quorbel::test
