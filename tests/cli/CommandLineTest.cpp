// The command line as the parent application sees it: the built binary, its
// exact output bytes and its exit status.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>

#include "cli/Cli.h"

#include "platform/ScriptedRun.h"
#include "support/ChildProcess.h"

namespace quorbel {
namespace {

using test::ChildProcess;
using test::Millis;

constexpr Millis kTimeout{10000};
constexpr const char* kDeviceLine =
    "DEVICE\tbWFjb3Mtc3lzdGVtLWF1ZGlv\tQXVkaW8gZGkgc2lzdGVtYSAoYXV0b21hdGljbyk=\t1\t2\t48000\t16\tUGNt\n";
constexpr const char* kInvalidSource = "Sorgente audio di sistema non valida.\n";

struct Outcome {
    std::string out;
    std::string err;
    test::ExitResult exit;
};

Outcome RunBinary(const std::vector<std::string>& args) {
    ChildProcess child = ChildProcess::Program(QUORBEL_BINARY, args);
    child.closeStdin();
    Outcome outcome;
    outcome.out = child.readStdoutUntilEof(kTimeout);
    outcome.err = child.readStderrUntilEof(kTimeout);
    outcome.exit = child.wait(kTimeout);
    return outcome;
}

void ExpectBadCommandLine(const std::vector<std::string>& args, const std::string& message) {
    const Outcome outcome = RunBinary(args);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, message);
    EXPECT_TRUE(outcome.exit.exited);
    EXPECT_EQ(outcome.exit.code, 2);
}

TEST(CommandLine, ListPrintsTheOneDeviceLine) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"list"}, {"list", "extra", "more"}}) {
        const Outcome outcome = RunBinary(args);
        EXPECT_EQ(outcome.out, kDeviceLine);
        EXPECT_EQ(outcome.err, "");
        EXPECT_TRUE(outcome.exit.exited);
        EXPECT_EQ(outcome.exit.code, 0);
    }
}

TEST(CommandLine, NoCommandWordPrintsTheUsageLine) {
    ExpectBadCommandLine({}, "Usage: Quorbel list | capture <deviceId> | capture-mixed <deviceId>\n");
}

TEST(CommandLine, UnknownCommandsAreEchoedWhole) {
    ExpectBadCommandLine({""}, "Comando non supportato: \n");
    ExpectBadCommandLine({"LIST"}, "Comando non supportato: LIST\n");
    ExpectBadCommandLine({"capture-mix", "macos-system-audio"}, "Comando non supportato: capture-mix\n");
    ExpectBadCommandLine({"list-inputs extra"}, "Comando non supportato: list-inputs extra\n");
    ExpectBadCommandLine({" list"}, "Comando non supportato:  list\n");
}

TEST(CommandLine, CaptureNeedsTheSystemSource) {
    ExpectBadCommandLine({"capture"}, kInvalidSource);
    ExpectBadCommandLine({"capture", "__none__"}, kInvalidSource);
    ExpectBadCommandLine({"capture", "macos-system-audio "}, kInvalidSource);
    ExpectBadCommandLine({"capture", ""}, kInvalidSource);
}

TEST(CommandLine, CaptureMixedNeedsAKnownSource) {
    ExpectBadCommandLine({"capture-mixed"}, kInvalidSource);
    ExpectBadCommandLine({"capture-mixed", "MACOS-SYSTEM-AUDIO", "mic"}, kInvalidSource);
    ExpectBadCommandLine({"capture-mixed", "none"}, kInvalidSource);
}

// The arguments that reach a capture run show in the platform calls it makes:
// a mixed run checks permission, a run with the system source makes a tap, a
// microphone UID is looked up in the device list, no UID reads the default.
struct CaptureCalls {
    bool checksPermission;
    bool makesTap;
    bool enumeratesDevices;
    bool readsDefaultInput;
};

CaptureCalls RunCaptureOnScriptedPlatform(const std::vector<std::string>& args) {
    scripted::ResetWorld(scripted::StandardWorld());
    ChildProcess child = scripted::StartTool(args);
    child.closeStdin();  // the run ends at once
    child.readStdoutUntilEof(kTimeout);
    EXPECT_EQ(child.wait(kTimeout).code, 0);
    const auto report = scripted::ReadReport(child);
    return {scripted::Contains(report.calls, "AuthorizationStatus"),
            scripted::Contains(report.calls, "CreateProcessTap"), scripted::Contains(report.calls, "get uid "),
            scripted::Contains(report.calls, "get dIn ")};
}

TEST(CommandLine, CaptureRecordsTheSystemSourceAloneAndIgnoresExtraArguments) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"capture", "macos-system-audio"},
                                                                   {"capture", "macos-system-audio", "mic-1"}}) {
        const CaptureCalls calls = RunCaptureOnScriptedPlatform(args);
        EXPECT_FALSE(calls.checksPermission);
        EXPECT_TRUE(calls.makesTap);
        EXPECT_FALSE(calls.enumeratesDevices);
        EXPECT_FALSE(calls.readsDefaultInput);
    }
}

TEST(CommandLine, CaptureMixedPassesSourceAndMicrophoneOn) {
    CaptureCalls calls = RunCaptureOnScriptedPlatform({"capture-mixed", "macos-system-audio"});
    EXPECT_TRUE(calls.checksPermission);
    EXPECT_TRUE(calls.makesTap);
    EXPECT_TRUE(calls.readsDefaultInput);

    calls = RunCaptureOnScriptedPlatform({"capture-mixed", "__none__"});
    EXPECT_TRUE(calls.checksPermission);
    EXPECT_FALSE(calls.makesTap);
    EXPECT_TRUE(calls.readsDefaultInput);

    calls = RunCaptureOnScriptedPlatform({"capture-mixed", "__none__", "mic-1", "ignored"});
    EXPECT_FALSE(calls.makesTap);
    EXPECT_TRUE(calls.enumeratesDevices);
    EXPECT_FALSE(calls.readsDefaultInput);

    calls = RunCaptureOnScriptedPlatform({"capture-mixed", "macos-system-audio", ""});
    EXPECT_TRUE(calls.makesTap);
    EXPECT_FALSE(calls.enumeratesDevices);
    EXPECT_TRUE(calls.readsDefaultInput);
}

TEST(CommandLine, EveryCommandRunsInsideOneAutoreleaseScope) {
    scripted::ResetWorld(scripted::StandardWorld());
    ChildProcess child = scripted::StartTool({"list"});
    child.closeStdin();
    EXPECT_EQ(child.readStdoutUntilEof(kTimeout), kDeviceLine);
    EXPECT_EQ(child.wait(kTimeout).code, 0);
    const auto report = scripted::ReadReport(child);
    EXPECT_EQ(report.calls, (std::vector<std::string>{"objc_autoreleasePoolPush", "objc_autoreleasePoolPop"}));
}

}  // namespace
}  // namespace quorbel

namespace quorbel {
namespace {

TEST(StandardDescriptors, ClosedOnesAreReservedAndStillFail) {
    test::ChildProcess child = test::ChildProcess::Function([] {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        ReserveStandardDescriptors();
        int fds[2];
        if (pipe(fds) != 0 || fds[0] < 3 || fds[1] < 3) {
            return 1;
        }
        char byte;
        if (read(STDIN_FILENO, &byte, 1) != -1 || errno != EBADF) {
            return 2;
        }
        if (write(STDOUT_FILENO, "x", 1) != -1 || errno != EBADF) {
            return 3;
        }
        return 0;
    });
    EXPECT_EQ(child.wait(test::Millis(10000)).code, 0);
}

}  // namespace
}  // namespace quorbel
