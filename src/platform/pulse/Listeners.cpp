// Property listeners. They are called with the mainloop locked, so adding or
// removing one under the same lock means none is ever running while the list
// changes, and none runs once its removal has returned.
#include <algorithm>

#include "platform/pulse/PulseBackend.h"

namespace quorbel {
namespace pulse {
namespace {

struct Listener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    AudioObjectPropertyListenerProc proc;
    void* clientData;
};

// Never freed: no destructor may run at exit while the mainloop thread lives.
std::vector<Listener>* gListeners = nullptr;

std::vector<Listener>& Listeners() {
    if (gListeners == nullptr) {
        gListeners = new std::vector<Listener>;
    }
    return *gListeners;
}

bool SameAddress(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b) {
    return a.mSelector == b.mSelector && a.mScope == b.mScope && a.mElement == b.mElement;
}

// The mainloop lock when there is a mainloop; without one, no listener can run.
MainloopLock LockIfRunning() {
    if (Mainloop() == nullptr) {
        return MainloopLock(nullptr, pa_threaded_mainloop_unlock);
    }
    return LockMainloop();
}

}  // namespace

void NotifyListeners(AudioObjectID object, AudioObjectPropertySelector selector) {
    const AudioObjectPropertyAddress changed{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    for (const Listener& listener : Listeners()) {
        const AudioObjectPropertySelector wanted = listener.address.mSelector;
        if (listener.object == object && (wanted == selector || wanted == kAudioObjectPropertySelectorWildcard)) {
            listener.proc(object, 1, &changed, listener.clientData);
        }
    }
}

}  // namespace pulse

OSStatus AudioObjectAddPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                        AudioObjectPropertyListenerProc listener, void* clientData) {
    std::lock_guard<std::mutex> guard(pulse::gApiMutex);
    if (address == nullptr || listener == nullptr) {
        return kAudioHardwareUnspecifiedError;
    }
    if (!pulse::ObjectExists(object)) {
        return kAudioHardwareBadObjectError;
    }
    const pulse::MainloopLock lock = pulse::LockIfRunning();
    pulse::Listeners().push_back({object, *address, listener, clientData});
    return kAudioHardwareNoError;
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                           AudioObjectPropertyListenerProc listener, void* clientData) {
    std::lock_guard<std::mutex> guard(pulse::gApiMutex);
    if (address == nullptr || listener == nullptr) {
        return kAudioHardwareUnspecifiedError;
    }
    const pulse::MainloopLock lock = pulse::LockIfRunning();
    auto& listeners = pulse::Listeners();
    auto it = std::find_if(listeners.begin(), listeners.end(), [&](const pulse::Listener& entry) {
        return entry.object == object && pulse::SameAddress(entry.address, *address) && entry.proc == listener &&
               entry.clientData == clientData;
    });
    if (it == listeners.end()) {
        return kAudioHardwareBadObjectError;
    }
    listeners.erase(it);
    return kAudioHardwareNoError;
}

}  // namespace quorbel
