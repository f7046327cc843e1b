#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

namespace quorbel::test {
namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
    int read = -1;
    int write = -1;
};

Pipe MakePipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        std::abort();
    }
    return {fds[0], fds[1]};
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// What a freshly started child must not inherit from the test process.
void ResetChildSignals() {
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM}) {
        signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

void WireStandardStreams(const Pipe& in, const Pipe& out, const Pipe& err) {
    dup2(in.read, 0);
    dup2(out.write, 1);
    dup2(err.write, 2);
}

// Waits until fd is readable or the deadline passes; false on timeout.
bool WaitReadable(int fd, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left < 0) {
            left = 0;
        }
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, int(left));
        if (r > 0) {
            return true;
        }
        if (r == 0) {
            return false;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// Reads up to `count` bytes into out; stops at end of file or the deadline.
void ReadInto(int fd, std::string& out, std::size_t count, Clock::time_point deadline) {
    char buffer[65536];
    while (fd >= 0 && out.size() < count) {
        if (!WaitReadable(fd, deadline)) {
            return;
        }
        std::size_t want = std::min(sizeof buffer, count - out.size());
        ssize_t n = read(fd, buffer, want);
        if (n > 0) {
            out.append(buffer, std::size_t(n));
        } else if (n == 0 || errno != EINTR) {
            return;
        }
    }
}

}  // namespace

ChildProcess ChildProcess::Program(const std::string& path, const std::vector<std::string>& args) {
    Pipe in = MakePipe(), out = MakePipe(), err = MakePipe();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::fflush(nullptr);
    ChildProcess child;
    child.pid_ = fork();
    if (child.pid_ == 0) {
        WireStandardStreams(in, out, err);
        ResetChildSignals();
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(in.read);
    close(out.write);
    close(err.write);
    child.stdin_ = in.write;
    child.stdout_ = out.read;
    child.stderr_ = err.read;
    return child;
}

ChildProcess ChildProcess::Function(const std::function<int()>& body) {
    Pipe in = MakePipe(), out = MakePipe(), err = MakePipe(), report = MakePipe();
    std::fflush(nullptr);  // or the child would write the parent's pending output again
    ChildProcess child;
    child.pid_ = fork();
    if (child.pid_ == 0) {
        WireStandardStreams(in, out, err);
        dup2(report.write, 3);
        close_range(4, ~0U, 0);  // no pipe of another child may stay open in here
        ResetChildSignals();
        int status = body();
        std::fflush(nullptr);
        _exit(status);
    }
    close(in.read);
    close(out.write);
    close(err.write);
    close(report.write);
    child.stdin_ = in.write;
    child.stdout_ = out.read;
    child.stderr_ = err.read;
    child.report_ = report.read;
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdin_(std::exchange(other.stdin_, -1)),
      stdout_(std::exchange(other.stdout_, -1)),
      stderr_(std::exchange(other.stderr_, -1)),
      report_(std::exchange(other.report_, -1)),
      stderrPending_(std::move(other.stderrPending_)),
      reaped_(std::exchange(other.reaped_, true)),
      result_(other.result_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        release();
        pid_ = std::exchange(other.pid_, -1);
        stdin_ = std::exchange(other.stdin_, -1);
        stdout_ = std::exchange(other.stdout_, -1);
        stderr_ = std::exchange(other.stderr_, -1);
        report_ = std::exchange(other.report_, -1);
        stderrPending_ = std::move(other.stderrPending_);
        reaped_ = std::exchange(other.reaped_, true);
        result_ = other.result_;
    }
    return *this;
}

ChildProcess::~ChildProcess() { release(); }

void ChildProcess::release() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
    }
    closeAll();
}

void ChildProcess::closeAll() {
    CloseFd(stdin_);
    CloseFd(stdout_);
    CloseFd(stderr_);
    CloseFd(report_);
}

bool ChildProcess::writeStdin(std::string_view bytes) {
    static const bool ignored = [] { return signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
    (void)ignored;
    while (!bytes.empty() && stdin_ >= 0) {
        ssize_t n = write(stdin_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(std::size_t(n));
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return bytes.empty();
}

void ChildProcess::closeStdin() { CloseFd(stdin_); }
void ChildProcess::closeStdout() { CloseFd(stdout_); }

std::string ChildProcess::readStdout(std::size_t count, Millis timeout) {
    std::string out;
    ReadInto(stdout_, out, count, Clock::now() + timeout);
    return out;
}

std::string ChildProcess::readStdoutUntilEof(Millis timeout) { return readStdout(std::string::npos, timeout); }

std::string ChildProcess::readStdoutAvailable(std::size_t max, Millis timeout, bool* ended) {
    std::string out;
    if (stdout_ < 0 || !WaitReadable(stdout_, Clock::now() + timeout)) {
        return out;
    }
    out.resize(max);
    ssize_t n = 0;
    do {
        n = read(stdout_, out.data(), max);
    } while (n < 0 && errno == EINTR);
    out.resize(n > 0 ? std::size_t(n) : 0);
    if (n <= 0 && ended != nullptr) {
        *ended = true;  // end of file, or a read error that will not go away
    }
    return out;
}

std::size_t ChildProcess::drainStdout(std::size_t count, Millis timeout) {
    auto deadline = Clock::now() + timeout;
    std::size_t seen = 0;
    std::string chunk;
    while (seen < count) {
        chunk.clear();
        ReadInto(stdout_, chunk, std::min<std::size_t>(count - seen, 1 << 20), deadline);
        if (chunk.empty()) {
            break;
        }
        seen += chunk.size();
    }
    return seen;
}

std::string ChildProcess::readStderrLine(Millis timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto newline = stderrPending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = stderrPending_.substr(0, newline);
            stderrPending_.erase(0, newline + 1);
            return line;
        }
        std::string more;
        ReadInto(stderr_, more, 1, deadline);
        if (more.empty()) {
            return "";
        }
        stderrPending_ += more;
    }
}

std::string ChildProcess::readStderrUntilEof(Millis timeout) {
    std::string out = std::exchange(stderrPending_, std::string());
    ReadInto(stderr_, out, std::string::npos, Clock::now() + timeout);
    return out;
}

std::string ChildProcess::readReport(Millis timeout) {
    std::string out;
    ReadInto(report_, out, std::string::npos, Clock::now() + timeout);
    return out;
}

void ChildProcess::sendSignal(int signal) {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, signal);
    }
}

ExitResult ChildProcess::wait(Millis timeout) {
    if (reaped_) {
        return result_;
    }
    auto deadline = Clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            break;
        }
        if (r < 0 && errno != EINTR) {
            reaped_ = true;
            return result_;
        }
        if (Clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            reaped_ = true;
            result_.timedOut = true;
            result_.signal = SIGKILL;
            return result_;
        }
        std::this_thread::sleep_for(Millis(2));
    }
    record(status);
    return result_;
}

bool ChildProcess::hasExited() {
    if (reaped_) {
        return true;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) {
        return false;
    }
    record(status);
    return true;
}

void ChildProcess::record(int status) {
    reaped_ = true;
    if (WIFEXITED(status)) {
        result_.exited = true;
        result_.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result_.signal = WTERMSIG(status);
    }
}

}  // namespace quorbel::test
