// What ends a capture run: signals, the end of standard input, and (set by
// the pumps' write routine) a reader that went away.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "capture/Capture.h"

namespace quorbel {

std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

namespace {

constexpr int kPollWithoutWakePipeMs = 50;

void RequestStop() { gStopRequested.store(true, std::memory_order_relaxed); }

// Consumes and ignores whatever the parent writes; only the end of input or
// a read error asks for a stop. The wake pipe ends the wait when the run is
// over, since closing descriptor 0 would not end a pending read here.
void WatchStdin(void* argument) {
    const int wakeFd = *static_cast<const int*>(argument);
    char buffer[128];
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int timeout = wakeFd < 0 ? kPollWithoutWakePipeMs : -1;
    while (!gStopRequested.load(std::memory_order_relaxed)) {
        const int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            RequestStop();
            return;
        }
        if (ready <= 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            return;
        }
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            RequestStop();
            return;
        }
    }
}

// A descriptor at 3 or above: with standard input closed, a new pipe would
// otherwise become descriptor 0 and be watched as standard input.
int AboveStandardStreams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

}  // namespace

void HandleSignal(int) { RequestStop(); }

std::thread StartThreadWithoutStopSignals(void (*body)(void*), void* argument) {
    sigset_t stopSignals, previous;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    std::thread thread(body, argument);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

void InstallStopSignals() {
    // No SA_RESTART: a write blocked on a reader that stopped reading must
    // come back with EINTR so that the pump sees the flag.
    struct sigaction action = {};
    action.sa_handler = HandleSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void StartStdinWatcher(StdinWatcher& watcher) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        watcher.wakeRead = AboveStandardStreams(fds[0]);
        watcher.wakeWrite = AboveStandardStreams(fds[1]);
    }
    watcher.thread = StartThreadWithoutStopSignals(WatchStdin, &watcher.wakeRead);
}

void StopStdinWatcher(StdinWatcher& watcher) {
    if (watcher.wakeWrite >= 0) {
        const char wake = 1;
        while (write(watcher.wakeWrite, &wake, 1) < 0 && errno == EINTR) {
        }
    }
    if (watcher.thread.joinable()) {
        watcher.thread.join();
    }
    close(STDIN_FILENO);
    for (int* fd : {&watcher.wakeRead, &watcher.wakeWrite}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

}  // namespace quorbel
