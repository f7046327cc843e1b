// Capture runs end to end on the scripted platform: setup failures in
// process, whole runs in a child process as the parent application sees them.
#include <gtest/gtest.h>

#include <signal.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "capture/Capture.h"
#include "cli/Cli.h"
#include "platform/ScriptedRun.h"
#include "pump/PumpTestSupport.h"

namespace quorbel {
namespace {

using scripted::World;
using test::ChildProcess;
using test::Millis;

constexpr Millis kTimeout{10000};
const std::vector<std::string> kLifecycle = {"Create", "Destroy", "Start", "Stop", "CFRelease"};
const std::string kSystemRefused =
    "Accesso all'audio di sistema non consentito o non disponibile. Abilita Calvetra in Impostazioni di Sistema, "
    "Privacy e sicurezza, Registrazione schermo e audio di sistema. Dettaglio: ";

// ---- Setup failures -------------------------------------------------------

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome RunCapture(World world, bool mixed, const std::string& uid, bool includeSystem) {
    scripted::ResetWorld(std::move(world));
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = Capture(mixed, uid, includeSystem);
    return {status, ::testing::internal::GetCapturedStdout(), ::testing::internal::GetCapturedStderr()};
}

void ExpectNothingLeft() {
    const scripted::Leaks leaks = scripted::Outstanding();
    EXPECT_EQ(leaks.strings, 0);
    EXPECT_EQ(leaks.taps, 0);
    EXPECT_EQ(leaks.aggregateDevices, 0);
    EXPECT_EQ(leaks.ioProcs, 0);
    EXPECT_EQ(leaks.startedIoProcs, 0);
    EXPECT_EQ(leaks.doubleReleases, 0);
}

TEST(CaptureSetup, AMixedRunWithoutPermissionStopsBeforeAnythingElse) {
    for (int status : {0, 1, 2}) {
        World world = scripted::StandardWorld();
        world.authorizationStatus = status;
        const Outcome outcome = RunCapture(world, true, "", true);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, kMicrophoneAccessMessage);
        EXPECT_EQ(scripted::Calls(), (std::vector<std::string>{"AuthorizationStatus"}));  // nobody is asked
    }
}

TEST(CaptureSetup, ASystemSourceFailureEndsTheRun) {
    World world = scripted::StandardWorld();
    world.failures["CreateProcessTap"] = kAudioHardwareNotRunningError;
    const Outcome outcome = RunCapture(world, false, "", true);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "Impossibile creare il tap audio di sistema: 'stop' (1937010544)\n");
    ExpectNothingLeft();
}

TEST(CaptureSetup, AMicrophoneFailureDestroysTheSystemObjects) {
    const Outcome outcome = RunCapture(scripted::StandardWorld(), true, "missing", true);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "Microfono selezionato non disponibile: '!dev' (560227702)\n");
    EXPECT_EQ(scripted::CallsStartingWith(kLifecycle),
              (std::vector<std::string>{"CreateProcessTap 0x200", "CreateAggregateDevice 0x300",
                                        "CFRelease tuid@0x200", "CFRelease uid@0x100",
                                        "DestroyAggregateDevice 0x300", "DestroyProcessTap 0x200"}));
    ExpectNothingLeft();
}

TEST(CaptureSetup, ASystemCallbackThatCannotBeRegisteredStopsTheMicrophone) {
    World world = scripted::StandardWorld();
    world.failures["CreateIOProcID@0x300"] = kAudioHardwareIllegalOperationError;
    const Outcome outcome = RunCapture(world, true, "", true);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, kSystemRefused + "'nope' (1852797029)\n");
    EXPECT_EQ(scripted::CallsStartingWith(kLifecycle),
              (std::vector<std::string>{"CreateProcessTap 0x200", "CreateAggregateDevice 0x300",
                                        "CFRelease tuid@0x200", "CreateIOProcID 0x100 #1", "Start 0x100 #1",
                                        "CreateIOProcID 0x300 failed", "Stop 0x100 #1",
                                        "DestroyIOProcID 0x100 #1", "DestroyAggregateDevice 0x300",
                                        "DestroyProcessTap 0x200"}));
    ExpectNothingLeft();
}

TEST(CaptureSetup, ASystemCallbackThatCannotStartIsDestroyedWithoutAStop) {
    World world = scripted::StandardWorld();
    world.failures["Start@0x300"] = kAudioDevicePermissionsError;
    Outcome outcome = RunCapture(world, true, "", true);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, kSystemRefused + "'!hog' (560492391)\n");
    EXPECT_EQ(scripted::CallsStartingWith(kLifecycle),
              (std::vector<std::string>{"CreateProcessTap 0x200", "CreateAggregateDevice 0x300",
                                        "CFRelease tuid@0x200", "CreateIOProcID 0x100 #1", "Start 0x100 #1",
                                        "CreateIOProcID 0x300 #2", "Start 0x300 #2", "DestroyIOProcID 0x300 #2",
                                        "Stop 0x100 #1", "DestroyIOProcID 0x100 #1",
                                        "DestroyAggregateDevice 0x300", "DestroyProcessTap 0x200"}));
    ExpectNothingLeft();

    outcome = RunCapture(world, false, "", true);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, kSystemRefused + "'!hog' (560492391)\n");
    ExpectNothingLeft();
}

// ---- Whole runs --------------------------------------------------------------

// Delivers `total` stereo 16-bit frames counting 1, 2, 3 ... on the left and
// the negated count on the right, `perCall` frames at a time, then idles.
// Values below 16384 survive the 32767/32768 rescale unchanged.
scripted::Feeder CountingFeeder(int total, int perCall, std::chrono::microseconds pause) {
    return [=](const scripted::Feed& feed) {
        std::vector<std::int16_t> samples(std::size_t(perCall) * 2);
        int next = 1;
        while (!feed.stopping() && next <= total) {
            const int frames = std::min(perCall, total - next + 1);
            for (int i = 0; i < frames; ++i, ++next) {
                samples[2 * std::size_t(i)] = std::int16_t(next);
                samples[2 * std::size_t(i) + 1] = std::int16_t(-next);
            }
            AudioBufferList list{1, {{2, std::uint32_t(frames * 4), samples.data()}}};
            feed.deliver(list);
            std::this_thread::sleep_for(pause);
        }
        while (!feed.stopping()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
}

// Delivers 200 full callback blocks at once; the ring holds 32 of them.
void Flood(const scripted::Feed& feed) {
    std::vector<std::int16_t> samples(kMaxFramesPerCallback * 2, 1000);
    AudioBufferList list{1, {{2, std::uint32_t(samples.size() * 2), samples.data()}}};
    for (int i = 0; i < 200; ++i) {
        feed.deliver(list);
    }
}

World Int16World(double systemRate) {
    World world = scripted::StandardWorld();
    world.aggregateFormat = scripted::Int16Format(systemRate, 2);
    world.devices[0].format = scripted::Int16Format(48000, 2);
    return world;
}

// The non-silent frames of a PCM stream, left samples only, in order.
std::vector<int> SoundingFrames(const std::string& pcm) {
    std::vector<int> lefts;
    for (std::size_t at = 0; at + 4 <= pcm.size(); at += 4) {
        std::int16_t frame[2];
        std::memcpy(frame, pcm.data() + at, 4);
        if (frame[0] != 0 || frame[1] != 0) {
            EXPECT_EQ(frame[1], -frame[0]);
            lefts.push_back(frame[0]);
        }
    }
    return lefts;
}

std::vector<int> Counting(int total) {
    std::vector<int> values;
    for (int i = 1; i <= total; ++i) {
        values.push_back(i);
    }
    return values;
}

ChildProcess StartRun(World world, const std::vector<std::string>& args) {
    scripted::ResetWorld(std::move(world));
    return scripted::StartTool(args);
}

TEST(CaptureRun, PassThroughAnnouncesTheSystemRateAndCarriesItsFrames) {
    World world = Int16World(44100);
    world.systemFeeder = CountingFeeder(8000, 441, std::chrono::microseconds(5000));
    ChildProcess child = StartRun(world, {"capture", "macos-system-audio"});
    EXPECT_EQ(child.readStdout(21, kTimeout), "FORMAT\t44100\t2\ts16le\n");
    EXPECT_EQ(child.readStderrLine(kTimeout), "CAPTURE\t44100\t2\t16\tPcm");
    const std::string pcm = child.readStdout(44100 * 4, kTimeout);  // one second
    EXPECT_EQ(SoundingFrames(pcm), Counting(8000));
    child.closeStdin();
    const test::ExitResult exit = child.wait(kTimeout);
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, 0);
    EXPECT_EQ(child.readStderrUntilEof(kTimeout), "");  // no drops, no message
}

TEST(CaptureRun, MixedRunsAreAt48000AndCarryTheMicrophone) {
    World world = Int16World(44100);
    world.devices[0].format = scripted::Int16Format(48000, 2);
    world.microphoneFeeder = CountingFeeder(6000, 480, std::chrono::microseconds(5000));
    ChildProcess child = StartRun(world, {"capture-mixed", "__none__"});
    EXPECT_EQ(child.readStdout(21, kTimeout), "FORMAT\t48000\t2\ts16le\n");
    EXPECT_EQ(child.readStderrLine(kTimeout), "CAPTURE\t48000\t2\t16\tPcm");
    const std::string pcm = child.readStdout(48000 * 4, kTimeout);
    EXPECT_EQ(SoundingFrames(pcm), Counting(6000));
    child.closeStdin();
    EXPECT_EQ(child.wait(kTimeout).code, 0);
    EXPECT_EQ(child.readStderrUntilEof(kTimeout), "");
}

TEST(CaptureRun, SetUpAndTornDownInReverseOrder) {
    ChildProcess child = StartRun(scripted::StandardWorld(), {"capture-mixed", "macos-system-audio", "mic-1"});
    EXPECT_EQ(child.readStdout(21, kTimeout), "FORMAT\t48000\t2\ts16le\n");
    child.closeStdin();
    EXPECT_EQ(child.wait(kTimeout).code, 0);
    const scripted::Report report = scripted::ReadReport(child);
    ASSERT_TRUE(report.complete);
    std::vector<std::string> lifecycle;
    for (const auto& call : report.calls) {
        for (const auto& prefix : kLifecycle) {
            if (call.rfind(prefix, 0) == 0) {
                lifecycle.push_back(call);
            }
        }
    }
    EXPECT_EQ(lifecycle,
              (std::vector<std::string>{"CreateProcessTap 0x200", "CreateAggregateDevice 0x300",
                                        "CFRelease tuid@0x200", "CFRelease uid@0x100", "CreateIOProcID 0x100 #1",
                                        "Start 0x100 #1", "CreateIOProcID 0x300 #2", "Start 0x300 #2",
                                        "Stop 0x300 #2", "DestroyIOProcID 0x300 #2", "Stop 0x100 #1",
                                        "DestroyIOProcID 0x100 #1", "DestroyAggregateDevice 0x300",
                                        "DestroyProcessTap 0x200"}));
    EXPECT_EQ(report.leaks.strings + report.leaks.taps + report.leaks.aggregateDevices + report.leaks.ioProcs +
                  report.leaks.startedIoProcs + report.leaks.doubleReleases,
              0);
}

void ExpectQuietStop(ChildProcess& child) {
    const test::ExitResult exit = child.wait(kTimeout);
    EXPECT_FALSE(exit.timedOut);
    EXPECT_TRUE(exit.exited) << "signal " << exit.signal;
    EXPECT_EQ(exit.code, 0);
    EXPECT_EQ(child.readStderrUntilEof(kTimeout), "CAPTURE\t48000\t2\t16\tPcm\n");
}

TEST(CaptureRun, StopsQuietlyOnEveryRoute) {
    for (const std::string route : {"end of input", "SIGINT", "SIGTERM", "reader gone"}) {
        SCOPED_TRACE(route);
        ChildProcess child = StartRun(scripted::StandardWorld(48000), {"capture", "macos-system-audio"});
        ASSERT_EQ(child.readStdout(21, kTimeout), "FORMAT\t48000\t2\ts16le\n");
        ASSERT_EQ(child.drainStdout(3840 * 5, kTimeout), 3840u * 5);  // running
        if (route == "end of input") {
            child.closeStdin();
        } else if (route == "SIGINT") {
            child.sendSignal(SIGINT);
        } else if (route == "SIGTERM") {
            child.sendSignal(SIGTERM);
        } else {
            child.closeStdout();
        }
        ExpectQuietStop(child);
    }
}

TEST(CaptureRun, ASignalToAStalledWriterStillEndsTheRun) {
    // The reader never reads: the pump blocks in write until the signal.
    ChildProcess child = StartRun(scripted::StandardWorld(48000), {"capture", "macos-system-audio"});
    ASSERT_EQ(child.readStderrLine(kTimeout), "CAPTURE\t48000\t2\t16\tPcm");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // long enough to fill the pipe
    child.sendSignal(SIGTERM);
    const test::ExitResult exit = child.wait(kTimeout);
    EXPECT_FALSE(exit.timedOut);
    EXPECT_EQ(exit.code, 0);
}

TEST(CaptureRun, DropsAreReportedOnlyWhenThereAreAny) {
    World world = Int16World(48000);
    world.feedInsideStart = true;  // the floods are over before the pump starts
    world.systemFeeder = Flood;
    world.microphoneFeeder = Flood;
    ChildProcess child = StartRun(world, {"capture-mixed", "macos-system-audio"});
    ASSERT_EQ(child.readStderrLine(kTimeout), "CAPTURE\t48000\t2\t16\tPcm");
    child.closeStdin();
    EXPECT_EQ(child.wait(kTimeout).code, 0);
    EXPECT_EQ(child.readStderrUntilEof(kTimeout), "BUFFER_DROPS\t168\nMICROPHONE_BUFFER_DROPS\t168\n");

    world.systemFeeder = nullptr;  // only the microphone overflows
    child = StartRun(world, {"capture-mixed", "macos-system-audio"});
    ASSERT_EQ(child.readStderrLine(kTimeout), "CAPTURE\t48000\t2\t16\tPcm");
    child.closeStdin();
    EXPECT_EQ(child.wait(kTimeout).code, 0);
    EXPECT_EQ(child.readStderrUntilEof(kTimeout), "MICROPHONE_BUFFER_DROPS\t168\n");

    world.systemFeeder = Flood;  // a pass-through run never speaks of the microphone
    child = StartRun(world, {"capture", "macos-system-audio"});
    ASSERT_EQ(child.readStderrLine(kTimeout), "CAPTURE\t48000\t2\t16\tPcm");
    child.closeStdin();
    EXPECT_EQ(child.wait(kTimeout).code, 0);
    EXPECT_EQ(child.readStderrUntilEof(kTimeout), "BUFFER_DROPS\t168\n");
}

TEST(CaptureRun, ASignalDuringSetupStillAnnouncesButWritesNoPcm) {
    World world = scripted::StandardWorld(44100);
    world.onCall = [](const std::string& call) {
        if (call.rfind("CreateAggregateDevice 0x", 0) == 0) {
            raise(SIGTERM);
        }
    };
    ChildProcess child = StartRun(world, {"capture", "macos-system-audio"});  // stdin stays open
    EXPECT_EQ(child.readStdoutUntilEof(kTimeout), "FORMAT\t44100\t2\ts16le\n");
    const test::ExitResult exit = child.wait(kTimeout);
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, 0);
    EXPECT_EQ(child.readStderrUntilEof(kTimeout), "CAPTURE\t44100\t2\t16\tPcm\n");
}

TEST(CaptureRun, InputBytesNeverStopARun) {
    ChildProcess child = StartRun(scripted::StandardWorld(48000), {"capture", "macos-system-audio"});
    ASSERT_EQ(child.readStdout(21, kTimeout), "FORMAT\t48000\t2\ts16le\n");
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(child.writeStdin(std::string(1000, 'x')));
    }
    // Still streaming after the bytes went in.
    EXPECT_EQ(child.drainStdout(3840 * 10, kTimeout), 3840u * 10);
    child.closeStdin();
    EXPECT_EQ(child.wait(kTimeout).code, 0);
}

// ---- Late fragments -----------------------------------------------------------

// When the last device started, in steady-clock ticks: set by the run, read
// by the feeders of devices that started before.
using StartTime = std::shared_ptr<std::atomic<std::chrono::steady_clock::rep>>;

std::chrono::steady_clock::time_point Started(const StartTime& started) {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(started->load()));
}

// Moves the start to now, unless it is later already (a device started, or
// a feeder came up, after this one).
void StartNoEarlierThanNow(const StartTime& started) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    for (auto seen = started->load(); seen < now && !started->compare_exchange_weak(seen, now);) {
    }
}

// Makes a source deliver 16-bit frames at their times after its callback
// was started (the run's last step before the pump starts, so a delivery is
// never later against the pump's deadlines than against its time), then
// reports on descriptor 3 how far behind it fell. The times count from this
// thread's start when that came later: on a loaded machine a thread may come
// up tens of milliseconds late, and everything due by then would reach the
// source in one burst, as a backlog from its start that hides later gaps.
scripted::Feeder ScheduledFeeder(const StartTime& started, const std::vector<test::Delivery>& deliveries,
                                 const std::string& name) {
    return [started, deliveries, name](const scripted::Feed& feed) {
        StartNoEarlierThanNow(started);
        std::chrono::microseconds worst{0};
        for (test::Delivery delivery : deliveries) {
            std::this_thread::sleep_until(Started(started) + delivery.at);
            if (feed.stopping()) {
                break;
            }
            AudioBufferList list{1, {{2, std::uint32_t(delivery.frames.size() * 4), delivery.frames.data()}}};
            feed.deliver(list);
            worst = std::max(worst, std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now() - Started(started) - delivery.at));
        }
        const std::string line = name + " lateness " + std::to_string(worst.count()) + "\n";
        if (write(3, line.data(), line.size()) < 0) {
            _exit(99);
        }
        while (!feed.stopping()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
}

// Feeds the system device (and the microphone, given its deliveries) on
// schedule from the last start of a device.
void FeedOnSchedule(World& world, const std::vector<test::Delivery>& deliveries,
                    const std::optional<std::vector<test::Delivery>>& microphone = std::nullopt) {
    auto started = std::make_shared<std::atomic<std::chrono::steady_clock::rep>>(0);
    world.onCall = [started](const std::string& call) {
        if (call.rfind("Start ", 0) == 0) {
            StartNoEarlierThanNow(started);
        }
    };
    world.systemFeeder = ScheduledFeeder(started, deliveries, "feeder");
    if (microphone) {
        world.microphoneFeeder = ScheduledFeeder(started, *microphone, "microphone feeder");
    }
}

// What FeedOnSchedule reported: how far behind its schedule a feeder fell.
std::chrono::microseconds FeederLateness(const std::vector<std::string>& calls, const std::string& name = "feeder") {
    const std::string prefix = name + " lateness ";
    for (const std::string& call : calls) {
        if (call.rfind(prefix, 0) == 0) {
            return std::chrono::microseconds(std::stoll(call.substr(prefix.size())));
        }
    }
    return std::chrono::microseconds(1'000'000'000);
}

// A 48 kHz run fed on schedule, read for `blocks` blocks and then ended:
// its PCM and the calls it made.
struct FedCapture {
    std::string pcm;
    std::vector<std::string> calls;
};
FedCapture CaptureFed(const std::vector<std::string>& args, const std::vector<test::Delivery>& system,
                      const std::optional<std::vector<test::Delivery>>& microphone, int blocks) {
    World world = Int16World(48000);
    FeedOnSchedule(world, system, microphone);
    ChildProcess child = StartRun(world, args);
    EXPECT_EQ(child.readStdout(21, kTimeout), "FORMAT\t48000\t2\ts16le\n");
    FedCapture run;
    // The run's own length comes on top of the usual wait, or a long run is cut short.
    const std::size_t bytes = 3840 * std::size_t(blocks);
    run.pcm = child.readStdout(bytes, kTimeout + Millis(20) * blocks);
    EXPECT_EQ(run.pcm.size(), bytes);
    child.closeStdin();
    EXPECT_EQ(child.wait(kTimeout).code, 0);
    run.calls = scripted::ReadReport(child).calls;
    return run;
}

struct ScheduledRun {
    std::string pcm;
    std::chrono::microseconds feederLateness{1'000'000'000};
};

// A 48 kHz pass-through run of a counting source: a block's worth at once,
// then 10 ms fragments due 15 and 5 ms before each 20 ms boundary, each late
// block short at its deadline (beyond the reserve) until `late` after it.
ScheduledRun RunScheduled(const std::vector<int>& lateBlocks, std::chrono::microseconds late) {
    auto deliveries = test::Fragments(0, test::CountingFrames(961, 480 * 20));
    for (int block : lateBlocks) {
        test::DelayBlock(deliveries, 0, block, late, test::kFirstReserve);
    }
    deliveries.insert(deliveries.begin(), {std::chrono::microseconds(0), 0, test::CountingFrames(1, 960)});
    FedCapture fed = CaptureFed({"capture", "macos-system-audio"}, deliveries, std::nullopt, 20);
    return {std::move(fed.pcm), FeederLateness(fed.calls)};
}

// Whether the sounding frames follow each other with no silence between them.
bool Unbroken(const std::string& pcm) {
    if (pcm.find_first_not_of('\0') == std::string::npos) {
        return false;
    }
    const std::size_t first = pcm.find_first_not_of('\0') / 4;
    const std::size_t last = pcm.find_last_not_of('\0') / 4;
    return SoundingFrames(pcm.substr(first * 4, (last - first + 1) * 4)).size() == last - first + 1;
}

TEST(CaptureRun, AFragmentLateWithinTheGraceLeavesNoHole) {
    ScheduledRun run;
    for (int attempt = 0; attempt < 3 && run.feederLateness >= test::kPunctual; ++attempt) {
        run = RunScheduled({3, 6, 9}, std::chrono::milliseconds(2));
        EXPECT_EQ(SoundingFrames(run.pcm), Counting(960 + 480 * 20));  // whatever the timing
    }
    if (run.feederLateness < test::kPunctual) {  // each fragment came within the grace
        EXPECT_TRUE(Unbroken(run.pcm));
    }
}

TEST(CaptureRun, AFragmentLaterThanTheGraceLeavesSilenceButLosesNothing) {
    bool padded = false;
    for (int attempt = 0; attempt < 3 && !padded; ++attempt) {  // only a stalled pump could miss the gap
        const ScheduledRun run = RunScheduled({4}, std::chrono::milliseconds(50));
        EXPECT_EQ(SoundingFrames(run.pcm), Counting(960 + 480 * 20));
        padded = !Unbroken(run.pcm);
    }
    EXPECT_TRUE(padded);
}

// The backlog the run tells a device ("set qbkl @0x300 <frames>" for the
// system device), in order.
std::vector<std::int32_t> ToldBacklogs(const std::vector<std::string>& calls, const std::string& device = "0x300") {
    const std::string prefix = "set qbkl @" + device + " ";
    std::vector<std::int32_t> told;
    for (const std::string& call : calls) {
        if (call.rfind(prefix, 0) == 0) {
            told.push_back(std::int32_t(std::stol(call.substr(prefix.size()))));
        }
    }
    return told;
}

// A fragment 100 ms late is a stall: the run pads, and the audio that comes
// afterwards queues behind the silence. Once the source has settled in (five
// seconds), the run tells the device how much, once a second, so that its
// rate can take it out again. The same in a mixed run, whose microphone here
// is silent.
TEST(CaptureRun, TellsTheDeviceWhatAStallLeftQueued) {
    constexpr int kBlocks = 420;
    const StereoFrame sound{1000, -1000};
    for (const auto& args : {std::vector<std::string>{"capture", "macos-system-audio"},
                             std::vector<std::string>{"capture-mixed", "macos-system-audio", "mic-1"}}) {
        // A pump stalled past the late fragment misses the gap, a feeder that
        // falls behind changes what queues, and a busy machine can hold up a
        // source's settling in, and so its accounts: such a run is tried again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            SCOPED_TRACE(args[0]);
            auto deliveries = test::Fragments(0, std::vector<StereoFrame>(480 * 2 * kBlocks, sound));
            test::DelayBlock(deliveries, 0, 320, std::chrono::milliseconds(100));
            deliveries.insert(deliveries.begin(), {Millis(0), 0, std::vector<StereoFrame>(960, sound)});
            const auto [pcm, calls] = CaptureFed(args, deliveries, std::nullopt, kBlocks);
            const std::vector<std::int32_t> told = ToldBacklogs(calls);
            const auto lateness = FeederLateness(calls);
            const bool punctual = lateness < test::kPunctual;
            const std::size_t first = pcm.find_first_not_of('\0') / 4;
            const std::size_t last = pcm.find_last_not_of('\0') / 4;
            const double inside = double(last - first + 1);
            const double padded = inside - double(SoundingFrames(pcm.substr(first * 4, (last - first + 1) * 4)).size());
            if ((padded == 0 || !punctual || told.size() < 3) && attempt < 2) {
                continue;
            }
            SCOPED_TRACE("the feeder fell " + std::to_string(lateness.count()) + " us behind");
            ASSERT_FALSE(told.empty());  // the last account, a second after the stall's
            // A steady source holds only its reserve. A pump that wakes late
            // for a whole second (on a busy machine) finds up to a block more
            // queued after each of that second's blocks, and tells it.
            EXPECT_TRUE(told.size() < 3 || told[0] <= 960) << "a steady source holds only its reserve";
            EXPECT_GT(padded, 0) << "the stall left no silence: the run proves nothing";
            // The silence inside the audio is what queued behind it, give or
            // take what a busy machine did to the settled level: up to a block
            // either way. Up to 40 ms of it the run keeps (a machine slow
            // enough to be late for most fragments leaves less silence).
            const double kept = 0.040 * 48000;
            if (padded - 2 * 480 > kept) {
                EXPECT_LE(double(told.back()), padded + 2 * 480);
                EXPECT_GE(double(told.back()), padded - 2 * 480);
            } else if (padded <= kept) {
                // Feeders held up for seconds on end may leave the source short of its reserve.
                EXPECT_LE(told.back(), 0) << padded;
                EXPECT_TRUE(!punctual || told.back() == 0) << padded;
            }
            break;
        }
    }
}

// The audio from where the source sounds again after its first silence on.
std::string AfterFirstGap(const std::string& pcm) {
    const std::string silent(4, '\0');
    std::size_t at = pcm.find_first_not_of('\0') / 4 * 4;
    while (at < pcm.size() && pcm.compare(at, 4, silent) != 0) {
        at += 4;
    }
    while (at < pcm.size() && pcm.compare(at, 4, silent) == 0) {
        at += 4;
    }
    return pcm.substr(std::min(at, pcm.size()));
}

// A fragment the source never delivers (a server may skip one) leaves it
// holding nothing after its blocks where it held its reserve: each block is
// still whole, but a fragment later than the grace would now leave a hole.
// Once that has held for three settled seconds, the run tells the device
// what the source lacks, to deliver that much more.
TEST(CaptureRun, TellsTheDeviceWhatASourceLacksOfItsReserve) {
    constexpr int kBlocks = 560;  // the first build-up is told at 8 s, or a second later on a busy machine
    for (int attempt = 0; attempt < 3; ++attempt) {
        // One fragment, then the rest from 100 ms on: the schedule has started,
        // so however slowly the run came up, the source is placed at its reserve.
        auto deliveries = test::Fragments(0, std::vector<StereoFrame>(480 * 2 * kBlocks, StereoFrame{1000, -1000}));
        for (std::size_t i = 1; i < deliveries.size(); ++i) {
            deliveries[i].at += Millis(100);
        }
        deliveries.erase(deliveries.begin() + 200);  // at 2 s
        const auto [pcm, calls] = CaptureFed({"capture", "macos-system-audio"}, deliveries, std::nullopt, kBlocks);
        const std::vector<std::int32_t> told = ToldBacklogs(calls);
        // A fragment later than the grace (on a busy machine) pads, and its
        // audio queues again, which the run then rightly lets go.
        if (Unbroken(AfterFirstGap(pcm))) {  // the first fragment stands alone
            for (const std::int32_t frames : told) {
                EXPECT_LE(frames, 0) << "nothing queued to let go";
                EXPECT_GE(frames, -480) << "never more than the reserve";
            }
            ASSERT_GE(told.size(), 3u);
            EXPECT_EQ(told.front(), 0) << "one short second asks for nothing";
            EXPECT_EQ(told.back(), -480);
            break;
        }
    }
}

// In a mix, a stall of one source leaves it behind the other by the silence
// it put in; that goes, even when it is far less than a backlog kept
// otherwise (a pump that is slow to pad may leave more, which goes anyway).
// The source that kept its pace is told nothing.
TEST(CaptureRun, AMixedSourceLeftBehindItsPeerIsToldToCatchUp) {
    constexpr int kBlocks = 470;
    auto system = test::Fragments(0, std::vector<StereoFrame>(480 * 2 * kBlocks, StereoFrame{1000, -1000}));
    test::DelayBlock(system, 0, 370, std::chrono::milliseconds(55));
    const auto microphone = test::Fragments(0, std::vector<StereoFrame>(480 * 2 * kBlocks, StereoFrame{500, -500}));
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto [pcm, calls] =
            CaptureFed({"capture-mixed", "macos-system-audio", "mic-1"}, system, microphone, kBlocks);
        const std::vector<std::int32_t> toSystem = ToldBacklogs(calls);
        const std::vector<std::int32_t> toMicrophone = ToldBacklogs(calls, "0x100");
        // A busy machine may hold up a source's settling in, and so its first account.
        ASSERT_GE(toSystem.size(), 2u);
        ASSERT_GE(toMicrophone.size(), 1u);
        // Feeders held up by a busy machine leave holes of their own in either source.
        if (std::max(FeederLateness(calls), FeederLateness(calls, "microphone feeder")) >= test::kPunctual) {
            continue;
        }
        EXPECT_EQ(toSystem[0], 0);
        EXPECT_EQ(toMicrophone.back(), 0);
        // The system's silence, while the microphone sounds alone once both
        // have sounded together: a busy machine may start one source some
        // tens of milliseconds before the other, which is no stall.
        const std::vector<int> lefts = SoundingFrames(pcm);
        const auto together = std::find(lefts.begin(), lefts.end(), 1500);
        const double padded = double(std::count(together, lefts.end(), 500));
        // A fragment that comes a little late may hide up to two of its own
        // from the account, and less than 5 ms beyond the peer is left be.
        const double shown = padded - 2 * 480;
        constexpr double kLeftBe = 0.005 * 48000;
        if (shown <= kLeftBe && attempt < 2) {
            continue;  // a pump held up at the stall leaves less silence than the run needs
        }
        EXPECT_GT(padded, kLeftBe) << "the stall left too little silence: the run proves nothing";
        EXPECT_LE(double(toSystem.back()), padded);
        if (shown > kLeftBe) {
            EXPECT_GE(double(toSystem.back()), shown) << padded;
        }
        break;
    }
}

// The pump's schedule starts once the first audio is in: a source whose
// first fragment (10 ms as a server rounds it, a little short) comes a few
// or some 50 ms after the start is in the very first block, all but what it
// keeps back, not one block or one fragment later.
TEST(CaptureRun, TheFirstBlockCarriesTheFirstFragment) {
    for (int afterMs : {8, 50}) {
        SCOPED_TRACE(afterMs);
        World world = Int16World(48000);
        FeedOnSchedule(world, {{std::chrono::milliseconds(afterMs), 0, test::CountingFrames(1, 472)}});
        ChildProcess child = StartRun(world, {"capture", "macos-system-audio"});
        EXPECT_EQ(child.readStdout(21, kTimeout), "FORMAT\t48000\t2\ts16le\n");
        // All but 9 ms (432 frames) of it.
        EXPECT_EQ(SoundingFrames(child.readStdout(3840, kTimeout)), Counting(40));
        child.closeStdin();
        EXPECT_EQ(child.wait(kTimeout).code, 0);
    }
}

// Some servers open a new stream's first fragment with a few milliseconds of
// silence. Started on that fragment, the run would keep back nearly all of its
// sound, which would then go out a block later; the run waits for the next
// fragment instead and starts on it.
TEST(CaptureRun, AFirstFragmentOpeningInSilenceStartsTheRunOnTheNext) {
    const std::vector<test::Delivery> fragments{
        {std::chrono::milliseconds(8), 0, test::Placed(test::CountingFrames(1, 250), 230, 480)},
        {std::chrono::milliseconds(10), 0, test::CountingFrames(251, 480)}};
    for (int attempt = 0; attempt < 3; ++attempt) {
        const FedCapture run = CaptureFed({"capture", "macos-system-audio"}, fragments, std::nullopt, 1);
        if (FeederLateness(run.calls) >= std::chrono::milliseconds(10) && attempt < 2) {
            continue;  // the second fragment came after the run gave up waiting
        }
        // All but 9 ms (432 frames) of the two: 230 silent, then 298 sounding.
        EXPECT_EQ(SoundingFrames(run.pcm), Counting(298));
        break;
    }
}

}  // namespace
}  // namespace quorbel
