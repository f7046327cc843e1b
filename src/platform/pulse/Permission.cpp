// Microphone authorization. Linux asks no per-application permission for
// audio input: whoever the sound server lets in may record. So:
//   server accepts our connection             -> 3 (authorized)
//   server refuses us access (PA_ERR_ACCESS)  -> 2 (denied)
//   no server reachable at all                -> 3 (authorized): the capture
//     that follows then fails with the clearer device error ('stop').
// Nothing is ever "not determined", so a request only reports the answer.
#include "platform/pulse/PulseBackend.h"

namespace quorbel {

int AVCaptureDeviceAuthorizationStatusForAudio() {
    std::lock_guard<std::mutex> guard(pulse::gApiMutex);
    return pulse::Connect() == kAudioDevicePermissionsError ? AVAuthorizationStatusDenied
                                                            : AVAuthorizationStatusAuthorized;
}

void AVCaptureDeviceRequestAccessForAudio(std::function<void(bool granted)> completionHandler) {
    bool granted = AVCaptureDeviceAuthorizationStatusForAudio() == AVAuthorizationStatusAuthorized;
    if (completionHandler) {
        completionHandler(granted);
    }
}

}  // namespace quorbel
