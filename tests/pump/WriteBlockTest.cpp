#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "capture/Capture.h"
#include "pump/Pump.h"
#include "pump/PumpTestSupport.h"

namespace quorbel {
namespace {

using test::ChildProcess;
using test::kPumpTimeout;

std::string Pattern(std::size_t n) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = char(i * 7 + i / 251);
    }
    return bytes;
}

void Report(const std::string& text) {
    if (write(3, text.data(), text.size()) < 0) {
        _exit(99);
    }
}

std::atomic<int> gInterruptions{0};

// Interrupts the child's blocked writes: a handler without SA_RESTART makes
// write return early, with a partial count or EINTR.
void InstallInterruptingHandler(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
}

void CountInterruption(int) { gInterruptions.fetch_add(1); }
void CountAndStop(int signal) {
    gInterruptions.fetch_add(1);
    HandleSignal(signal);
}

// Makes descriptor 1 hold a single page, so a large write blocks part way.
void ShrinkStdoutPipe() { fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096); }

void InterruptLater(pthread_t target, int times) {
    std::thread([target, times] {
        for (int i = 0; i < times; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            pthread_kill(target, SIGUSR1);
        }
    }).detach();
}

TEST(WriteBlock, WritesEveryByte) {
    const std::string data = Pattern(200000);
    ChildProcess child = test::RunPump([&] { Report(WriteBlock(data.data(), data.size()) ? "true" : "false"); });
    EXPECT_EQ(child.readStdoutUntilEof(kPumpTimeout), data);
    EXPECT_EQ(child.wait(kPumpTimeout).code, 0);
    EXPECT_EQ(child.readReport(kPumpTimeout), "true");
}

TEST(WriteBlock, InterruptedWritesCarryOnWithinTheBlock) {
    const std::string data = Pattern(65536);
    ChildProcess child = test::RunPump([&] {
        InstallInterruptingHandler(CountInterruption);
        ShrinkStdoutPipe();
        InterruptLater(pthread_self(), 2);  // a partial write, then EINTR with nothing written
        const bool written = WriteBlock(data.data(), data.size());
        Report(std::string(written ? "true " : "false ") + std::to_string(gInterruptions.load()));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the writer blocks meanwhile
    EXPECT_EQ(child.readStdoutUntilEof(kPumpTimeout), data);
    EXPECT_EQ(child.wait(kPumpTimeout).code, 0);
    EXPECT_EQ(child.readReport(kPumpTimeout), "true 2");
}

TEST(WriteBlock, AStopBetweenPartialWritesLeavesTheRestUnwritten) {
    const std::string data = Pattern(65536);
    ChildProcess child = test::RunPump([&] {
        InstallInterruptingHandler(CountAndStop);
        ShrinkStdoutPipe();
        InterruptLater(pthread_self(), 1);
        const bool written = WriteBlock(data.data(), data.size());
        Report(std::string(written ? "true " : "false ") + (gStopRequested.load() ? "stopped" : "running"));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string out = child.readStdoutUntilEof(kPumpTimeout);
    EXPECT_GT(out.size(), 0u);
    EXPECT_LT(out.size(), data.size());
    EXPECT_EQ(out, data.substr(0, out.size()));
    EXPECT_EQ(child.wait(kPumpTimeout).code, 0);
    EXPECT_EQ(child.readReport(kPumpTimeout), "false stopped");
}

TEST(WriteBlock, AStopBeforehandWritesNothing) {
    ChildProcess child = test::RunPump([] {
        gStopRequested.store(true);
        Report(WriteBlock("abcd", 4) ? "true" : "false");
    });
    EXPECT_EQ(child.readStdoutUntilEof(kPumpTimeout), "");
    EXPECT_EQ(child.readReport(kPumpTimeout), "false");
}

TEST(WriteBlock, AGoneReaderSetsTheFlagWithoutKillingTheProcess) {
    ChildProcess child = test::RunPump([] {
        char byte;
        while (read(STDIN_FILENO, &byte, 1) > 0) {  // waits for the parent's go
        }
        const bool written = WriteBlock("abcd", 4);
        Report(std::string(written ? "true " : "false ") + (gStopRequested.load() ? "stopped" : "running"));
    });
    child.closeStdout();
    child.closeStdin();
    const test::ExitResult exit = child.wait(kPumpTimeout);
    EXPECT_TRUE(exit.exited);
    EXPECT_EQ(exit.code, 0);
    EXPECT_EQ(child.readReport(kPumpTimeout), "false stopped");
}

// A grace that ran out while the pump was catching up is over; one the pump
// was held up in starts again from when the hold-up ended, but only once a
// block.
TEST(GraceNap, AHoldUpInTheWaitStartsTheGraceAgainOnce) {
    using std::chrono::milliseconds;
    using Clock = std::chrono::steady_clock;
    gStopRequested.store(false);
    const milliseconds length(1000);  // long, so that only the hold-ups below can move it
    const auto start = Clock::now();
    GraceWindow spent = GraceFor(start - 2 * length, start - 2 * length, length);
    EXPECT_FALSE(NapWithinGrace(spent));

    GraceWindow grace = GraceFor(start, start, length);
    const auto resumed = Clock::now();
    grace.looked = resumed - milliseconds(15);  // as if held up since a look
    EXPECT_TRUE(NapWithinGrace(grace));
    EXPECT_GE(grace.end, resumed + length);

    const auto end = grace.end;
    grace.looked -= milliseconds(15);  // held up again: the block waits no longer
    EXPECT_TRUE(NapWithinGrace(grace));
    EXPECT_EQ(grace.end, end);
}

}  // namespace
}  // namespace quorbel
