// The lines that tell people a running source lost its audio or has it back:
// whole runs on the scripted platform, whose feeders flip the devices' 'livn'
// the way the sound server's comings and goings do.
#include <gtest/gtest.h>

#include <thread>

#include "platform/ScriptedRun.h"

namespace quorbel {
namespace {

using Clock = std::chrono::steady_clock;
using scripted::World;
using test::ChildProcess;
using test::Millis;

constexpr Millis kTimeout{10000};
constexpr AudioObjectID kMicrophone = 0x100;
constexpr AudioObjectID kAggregate = 0x300;

const std::string kSystemLost = "Audio di sistema non disponibile: registro silenzio finché non torna.";
const std::string kSystemBack = "Audio di sistema di nuovo disponibile.";
const std::string kMicrophoneLost = "Microfono non disponibile: registro silenzio finché non torna.";
const std::string kBothLost = "Audio di sistema e microfono non disponibili: registro silenzio finché non tornano.";
const std::string kBothBack = "Audio di sistema e microfono di nuovo disponibili.";

// A change of 'livn': which devices, to what, and how long after the last one.
struct Flip {
    Millis after;
    std::vector<AudioObjectID> devices;
    bool alive;
};

// Plays the flips from the system source's IO thread, then idles.
scripted::Feeder Flipping(std::vector<Flip> flips) {
    return [flips](const scripted::Feed& feed) {
        for (const Flip& flip : flips) {
            std::this_thread::sleep_for(flip.after);
            scripted::SetDevicesAlive(flip.devices, flip.alive);
        }
        while (!feed.stopping()) {
            std::this_thread::sleep_for(Millis(1));
        }
    };
}

struct Line {
    std::string text;
    double at;  // seconds after the CAPTURE line
};

// Runs the tool with standard output drained, and collects `count` message
// lines from standard error after the CAPTURE line.
struct NoticedRun {
    ChildProcess child;
    std::thread drain;
    std::vector<Line> lines;

    NoticedRun(World world, const std::vector<std::string>& args, std::size_t count)
        : child((scripted::ResetWorld(std::move(world)), scripted::StartTool(args))) {
        drain = std::thread([this] { child.drainStdout(std::size_t(-1), Millis(20000)); });
        EXPECT_EQ(child.readStderrLine(kTimeout).rfind("CAPTURE\t", 0), 0u);
        const auto start = Clock::now();
        for (std::size_t i = 0; i < count; ++i) {
            std::string text = child.readStderrLine(kTimeout);
            lines.push_back({text, std::chrono::duration<double>(Clock::now() - start).count()});
        }
    }
    // Ends the run; what it printed after the lines already read.
    std::string finish() {
        child.closeStdin();
        EXPECT_EQ(child.wait(kTimeout).code, 0);
        drain.join();
        std::string rest = child.readStderrUntilEof(kTimeout);
        const scripted::Report report = scripted::ReadReport(child);
        EXPECT_TRUE(report.complete);
        EXPECT_EQ(report.leaks.listeners, 0) << "a listener outlived the run";
        return rest;
    }
};

std::vector<std::string> Texts(const std::vector<Line>& lines) {
    std::vector<std::string> texts;
    for (const Line& line : lines) {
        texts.push_back(line.text);
    }
    return texts;
}

TEST(SourceNotices, LossAndReturnAreToldOnceEachAtMostOneLineASecond) {
    World world = scripted::StandardWorld();
    world.systemFeeder = Flipping({{Millis(100), {kAggregate}, false}, {Millis(200), {kAggregate}, true}});
    NoticedRun run(world, {"capture", "macos-system-audio"}, 2);
    EXPECT_EQ(Texts(run.lines), (std::vector<std::string>{kSystemLost, kSystemBack}));
    // The return came 0.2 s after the loss, but its line waits out the second.
    EXPECT_GE(run.lines[1].at - run.lines[0].at, 0.9);
    EXPECT_EQ(run.finish(), "");
}

TEST(SourceNotices, FlappingWithinASecondEndsWithTheStateItSettledIn) {
    World world = scripted::StandardWorld();
    world.systemFeeder = Flipping({{Millis(100), {kAggregate}, false},
                                   {Millis(50), {kAggregate}, true},
                                   {Millis(50), {kAggregate}, false},
                                   {Millis(50), {kAggregate}, true},
                                   {Millis(50), {kAggregate}, false}});
    NoticedRun run(world, {"capture", "macos-system-audio"}, 1);
    EXPECT_EQ(Texts(run.lines), std::vector<std::string>{kSystemLost});
    // Lost, back, lost again within the second: nothing more to say.
    std::this_thread::sleep_for(Millis(1500));
    EXPECT_EQ(run.finish(), "");
}

TEST(SourceNotices, ALostServerTakesBothSourcesInOneLineAndGivesThemBackInOne) {
    // They come back some milliseconds apart, as their streams get ready.
    World world = scripted::StandardWorld();
    world.systemFeeder = Flipping({{Millis(100), {kAggregate, kMicrophone}, false},
                                   {Millis(300), {kMicrophone}, true},
                                   {Millis(40), {kAggregate}, true},
                                   {Millis(1500), {kMicrophone}, false}});
    NoticedRun run(world, {"capture-mixed", "macos-system-audio"}, 3);
    EXPECT_EQ(Texts(run.lines), (std::vector<std::string>{kBothLost, kBothBack, kMicrophoneLost}));
    EXPECT_EQ(run.finish(), "");
}

TEST(SourceNotices, OnlyTheSourcesOfTheRunAreWatched) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"capture", "macos-system-audio"}, {"capture-mixed", "__none__"}}) {
        ChildProcess child = (scripted::ResetWorld(scripted::StandardWorld()), scripted::StartTool(args));
        child.closeStdin();
        EXPECT_EQ(child.wait(kTimeout).code, 0);
        const scripted::Report report = scripted::ReadReport(child);
        const AudioObjectID watched = args[0] == "capture" ? kAggregate : kMicrophone;
        char text[64];
        std::snprintf(text, sizeof text, "AddPropertyListener @0x%x 'livn'", watched);
        std::vector<std::string> listeners;
        for (const auto& call : report.calls) {
            if (call.find("PropertyListener") != std::string::npos) {
                listeners.push_back(call);
            }
        }
        EXPECT_EQ(listeners, (std::vector<std::string>{text, "Remove" + std::string(text).substr(3)}));
        EXPECT_EQ(report.leaks.listeners, 0);
    }
}

}  // namespace
}  // namespace quorbel
