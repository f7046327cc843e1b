// The stop flag and the stdin watcher, each run in a child process whose
// standard input the test holds.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "capture/Capture.h"
#include "support/ChildProcess.h"

namespace quorbel {
namespace {

using test::ChildProcess;
using test::Millis;
using Clock = std::chrono::steady_clock;

constexpr Millis kTimeout{10000};

void Report(const std::string& text) {
    if (write(3, text.data(), text.size()) < 0) {
        _exit(99);
    }
}

// Waits, without a deadline that could fail on a slow machine, for the flag.
void AwaitFlag() {
    while (!gStopRequested.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A watcher that runs until something stops the run; the child ends then.
int WatchUntilStopped() {
    gStopRequested.store(false);
    StdinWatcher watcher;
    StartStdinWatcher(watcher);
    AwaitFlag();
    StopStdinWatcher(watcher);
    return 0;
}

TEST(StopControl, HandleSignalOnlySetsTheFlag) {
    gStopRequested.store(false);
    HandleSignal(SIGTERM);
    EXPECT_TRUE(gStopRequested.load());
    gStopRequested.store(false);
}

TEST(StdinWatcher, TheEndOfInputStopsTheRun) {
    ChildProcess child = ChildProcess::Function(WatchUntilStopped);
    child.closeStdin();
    const test::ExitResult exit = child.wait(kTimeout);
    EXPECT_FALSE(exit.timedOut);
    EXPECT_EQ(exit.code, 0);
}

TEST(StdinWatcher, BytesAreConsumedAndNeverStopTheRun) {
    ChildProcess child = ChildProcess::Function(WatchUntilStopped);
    // Far more than a pipe holds: it only all goes in if the watcher reads it.
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(child.writeStdin(std::string(16384, 'a')));
    }
    EXPECT_FALSE(child.hasExited());
    child.closeStdin();
    EXPECT_EQ(child.wait(kTimeout).code, 0);
}

TEST(StdinWatcher, StartedAfterAStopItReadsNothing) {
    ChildProcess child = ChildProcess::Function([] {
        gStopRequested.store(true);
        StdinWatcher watcher;
        StartStdinWatcher(watcher);
        watcher.thread.join();  // ends by itself
        char byte = 0;
        return read(STDIN_FILENO, &byte, 1) == 1 && byte == 'z' ? 0 : 1;
    });
    ASSERT_TRUE(child.writeStdin("z"));
    EXPECT_EQ(child.wait(kTimeout).code, 0);
}

TEST(StdinWatcher, IsReleasedPromptlyWhileTheParentKeepsInputOpen) {
    for (const std::string route : {"signal", "flag"}) {
        SCOPED_TRACE(route);
        ChildProcess child = ChildProcess::Function([route] {
            gStopRequested.store(false);
            InstallStopSignals();
            StdinWatcher watcher;
            StartStdinWatcher(watcher);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block
            if (route == "signal") {
                kill(getpid(), SIGTERM);
            } else {
                gStopRequested.store(true);  // as a failed write would
            }
            AwaitFlag();
            const auto start = Clock::now();
            StopStdinWatcher(watcher);
            const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
            Report(std::to_string(took.count()));
            return 0;
        });
        // Standard input stays open and silent throughout.
        const test::ExitResult exit = child.wait(kTimeout);
        EXPECT_EQ(exit.code, 0);
        const std::string report = child.readReport(kTimeout);
        ASSERT_FALSE(report.empty());
        EXPECT_LT(std::stol(report), 100000);
    }
}

TEST(StdinWatcher, AClosedStandardInputCountsAsItsEnd) {
    ChildProcess child = ChildProcess::Function([] {
        close(STDIN_FILENO);
        return WatchUntilStopped();
    });
    EXPECT_EQ(child.wait(kTimeout).code, 0);
}

}  // namespace
}  // namespace quorbel
