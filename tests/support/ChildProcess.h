// Runs the tool (or a piece of it) as a child process with its three standard
// streams on pipes, the way the recording application does. The destructor
// kills and reaps a child that is still running and closes every descriptor,
// so a test that fails halfway leaves no zombie and no open pipe behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quorbel::test {

using Millis = std::chrono::milliseconds;

struct ExitResult {
    bool exited = false;    // ended with exit(); code is valid
    int code = -1;
    int signal = 0;         // ended by this signal
    bool timedOut = false;  // still running when the wait gave up (it has been killed)
};

class ChildProcess {
public:
    // Runs the executable at path with the given arguments (argv[0] is path).
    static ChildProcess Program(const std::string& path, const std::vector<std::string>& args);
    // Forks and runs body in the child; its result is the exit status. In the
    // child, descriptor 3 is a fourth pipe whose bytes readReport() returns.
    static ChildProcess Function(const std::function<int()>& body);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const { return pid_; }

    bool writeStdin(std::string_view bytes);
    void closeStdin();
    // Reads until `count` bytes have come, end of file, or the timeout.
    std::string readStdout(std::size_t count, Millis timeout);
    std::string readStdoutUntilEof(Millis timeout);
    // Whatever standard output holds (up to max bytes), waiting up to timeout
    // for the first byte; "" on timeout or at end of file, which sets *ended.
    std::string readStdoutAvailable(std::size_t max, Millis timeout, bool* ended = nullptr);
    // Discards standard output until `count` bytes or end of file; returns the count seen.
    std::size_t drainStdout(std::size_t count, Millis timeout);
    void closeStdout();
    // One line of standard error, without its line feed ("" at end of file or timeout).
    std::string readStderrLine(Millis timeout);
    std::string readStderrUntilEof(Millis timeout);
    std::string readReport(Millis timeout);
    void sendSignal(int signal);
    // True once the child has ended (it is then reaped); never waits or kills.
    bool hasExited();
    // Waits for the child to end; after the timeout it is killed and reaped.
    ExitResult wait(Millis timeout);

private:
    ChildProcess() = default;
    void closeAll();
    void release();
    void record(int status);

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    int report_ = -1;
    std::string stderrPending_;
    bool reaped_ = false;
    ExitResult result_;
};

}  // namespace quorbel::test
