#include "platform/ScriptedPlatform.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "cli/Cli.h"
#include "support/Formats.h"

namespace quorbel {

struct OpaquePlatformString {
    std::string text;
    bool hasText = true;
    std::string label;
    bool released = false;
};

struct OpaqueAudioDeviceIOProcID {
    int number = 0;
    AudioObjectID device = 0;
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    bool destroyed = false;
    bool started = false;
    std::atomic<bool> stopping{false};
    std::thread feeder;
};

namespace scripted {
namespace {

constexpr AudioObjectID kFirstTap = 0x200;
constexpr AudioObjectID kFirstAggregate = 0x300;

struct State {
    std::recursive_mutex mutex;
    World world;
    std::vector<std::string> calls;
    std::vector<std::unique_ptr<OpaquePlatformString>> strings;
    std::map<AudioObjectID, bool> taps;        // alive?
    std::map<AudioObjectID, bool> aggregates;  // alive?
    std::vector<std::unique_ptr<OpaqueAudioDeviceIOProcID>> procs;
    std::vector<CATapDescription> tapDescriptions;
    std::vector<AggregateDeviceDescription> aggregateDescriptions;
    std::vector<std::thread> answerThreads;
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertySelector selector;
        AudioObjectPropertyListenerProc proc;
        void* clientData;
    };
    std::vector<Listener> listeners;
    std::set<AudioObjectID> deadDevices;
    int doubleReleases = 0;
    int uuidCount = 0;
};

State& S() {
    static State* state = new State;  // never destroyed: feeders may outlive static destruction
    return *state;
}

using Lock = std::lock_guard<std::recursive_mutex>;

void Log(std::string call) {
    S().calls.push_back(call);
    if (S().world.onCall) {
        S().world.onCall(call);
    }
}

std::string Hex(AudioObjectID id) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", id);
    return text;
}

std::string Code(std::uint32_t code) {
    std::string text = "'";
    for (int shift = 24; shift >= 0; shift -= 8) {
        text += char((code >> shift) & 0xFF);
    }
    return text + "'";
}

// A scripted failure for op on object, or on any object.
OSStatus FailureFor(const std::string& op, AudioObjectID object) {
    const auto& failures = S().world.failures;
    if (auto it = failures.find(op + "@" + Hex(object)); it != failures.end()) {
        return it->second;
    }
    if (auto it = failures.find(op); it != failures.end()) {
        return it->second;
    }
    return 0;
}

bool NullResultFor(const std::string& op, AudioObjectID object) {
    const auto& nulls = S().world.nullResults;
    return nulls.count(op + "@" + Hex(object)) != 0 || nulls.count(op) != 0;
}

const Device* FindDevice(AudioObjectID id) {
    for (const Device& device : S().world.devices) {
        if (device.id == id && id != 0) {
            return &device;
        }
    }
    return nullptr;
}

bool IsAggregate(AudioObjectID id) {
    auto it = S().aggregates.find(id);
    return it != S().aggregates.end() && it->second;
}

bool IsTap(AudioObjectID id) {
    auto it = S().taps.find(id);
    return it != S().taps.end() && it->second;
}

std::vector<AudioObjectID> DeviceListEntries() {
    if (S().world.deviceList) {
        return *S().world.deviceList;
    }
    std::vector<AudioObjectID> ids;
    for (const Device& device : S().world.devices) {
        ids.push_back(device.id);
    }
    return ids;
}

CFStringRef NewString(const std::string& text, bool hasText, const std::string& label) {
    auto string = std::make_unique<OpaquePlatformString>();
    string->text = text;
    string->hasText = hasText;
    string->label = label;
    CFStringRef handle = string.get();
    S().strings.push_back(std::move(string));
    return handle;
}

OSStatus WriteValue(const void* value, std::uint32_t size, std::uint32_t* ioSize, void* out) {
    if (*ioSize < size) {
        return kAudioHardwareBadPropertySizeError;
    }
    std::memcpy(out, value, size);
    *ioSize = size;
    return 0;
}

std::uint32_t ConfigurationSize(const Device& device) {
    if (device.configurationSize) {
        return *device.configurationSize;
    }
    return device.inputBuffers == 0 ? std::uint32_t(offsetof(AudioBufferList, mBuffers))
                                    : std::uint32_t(offsetof(AudioBufferList, mBuffers) +
                                                    device.inputBuffers * sizeof(AudioBuffer));
}

OSStatus WriteConfiguration(const Device& device, std::uint32_t* ioSize, void* out) {
    std::vector<std::uint8_t> value(std::max<std::uint32_t>(ConfigurationSize(device), 4));
    std::memcpy(value.data(), &device.inputBuffers, 4);
    for (std::uint32_t i = 0; i < device.inputBuffers; ++i) {
        AudioBuffer buffer{device.inputChannels, 0, nullptr};
        std::size_t at = offsetof(AudioBufferList, mBuffers) + i * sizeof(AudioBuffer);
        if (at + sizeof buffer <= value.size()) {
            std::memcpy(value.data() + at, &buffer, sizeof buffer);
        }
    }
    const std::uint32_t size = std::min<std::uint32_t>(*ioSize, ConfigurationSize(device));
    std::memcpy(out, value.data(), size);
    *ioSize = size;
    return 0;
}

OSStatus ReadDeviceString(const Device* device, AudioObjectID object, const std::string& op, bool isName,
                          std::uint32_t* ioSize, void* out) {
    if (device == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    const std::optional<std::string>& value = isName ? device->name : device->uid;
    if (!value) {
        return kAudioHardwareUnknownPropertyError;
    }
    CFStringRef string = nullptr;
    if (!NullResultFor(op, object)) {
        string = NewString(*value, !isName || device->nameHasText, (isName ? "lnam@" : "uid@") + Hex(object));
    }
    return WriteValue(&string, sizeof string, ioSize, out);
}

OSStatus ReadSystemProperty(const AudioObjectPropertyAddress& address, std::uint32_t* ioSize, void* out) {
    if (address.mSelector == kAudioHardwarePropertyDefaultInputDevice) {
        return WriteValue(&S().world.defaultInput, 4, ioSize, out);
    }
    if (address.mSelector != kAudioHardwarePropertyDevices) {
        return kAudioHardwareUnknownPropertyError;
    }
    std::vector<AudioObjectID> entries = DeviceListEntries();
    std::size_t count = std::min<std::size_t>(entries.size(), *ioSize / 4);
    if (S().world.deviceListReadCount) {
        count = std::min(count, *S().world.deviceListReadCount);
    }
    std::memcpy(out, entries.data(), count * 4);
    *ioSize = std::uint32_t(count * 4);
    return 0;
}

OSStatus ReadObjectProperty(AudioObjectID object, const AudioObjectPropertyAddress& address, const std::string& op,
                            std::uint32_t* ioSize, void* out) {
    const AudioObjectPropertySelector selector = address.mSelector;
    if (selector == kAudioDevicePropertyDeviceIsAlive) {
        const std::uint32_t alive = S().deadDevices.count(object) != 0 ? 0 : 1;
        return WriteValue(&alive, sizeof alive, ioSize, out);
    }
    if (IsTap(object) && selector == kAudioTapPropertyUID) {
        CFStringRef uid =
            NullResultFor(op, object) ? nullptr : NewString("tap-uid-" + Hex(object), true, "tuid@" + Hex(object));
        return WriteValue(&uid, sizeof uid, ioSize, out);
    }
    if (IsAggregate(object) && selector == kAudioDevicePropertyStreamFormat) {
        return WriteValue(&S().world.aggregateFormat, sizeof(AudioStreamBasicDescription), ioSize, out);
    }
    const Device* device = FindDevice(object);
    if (selector == kAudioDevicePropertyDeviceUID || selector == kAudioObjectPropertyName) {
        return ReadDeviceString(device, object, op, selector == kAudioObjectPropertyName, ioSize, out);
    }
    if (device == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    if (selector == kAudioDevicePropertyStreamConfiguration) {
        return WriteConfiguration(*device, ioSize, out);
    }
    if (selector == kAudioDevicePropertyStreamFormat) {
        return WriteValue(&device->format, sizeof(AudioStreamBasicDescription), ioSize, out);
    }
    return kAudioHardwareUnknownPropertyError;
}

OpaqueAudioDeviceIOProcID* FindProc(AudioObjectID device, AudioDeviceIOProcID id) {
    for (auto& proc : S().procs) {
        if (proc.get() == id && proc->device == device && !proc->destroyed) {
            return proc.get();
        }
    }
    return nullptr;
}

void StopFeeder(OpaqueAudioDeviceIOProcID& proc) {
    proc.stopping = true;
    if (proc.feeder.joinable()) {
        proc.feeder.join();
    }
}

std::string ProcText(AudioObjectID device, AudioDeviceIOProcID id) {
    for (auto& proc : S().procs) {
        if (proc.get() == id) {
            return Hex(device) + " #" + std::to_string(proc->number);
        }
    }
    return Hex(device) + " #?";
}

}  // namespace

void Feed::deliver(const AudioBufferList& list) const {
    AudioTimeStamp time{};
    proc(device, &time, &list, &time, nullptr, &time, clientData);
}

World& TheWorld() { return S().world; }

void ResetWorld(World world) {
    std::vector<std::thread> answers;
    {
        Lock lock(S().mutex);
        for (auto& proc : S().procs) {
            StopFeeder(*proc);
        }
        answers = std::move(S().answerThreads);
    }
    for (auto& thread : answers) {
        thread.join();
    }
    Lock lock(S().mutex);
    S().world = std::move(world);
    S().calls.clear();
    S().strings.clear();
    S().taps.clear();
    S().aggregates.clear();
    S().procs.clear();
    S().tapDescriptions.clear();
    S().aggregateDescriptions.clear();
    S().answerThreads.clear();
    S().listeners.clear();
    S().deadDevices.clear();
    S().doubleReleases = 0;
}

std::vector<std::string> Calls() {
    Lock lock(S().mutex);
    return S().calls;
}

std::vector<std::string> CallsStartingWith(const std::vector<std::string>& prefixes) {
    std::vector<std::string> kept;
    for (const std::string& call : Calls()) {
        for (const std::string& prefix : prefixes) {
            if (call.rfind(prefix, 0) == 0) {
                kept.push_back(call);
                break;
            }
        }
    }
    return kept;
}

Leaks Outstanding() {
    Lock lock(S().mutex);
    Leaks leaks;
    for (const auto& string : S().strings) {
        leaks.strings += string->released ? 0 : 1;
    }
    for (const auto& [id, alive] : S().taps) {
        leaks.taps += alive ? 1 : 0;
    }
    for (const auto& [id, alive] : S().aggregates) {
        leaks.aggregateDevices += alive ? 1 : 0;
    }
    for (const auto& proc : S().procs) {
        leaks.ioProcs += proc->destroyed ? 0 : 1;
        leaks.startedIoProcs += proc->started ? 1 : 0;
    }
    leaks.doubleReleases = S().doubleReleases;
    leaks.listeners = int(S().listeners.size());
    return leaks;
}

std::vector<CATapDescription> TapDescriptions() {
    Lock lock(S().mutex);
    return S().tapDescriptions;
}

std::vector<AggregateDeviceDescription> AggregateDescriptions() {
    Lock lock(S().mutex);
    return S().aggregateDescriptions;
}

bool DeliverTo(AudioObjectID device, const AudioBufferList& list) {
    Feed feed;
    {
        Lock lock(S().mutex);
        for (auto& proc : S().procs) {
            if (proc->device == device && proc->started && !proc->destroyed) {
                feed = Feed{device, proc->proc, proc->clientData, &proc->stopping};
            }
        }
    }
    if (feed.proc == nullptr) {
        return false;
    }
    feed.deliver(list);
    return true;
}

void SetDevicesAlive(const std::vector<AudioObjectID>& devices, bool alive) {
    Lock lock(S().mutex);
    for (AudioObjectID device : devices) {
        if (alive) {
            S().deadDevices.erase(device);
        } else {
            S().deadDevices.insert(device);
        }
    }
    const AudioObjectPropertyAddress changed{kAudioDevicePropertyDeviceIsAlive, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    for (AudioObjectID device : devices) {
        for (const auto& listener : S().listeners) {
            if (listener.object == device && listener.selector == kAudioDevicePropertyDeviceIsAlive) {
                listener.proc(device, 1, &changed, listener.clientData);
            }
        }
    }
}

AudioStreamBasicDescription FloatFormat(double rate, std::uint32_t channels) {
    return test::LinearPcm(kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 32, channels, rate);
}

AudioStreamBasicDescription Int16Format(double rate, std::uint32_t channels) {
    return test::LinearPcm(kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked, 16, channels, rate);
}

World StandardWorld(double aggregateRate) {
    World world;
    Device microphone;
    microphone.id = 0x100;
    microphone.uid = "mic-1";
    microphone.name = "Microfono USB";
    microphone.format = FloatFormat(48000, 2);
    world.devices.push_back(microphone);
    world.defaultInput = microphone.id;
    world.aggregateFormat = FloatFormat(aggregateRate, 2);
    return world;
}

}  // namespace scripted

using scripted::Code;
using scripted::FailureFor;
using scripted::Hex;
using scripted::Lock;
using scripted::Log;
using scripted::S;

const char* UTF8String(CFStringRef string) {
    if (string == nullptr || !string->hasText) {
        return nullptr;
    }
    return string->text.c_str();
}

void CFRelease(CFStringRef string) {
    Lock lock(S().mutex);
    auto* owned = const_cast<OpaquePlatformString*>(string);
    Log("CFRelease " + owned->label);
    if (owned->released) {
        ++S().doubleReleases;
    }
    owned->released = true;
}

std::string NewUUIDString() {
    Lock lock(S().mutex);
    char text[40];
    std::snprintf(text, sizeof text, "5EED0000-0000-4000-8000-%012X", ++S().uuidCount);
    Log(std::string("NewUUIDString ") + text);
    return text;
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                        std::uint32_t, const void*, std::uint32_t* outDataSize) {
    Lock lock(S().mutex);
    const std::string op = "size " + Code(address->mSelector).substr(1, 4);
    Log(op + " @" + Hex(object));
    if (OSStatus status = FailureFor(op, object)) {
        return status;
    }
    if (object == kAudioObjectSystemObject && address->mSelector == kAudioHardwarePropertyDevices) {
        *outDataSize = std::uint32_t(scripted::DeviceListEntries().size() * 4);
        return 0;
    }
    const scripted::Device* device = scripted::FindDevice(object);
    if (device == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    if (address->mSelector == kAudioDevicePropertyStreamConfiguration) {
        *outDataSize = scripted::ConfigurationSize(*device);
        return 0;
    }
    return kAudioHardwareUnknownPropertyError;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address, std::uint32_t,
                                    const void*, std::uint32_t* ioDataSize, void* outData) {
    Lock lock(S().mutex);
    const std::string op = "get " + Code(address->mSelector).substr(1, 4);
    Log(op + " @" + Hex(object));
    if (OSStatus status = FailureFor(op, object)) {
        return status;
    }
    if (object == kAudioObjectSystemObject) {
        return scripted::ReadSystemProperty(*address, ioDataSize, outData);
    }
    return scripted::ReadObjectProperty(object, *address, op, ioDataSize, outData);
}

OSStatus AudioObjectSetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address, std::uint32_t,
                                    const void*, std::uint32_t dataSize, const void* data) {
    Lock lock(S().mutex);
    const std::string op = "set " + Code(address->mSelector).substr(1, 4);
    std::int32_t value = 0;  // the only settable property is signed
    if (dataSize == sizeof value) {
        std::memcpy(&value, data, sizeof value);
    }
    Log(op + " @" + Hex(object) + " " + std::to_string(value));
    if (OSStatus status = FailureFor(op, object)) {
        return status;
    }
    const bool device = scripted::FindDevice(object) != nullptr || scripted::IsAggregate(object);
    return device ? 0 : kAudioHardwareBadObjectError;
}

OSStatus AudioHardwareCreateProcessTap(const CATapDescription* description, AudioObjectID* outTapID) {
    Lock lock(S().mutex);
    S().tapDescriptions.push_back(*description);
    if (OSStatus status = FailureFor("CreateProcessTap", 0)) {
        Log("CreateProcessTap failed");
        return status;
    }
    *outTapID = scripted::kFirstTap + AudioObjectID(S().taps.size());
    S().taps[*outTapID] = true;
    Log("CreateProcessTap " + Hex(*outTapID));
    return 0;
}

OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tapID) {
    Lock lock(S().mutex);
    Log("DestroyProcessTap " + Hex(tapID));
    if (!scripted::IsTap(tapID)) {
        ++S().doubleReleases;
        return kAudioHardwareBadObjectError;
    }
    S().taps[tapID] = false;
    return 0;
}

OSStatus AudioHardwareCreateAggregateDevice(const AggregateDeviceDescription* description,
                                            AudioObjectID* outDeviceID) {
    Lock lock(S().mutex);
    S().aggregateDescriptions.push_back(*description);
    if (OSStatus status = FailureFor("CreateAggregateDevice", 0)) {
        Log("CreateAggregateDevice failed");
        return status;
    }
    *outDeviceID = scripted::kFirstAggregate + AudioObjectID(S().aggregates.size());
    S().aggregates[*outDeviceID] = true;
    Log("CreateAggregateDevice " + Hex(*outDeviceID));
    return 0;
}

OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID deviceID) {
    Lock lock(S().mutex);
    Log("DestroyAggregateDevice " + Hex(deviceID));
    if (!scripted::IsAggregate(deviceID)) {
        ++S().doubleReleases;
        return kAudioHardwareBadObjectError;
    }
    S().aggregates[deviceID] = false;
    return 0;
}

OSStatus AudioDeviceCreateIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                                   AudioDeviceIOProcID* outProcID) {
    Lock lock(S().mutex);
    if (OSStatus status = FailureFor("CreateIOProcID", device)) {
        Log("CreateIOProcID " + Hex(device) + " failed");
        return status;
    }
    if (scripted::NullResultFor("CreateIOProcID", device)) {
        Log("CreateIOProcID " + Hex(device) + " null");
        *outProcID = nullptr;
        return 0;
    }
    auto record = std::make_unique<OpaqueAudioDeviceIOProcID>();
    record->number = int(S().procs.size()) + 1;
    record->device = device;
    record->proc = proc;
    record->clientData = clientData;
    *outProcID = record.get();
    S().procs.push_back(std::move(record));
    Log("CreateIOProcID " + scripted::ProcText(device, *outProcID));
    return 0;
}

OSStatus AudioDeviceDestroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
    Lock lock(S().mutex);
    Log("DestroyIOProcID " + scripted::ProcText(device, procID));
    auto* proc = scripted::FindProc(device, procID);
    if (proc == nullptr) {
        ++S().doubleReleases;
        return kAudioHardwareBadObjectError;
    }
    scripted::StopFeeder(*proc);  // a registration destroyed while running still stops calling back
    proc->destroyed = true;
    return 0;
}

OSStatus AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
    Lock lock(S().mutex);
    Log("Start " + scripted::ProcText(device, procID));
    auto* proc = scripted::FindProc(device, procID);
    if (proc == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    if (OSStatus status = FailureFor("Start", device)) {
        return status;
    }
    proc->started = true;
    const scripted::Feeder& feeder =
        scripted::IsAggregate(device) ? S().world.systemFeeder : S().world.microphoneFeeder;
    if (feeder) {
        scripted::Feed feed{device, proc->proc, proc->clientData, &proc->stopping};
        if (S().world.feedInsideStart) {
            feeder(feed);
        } else {
            proc->feeder = std::thread([feeder, feed] { feeder(feed); });
        }
    }
    return 0;
}

OSStatus AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
    Lock lock(S().mutex);
    Log("Stop " + scripted::ProcText(device, procID));
    auto* proc = scripted::FindProc(device, procID);
    if (proc == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    scripted::StopFeeder(*proc);
    proc->started = false;
    return 0;
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                        AudioObjectPropertyListenerProc listener, void* clientData) {
    Lock lock(S().mutex);
    Log("AddPropertyListener @" + Hex(object) + " " + Code(address->mSelector));
    S().listeners.push_back({object, address->mSelector, listener, clientData});
    return 0;
}

OSStatus AudioObjectRemovePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                           AudioObjectPropertyListenerProc listener, void* clientData) {
    Lock lock(S().mutex);
    Log("RemovePropertyListener @" + Hex(object) + " " + Code(address->mSelector));
    auto& listeners = S().listeners;
    for (auto it = listeners.begin(); it != listeners.end(); ++it) {
        if (it->object == object && it->selector == address->mSelector && it->proc == listener &&
            it->clientData == clientData) {
            listeners.erase(it);
            return 0;
        }
    }
    ++S().doubleReleases;
    return kAudioHardwareBadObjectError;
}

int AVCaptureDeviceAuthorizationStatusForAudio() {
    Lock lock(S().mutex);
    Log("AuthorizationStatus");
    return S().world.authorizationStatus;
}

void AVCaptureDeviceRequestAccessForAudio(std::function<void(bool)> completionHandler) {
    Lock lock(S().mutex);
    Log("RequestAccess");
    using scripted::AccessAnswer;
    const AccessAnswer answer = S().world.accessAnswer;
    if (answer == AccessAnswer::Never) {
        return;
    }
    if (answer == AccessAnswer::GrantedBeforeReturn || answer == AccessAnswer::RefusedBeforeReturn) {
        completionHandler(answer == AccessAnswer::GrantedBeforeReturn);
        return;
    }
    const bool granted = answer != AccessAnswer::Refused;
    const auto delay = S().world.answerDelay;
    S().answerThreads.emplace_back([completionHandler, granted, delay] {
        std::this_thread::sleep_for(delay);
        completionHandler(granted);
    });
}

dispatch_time_t dispatch_time(dispatch_time_t when, std::int64_t deltaNanoseconds) {
    Lock lock(S().mutex);
    Log("dispatch_time " + std::to_string(deltaNanoseconds));
    std::chrono::nanoseconds delta(deltaNanoseconds);
    if (S().world.waitCap) {
        delta = std::min<std::chrono::nanoseconds>(delta, *S().world.waitCap);
    }
    return (when == DISPATCH_TIME_NOW ? std::chrono::steady_clock::now() : when) + delta;
}

void* objc_autoreleasePoolPush() {
    Lock lock(S().mutex);
    Log("objc_autoreleasePoolPush");
    return &S();
}

void objc_autoreleasePoolPop(void*) {
    Lock lock(S().mutex);
    Log("objc_autoreleasePoolPop");
}

}  // namespace quorbel
