// The one way PCM reaches standard output: straight to the descriptor, never
// through stdout's buffer, so the reader has each block as soon as it is out.
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "capture/Capture.h"
#include "pump/Pump.h"

namespace quorbel {

bool WriteBlock(const void* data, std::size_t length) {
    const auto* next = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        if (gStopRequested.load(std::memory_order_relaxed)) {
            return false;
        }
        const ssize_t n = write(STDOUT_FILENO, next, length);
        if (n > 0) {
            next += n;
            length -= std::size_t(n);
        } else if (n == 0 || errno != EINTR) {
            // A reader that closed the pipe shows up here as EPIPE (SIGPIPE is ignored).
            gStopRequested.store(true, std::memory_order_relaxed);
            return false;
        }
    }
    return true;
}

void SleepUntil(std::chrono::steady_clock::time_point deadline) {
    const auto now = std::chrono::steady_clock::now();
    if (deadline > now) {
        std::this_thread::sleep_for(deadline - now);
    }
}

}  // namespace quorbel
