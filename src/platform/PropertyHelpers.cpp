// Property reads that several commands make in the same way.
#include "platform/AudioPlatform.h"

namespace quorbel {

DeviceList ReadDeviceList() {
    const AudioObjectPropertyAddress address = PropertyAddress(kAudioHardwarePropertyDevices);
    DeviceList list;
    std::uint32_t size = 0;
    list.status = AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size);
    list.devices.assign(size / sizeof(AudioObjectID), kAudioObjectUnknown);
    if (list.status == 0 && size != 0 && !list.devices.empty()) {
        // The read may report a smaller size; the list keeps the length the size query gave.
        std::uint32_t readSize = std::uint32_t(list.devices.size() * sizeof(AudioObjectID));
        list.status = AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &readSize,
                                                 list.devices.data());
    }
    return list;
}

OSStatus ReadStringProperty(AudioObjectID object, AudioObjectPropertySelector selector, CFStringRef* out) {
    const AudioObjectPropertyAddress address = PropertyAddress(selector);
    *out = nullptr;
    std::uint32_t size = sizeof(CFStringRef);
    return AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, out);
}

OSStatus ReadInputStreamFormat(AudioObjectID device, AudioStreamBasicDescription& format) {
    const AudioObjectPropertyAddress address =
        PropertyAddress(kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeInput);
    std::uint32_t size = sizeof format;
    return AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &format);
}

const char* TextOf(CFStringRef string) {
    const char* text = UTF8String(string);
    return text != nullptr ? text : "";
}

}  // namespace quorbel
