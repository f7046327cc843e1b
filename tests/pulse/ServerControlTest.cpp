// The test server's own control (QUORBEL_SERVER_CONTROL), which tests use to
// take the server away mid-run: it must leave the server down or fully back
// up as asked, and a client meanwhile must be refused, never left hanging.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "PulseTestSupport.h"

namespace quorbel::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kTool = QUORBEL_BINARY;

bool ServerAnswers() { return RunCommand("pactl", {"info"}).code == 0; }

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// The server as at first start: our devices, and the defaults on them.
void ExpectServerAsAtStart() {
    EXPECT_EQ(Trimmed(RunCommand("pactl", {"get-default-sink"}).output), "quorbel_out");
    EXPECT_EQ(Trimmed(RunCommand("pactl", {"get-default-source"}).output), "quorbel_mic");
    std::string sources = RunCommand("pactl", {"list", "short", "sources"}).output;
    EXPECT_NE(sources.find("quorbel_out.monitor"), std::string::npos) << sources;
    EXPECT_NE(sources.find("quorbel_mic\t"), std::string::npos) << sources;
}

void Control(const std::string& request) {
    CommandResult result = ControlServer(request);
    ASSERT_EQ(result.code, 0) << request << ": " << result.output;
}

struct ServerControlTest : ::testing::Test {
    void SetUp() override {
        ASSERT_NE(std::getenv("QUORBEL_SERVER_CONTROL"), nullptr) << "run me under tests/pulse/private-server.sh";
        ASSERT_FALSE(FindProgram("pactl").empty());
    }
};

TEST_F(ServerControlTest, StopThenStart) {
    Control("stop");
    EXPECT_FALSE(ServerAnswers());
    Control("stop");  // already stopped: nothing to do
    Control("start");
    ExpectServerAsAtStart();
    CommandResult again = ControlServer("start");
    EXPECT_NE(again.code, 0) << "a second server was started on the same socket";
    EXPECT_NE(again.output, "") << "no reason given";
    ExpectServerAsAtStart();
}

TEST_F(ServerControlTest, KillThenStart) {
    Control("kill");
    EXPECT_FALSE(ServerAnswers());
    Control("start");
    ExpectServerAsAtStart();
}

TEST_F(ServerControlTest, UnknownRequestIsRefused) {
    CommandResult result = ControlServer("pause");
    EXPECT_EQ(result.code, 2);
    EXPECT_NE(result.output.find("pause"), std::string::npos) << result.output;
    EXPECT_TRUE(ServerAnswers());
}

// Clients keep connecting while the server restarts twice: each one ends by
// itself, well before its time-out, whether it got the server or was refused.
TEST_F(ServerControlTest, ClientsDuringRestartsAreAnsweredOrRefused) {
    std::atomic<bool> done{false};
    CommandResult first, second;
    std::thread restarter([&] {
        first = ControlServer("restart");
        second = ControlServer("restart");
        done = true;
    });
    int clients = 0, refused = 0;
    while (!done) {
        auto start = Clock::now();
        CommandResult result = RunCommand("pactl", {"info"}, 20000ms);
        EXPECT_NE(result.code, -1) << "a client hung during a restart";
        EXPECT_LT(Clock::now() - start, 10s);
        ++clients;
        refused += result.code != 0;
    }
    restarter.join();
    EXPECT_EQ(first.code, 0) << first.output;
    EXPECT_EQ(second.code, 0) << second.output;
    std::printf("[ measured ] %d clients during two restarts, %d refused\n", clients, refused);
    ExpectServerAsAtStart();
}

// The control works while the tool is connected and capturing, and the
// restarted server serves the tool as before.
TEST_F(ServerControlTest, RestartWhileTheToolCaptures) {
    auto capture = ChildProcess::Program(kTool, {"capture", "macos-system-audio"});
    EXPECT_EQ(capture.readStdout(std::string("FORMAT\t44100\t2\ts16le\n").size(), 10s), "FORMAT\t44100\t2\ts16le\n");
    Control("restart");
    ExpectServerAsAtStart();
    capture.closeStdin();
    capture.drainStdout(std::size_t(-1), 10000ms);
    capture.wait(5000ms);

    auto list = ChildProcess::Program(kTool, {"list-inputs"});
    bool listed = false;
    for (const auto& line : Split(list.readStdoutUntilEof(10s), '\n')) {
        auto fields = Split(line, '\t');
        listed = listed || (fields.size() == 3 && Base64Decode(fields[1]) == "quorbel_mic");
    }
    EXPECT_TRUE(listed) << "the restarted server's microphone is not listed";
    EXPECT_TRUE(list.wait(5000ms).exited);
}

}  // namespace
}  // namespace quorbel::test
