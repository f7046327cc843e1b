#include <gtest/gtest.h>

#include "cli/Cli.h"
#include "platform/ScriptedPlatform.h"

namespace quorbel {
namespace {

using scripted::AccessAnswer;
using scripted::World;

constexpr const char* kNoDefaultInput = "Nessun microfono predefinito disponibile.\n";

World Permission(int status, AccessAnswer answer = AccessAnswer::Granted) {
    World world = scripted::StandardWorld();
    world.authorizationStatus = status;
    world.accessAnswer = answer;
    world.waitCap = std::chrono::milliseconds(5000);
    return world;
}

struct Outcome {
    int status;
    std::string err;
    std::string out;
};

Outcome Authorize(World world) {
    scripted::ResetWorld(std::move(world));
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = AuthorizeMicrophone();
    return {status, ::testing::internal::GetCapturedStderr(), ::testing::internal::GetCapturedStdout()};
}

bool Requested() { return !scripted::CallsStartingWith({"RequestAccess"}).empty(); }

TEST(AuthorizeMicrophone, AuthorizedWithADefaultInputSucceedsSilently) {
    const Outcome outcome = Authorize(Permission(AVAuthorizationStatusAuthorized));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(Requested());
}

TEST(AuthorizeMicrophone, NeedsADefaultInputDevice) {
    World world = Permission(AVAuthorizationStatusAuthorized);
    world.defaultInput = 0;
    Outcome outcome = Authorize(world);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, kNoDefaultInput);

    world = Permission(AVAuthorizationStatusAuthorized);
    world.failures["get dIn "] = kAudioHardwareNotRunningError;
    outcome = Authorize(world);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, kNoDefaultInput);
    EXPECT_EQ(outcome.out, "");
}

TEST(AuthorizeMicrophone, RefusedStatusesFailWithoutAsking) {
    for (int status : {AVAuthorizationStatusRestricted, AVAuthorizationStatusDenied, 4, -1}) {
        const Outcome outcome = Authorize(Permission(status));
        EXPECT_EQ(outcome.status, 1) << status;
        EXPECT_EQ(outcome.err, kMicrophoneAccessMessage);
        EXPECT_FALSE(Requested());
    }
}

TEST(AuthorizeMicrophone, AnOpenQuestionIsAskedAndTheAnswerCounts) {
    Outcome outcome = Authorize(Permission(AVAuthorizationStatusNotDetermined, AccessAnswer::Granted));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(Requested());
    // The wait is bounded at 60 s from the request's return.
    EXPECT_EQ(scripted::CallsStartingWith({"RequestAccess", "dispatch_time"}),
              (std::vector<std::string>{"RequestAccess", "dispatch_time 60000000000"}));

    outcome = Authorize(Permission(AVAuthorizationStatusNotDetermined, AccessAnswer::Refused));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, kMicrophoneAccessMessage);
}

TEST(AuthorizeMicrophone, AnAnswerGivenBeforeTheRequestReturnsCounts) {
    Outcome outcome = Authorize(Permission(AVAuthorizationStatusNotDetermined, AccessAnswer::GrantedBeforeReturn));
    EXPECT_EQ(outcome.status, 0);
    outcome = Authorize(Permission(AVAuthorizationStatusNotDetermined, AccessAnswer::RefusedBeforeReturn));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, kMicrophoneAccessMessage);
}

TEST(AuthorizeMicrophone, NoAnswerInTimeIsARefusal) {
    World world = Permission(AVAuthorizationStatusNotDetermined, AccessAnswer::Never);
    world.waitCap = std::chrono::milliseconds(20);
    const Outcome outcome = Authorize(world);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, kMicrophoneAccessMessage);
}

TEST(AuthorizeMicrophone, ALateAnswerChangesNothingAndDoesNoHarm) {
    World world = Permission(AVAuthorizationStatusNotDetermined, AccessAnswer::GrantedLate);
    world.waitCap = std::chrono::milliseconds(10);
    world.answerDelay = std::chrono::milliseconds(100);
    const Outcome outcome = Authorize(world);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, kMicrophoneAccessMessage);
    scripted::ResetWorld();  // joins the late answer, which must find its state alive
}

TEST(MicrophoneAllowed, OnlyAnAuthorizedStatusAllowsWithoutAsking) {
    for (int status : {0, 1, 2, 3, 4}) {
        scripted::ResetWorld(Permission(status, AccessAnswer::GrantedBeforeReturn));
        EXPECT_EQ(MicrophoneAllowed(false), status == AVAuthorizationStatusAuthorized) << status;
        EXPECT_FALSE(Requested());
    }
}

}  // namespace
}  // namespace quorbel
