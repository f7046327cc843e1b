// Microphone permission: the authorize-microphone command may ask the user;
// a capture run only checks.
#include <cstdio>
#include <memory>

#include "cli/Cli.h"
#include "platform/AudioPlatform.h"

namespace quorbel {
namespace {

constexpr std::int64_t kAnswerTimeoutNs = 60'000'000'000;

// Shared by the waiting thread and the completion handler, so that an answer
// arriving after the wait gave up still finds it alive.
struct AccessRequest {
    bool granted = false;  // written before the signal, read only after a successful wait
    dispatch_semaphore_t answered;
};

bool AskUser() {
    auto request = std::make_shared<AccessRequest>();
    request->answered = dispatch_semaphore_create(0);
    AVCaptureDeviceRequestAccessForAudio([request](bool granted) {
        request->granted = granted;
        dispatch_semaphore_signal(request->answered);
    });
    const dispatch_time_t deadline = dispatch_time(DISPATCH_TIME_NOW, kAnswerTimeoutNs);
    if (dispatch_semaphore_wait(request->answered, deadline) != 0) {
        return false;
    }
    return request->granted;
}

}  // namespace

bool MicrophoneAllowed(bool request) {
    const int status = AVCaptureDeviceAuthorizationStatusForAudio();
    if (status == AVAuthorizationStatusAuthorized) {
        return true;
    }
    if (status == AVAuthorizationStatusNotDetermined && request) {
        return AskUser();
    }
    return false;
}

int AuthorizeMicrophone() {
    if (!MicrophoneAllowed(true)) {
        std::fputs(kMicrophoneAccessMessage, stderr);
        return 1;
    }
    const AudioObjectPropertyAddress address = PropertyAddress(kAudioHardwarePropertyDefaultInputDevice);
    AudioObjectID device = kAudioObjectUnknown;
    std::uint32_t size = sizeof device;
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &device) != 0 ||
        device == kAudioObjectUnknown) {
        std::fputs("Nessun microfono predefinito disponibile.\n", stderr);
        return 1;
    }
    return 0;
}

}  // namespace quorbel
