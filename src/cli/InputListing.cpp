// list-inputs: one INPUT line per device that has an input stream and a
// readable UID and name. The listing never fails; trouble only shortens it.
#include <cstring>
#include <vector>

#include "cli/Cli.h"
#include "platform/AudioPlatform.h"

namespace quorbel {
namespace {

// An AudioBufferList that holds one AudioBuffer.
constexpr std::uint32_t kOneBufferListSize = sizeof(AudioBufferList);

bool HasInputStreams(AudioObjectID device) {
    const AudioObjectPropertyAddress address =
        PropertyAddress(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput);
    std::uint32_t size = 0;
    if (AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) != 0 || size < kOneBufferListSize) {
        return false;
    }
    std::vector<std::uint8_t> configuration(size);
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, configuration.data()) != 0) {
        return false;
    }
    std::uint32_t numberBuffers = 0;
    std::memcpy(&numberBuffers, configuration.data(), sizeof numberBuffers);
    return numberBuffers != 0;
}

void ListDevice(AudioObjectID device) {
    if (device == kAudioObjectUnknown || !HasInputStreams(device)) {
        return;
    }
    CFStringRef uid = nullptr;
    if (ReadStringProperty(device, kAudioDevicePropertyDeviceUID, &uid) != 0 || uid == nullptr) {
        return;
    }
    CFStringRef name = nullptr;
    if (ReadStringProperty(device, kAudioObjectPropertyName, &name) != 0 || name == nullptr) {
        CFRelease(uid);
        return;
    }
    PrintInputLine(TextOf(uid), TextOf(name));
    CFRelease(name);
    CFRelease(uid);
}

}  // namespace

int ListInputs() {
    const DeviceList list = ReadDeviceList();
    if (list.status != 0) {
        return 0;
    }
    for (AudioObjectID device : list.devices) {
        ListDevice(device);
    }
    return 0;
}

}  // namespace quorbel
