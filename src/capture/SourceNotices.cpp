// Messages for people when a running source loses its audio and when it gets
// it back. The platform tells us through the devices' 'livn' property; the
// wording lives here, with the capture run's other messages.
#include <chrono>
#include <cstdio>

#include "capture/Capture.h"

namespace quorbel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kLineInterval = std::chrono::seconds(1);
// Sources coming back with a server do so some milliseconds apart: a change
// is looked at once this has passed, so that one line can tell of both.
constexpr auto kSettle = std::chrono::milliseconds(150);
constexpr AudioObjectPropertyAddress kAliveAddress = {kAudioDevicePropertyDeviceIsAlive,
                                                      kAudioObjectPropertyScopeGlobal,
                                                      kAudioObjectPropertyElementMain};

struct WatchedSource {
    AudioObjectID device;
    const char* lost;
    const char* back;
    bool alive = true;    // as last read
    bool printed = true;  // the state the last line told of
};

OSStatus SourceChanged(AudioObjectID, std::uint32_t, const AudioObjectPropertyAddress*, void* clientData) {
    auto& notices = *static_cast<SourceNotices*>(clientData);
    {
        std::lock_guard<std::mutex> lock(notices.mutex);
        notices.changed = true;
    }
    notices.wake.notify_one();
    return 0;
}

bool ReadAlive(AudioObjectID device, bool previous) {
    std::uint32_t alive = 1;
    std::uint32_t size = sizeof alive;
    if (AudioObjectGetPropertyData(device, &kAliveAddress, 0, nullptr, &size, &alive) != 0) {
        return previous;
    }
    return alive != 0;
}

bool Untold(const WatchedSource& source) {
    return source.device != kAudioObjectUnknown && source.alive != source.printed;
}

// The line that tells of the sources whose state differs from what was last
// said of them, and marks it said; null when all has been told. A server
// that goes takes both sources at once: one line tells of both.
const char* NextLine(WatchedSource& system, WatchedSource& microphone) {
    const bool systemUntold = Untold(system);
    const bool microphoneUntold = Untold(microphone);
    if (systemUntold && microphoneUntold && system.alive == microphone.alive) {
        system.printed = microphone.printed = system.alive;
        return system.alive ? "Audio di sistema e microfono di nuovo disponibili.\n"
                            : "Audio di sistema e microfono non disponibili: registro silenzio finché non tornano.\n";
    }
    WatchedSource* source = systemUntold ? &system : microphoneUntold ? &microphone : nullptr;
    if (source == nullptr) {
        return nullptr;
    }
    source->printed = source->alive;
    return source->alive ? source->back : source->lost;
}

// Waits for a change, or for the next line to be due when one is waiting;
// false once the run is over. The lock is held except while waiting.
bool AwaitWork(SourceNotices& notices, std::unique_lock<std::mutex>& lock, bool untold, Clock::time_point nextLine) {
    const auto woken = [&notices] { return notices.changed || notices.stopping; };
    if (untold) {
        notices.wake.wait_until(lock, nextLine, woken);
    } else {
        notices.wake.wait(lock, woken);
    }
    return !notices.stopping;
}

// Reads the platform and prints without the lock, so that a listener never
// waits for a slow standard error.
void ReportSources(void* argument) {
    auto& notices = *static_cast<SourceNotices*>(argument);
    WatchedSource system{notices.systemDevice, "Audio di sistema non disponibile: registro silenzio finché non torna.\n",
                         "Audio di sistema di nuovo disponibile.\n"};
    WatchedSource microphone{notices.microphoneDevice,
                             "Microfono non disponibile: registro silenzio finché non torna.\n",
                             "Microfono di nuovo disponibile.\n"};
    Clock::time_point nextLine = Clock::now();
    std::unique_lock<std::mutex> lock(notices.mutex);
    while (AwaitWork(notices, lock, Untold(system) || Untold(microphone), nextLine)) {
        const bool changed = notices.changed;
        if (changed && notices.wake.wait_for(lock, kSettle, [&notices] { return notices.stopping; })) {
            break;
        }
        notices.changed = false;
        lock.unlock();
        for (WatchedSource* source : {&system, &microphone}) {
            if (changed && source->device != kAudioObjectUnknown) {
                source->alive = ReadAlive(source->device, source->alive);
            }
        }
        if (Clock::now() >= nextLine) {
            if (const char* line = NextLine(system, microphone)) {
                std::fputs(line, stderr);
                nextLine = Clock::now() + kLineInterval;
            }
        }
        lock.lock();
    }
}

void Watch(SourceNotices& notices, AudioObjectID device) {
    if (device != kAudioObjectUnknown) {
        AudioObjectAddPropertyListener(device, &kAliveAddress, SourceChanged, &notices);
    }
}

void Unwatch(SourceNotices& notices, AudioObjectID device) {
    if (device != kAudioObjectUnknown) {
        AudioObjectRemovePropertyListener(device, &kAliveAddress, SourceChanged, &notices);
    }
}

}  // namespace

void StartSourceNotices(SourceNotices& notices, AudioObjectID systemDevice, AudioObjectID microphoneDevice) {
    notices.systemDevice = systemDevice;
    notices.microphoneDevice = microphoneDevice;
    Watch(notices, systemDevice);
    Watch(notices, microphoneDevice);
    notices.thread = StartThreadWithoutStopSignals(ReportSources, &notices);
}

void StopSourceNotices(SourceNotices& notices) {
    Unwatch(notices, notices.systemDevice);
    Unwatch(notices, notices.microphoneDevice);
    {
        std::lock_guard<std::mutex> lock(notices.mutex);
        notices.stopping = true;
    }
    notices.wake.notify_one();
    if (notices.thread.joinable()) {
        notices.thread.join();
    }
}

}  // namespace quorbel
