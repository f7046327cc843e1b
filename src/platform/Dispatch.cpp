// Dispatch semaphores, the same for every backend. Only dispatch_time comes
// from the backend, so that a test platform can shorten long waits.
#include "platform/AudioPlatform.h"

namespace quorbel {

dispatch_semaphore_t dispatch_semaphore_create(long value) {
    auto semaphore = std::make_shared<DispatchSemaphore>();
    semaphore->count = value;
    return semaphore;
}

long dispatch_semaphore_signal(const dispatch_semaphore_t& semaphore) {
    {
        std::lock_guard<std::mutex> lock(semaphore->mutex);
        ++semaphore->count;
    }
    semaphore->signalled.notify_one();
    return 0;
}

long dispatch_semaphore_wait(const dispatch_semaphore_t& semaphore, dispatch_time_t deadline) {
    std::unique_lock<std::mutex> lock(semaphore->mutex);
    if (!semaphore->signalled.wait_until(lock, deadline, [&] { return semaphore->count > 0; })) {
        return 1;
    }
    --semaphore->count;
    return 0;
}

}  // namespace quorbel
