// The microphone source: the device with the requested UID, or the default
// input device, read through CaptureIOProc. The status carried from step to
// step is that of the first step that failed.
#include <cstdio>

#include "capture/Capture.h"
#include "cli/Cli.h"

namespace quorbel {
namespace {

OSStatus ReadDefaultInputDevice(AudioObjectID& device) {
    const AudioObjectPropertyAddress address = PropertyAddress(kAudioHardwarePropertyDefaultInputDevice);
    std::uint32_t size = sizeof device;
    return AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, &device);
}

// Exact byte comparison: no case folding, no normalisation, no trimming.
bool HasUid(AudioObjectID device, const std::string& uid) {
    CFStringRef deviceUid = nullptr;
    if (ReadStringProperty(device, kAudioDevicePropertyDeviceUID, &deviceUid) != 0 || deviceUid == nullptr) {
        return false;
    }
    const bool match = uid == TextOf(deviceUid);
    CFRelease(deviceUid);
    return match;
}

// Every way of finding no device ends in '!dev'; the first match wins.
OSStatus FindDeviceByUid(const std::string& uid, AudioObjectID& device) {
    const DeviceList list = ReadDeviceList();
    for (AudioObjectID entry : list.devices) {
        if (HasUid(entry, uid)) {
            device = entry;
            return list.status;
        }
    }
    return kAudioHardwareBadDeviceError;
}

}  // namespace

bool SetUpMicrophoneSource(const std::string& uid, CaptureStream& stream, AudioObjectID& device,
                           AudioDeviceIOProcID& ioProc) {
    OSStatus status = uid.empty() ? ReadDefaultInputDevice(device) : FindDeviceByUid(uid, device);
    if (status == 0 && device != kAudioObjectUnknown) {
        status = ReadInputStreamFormat(device, stream.format);
    }
    // Without a device the format is still all zero, so this fails with status 0.
    if (status == 0 && stream.format.mFormatID == kAudioFormatLinearPCM) {
        status = AudioDeviceCreateIOProcID(device, CaptureIOProc, &stream, &ioProc);
    }
    if (status == 0 && ioProc != nullptr) {
        status = AudioDeviceStart(device, ioProc);
    }
    if (status == 0 && ioProc != nullptr) {
        stream.device = device;
        return true;
    }
    std::fprintf(stderr, "Microfono selezionato non disponibile: %s\n", OSStatusText(status).c_str());
    if (ioProc != nullptr) {
        AudioDeviceDestroyIOProcID(device, ioProc);  // never started, so not stopped
        ioProc = nullptr;
    }
    return false;
}

}  // namespace quorbel
