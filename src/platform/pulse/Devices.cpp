// Objects and their properties: the server's sources and sinks as devices,
// process taps and the aggregate devices built on them.
//
// 'dev#' lists the server's sources first, then its sinks, each group in the
// server's own (index) order. Taps and aggregate devices answer their own
// properties but are not listed, as the HAL keeps private ones out of 'dev#'.
#include <cstddef>
#include <cstring>
#include <map>

#include "platform/pulse/PulseBackend.h"

namespace quorbel {
namespace pulse {
namespace {

enum class ObjectKind { Source, Sink, Tap, Aggregate };

struct PlatformObject {
    ObjectKind kind = ObjectKind::Source;
    std::string name;           // source or sink: the server's name; tap or aggregate: its UID
    std::string label;          // tap or aggregate: the name it was created with
    std::string monitorSource;  // tap or aggregate: the monitor an IO proc on it starts on
    // A source keeps the format it last reported so that its IO procs record in
    // exactly that format; a tap or aggregate has its format from creation.
    AudioStreamBasicDescription format{};
    bool hasFormat = false;
    // A source handed out as the default input: after a lost server its IO
    // procs record whichever source is the default then.
    bool defaultInput = false;
    bool driftCompensation = false;  // aggregate: its sub-tap asked for it
};

using ObjectTable = std::map<AudioObjectID, PlatformObject>;

// Never freed: no destructor may run at exit while the mainloop thread lives.
ObjectTable* gObjects = nullptr;
// Starts well clear of the system object and of the "none" ID; never reused.
AudioObjectID gNextObjectID = 0x100;

ObjectTable& Objects() {
    if (gObjects == nullptr) {
        gObjects = new ObjectTable;
    }
    return *gObjects;
}

PlatformObject* FindObject(AudioObjectID id) {
    auto it = Objects().find(id);
    return it != Objects().end() ? &it->second : nullptr;
}

AudioObjectID AddObject(PlatformObject object) {
    AudioObjectID id = gNextObjectID++;
    Objects().emplace(id, std::move(object));
    return id;
}

// The stable ID of a server source or sink, made on first sight.
AudioObjectID IdForServerObject(ObjectKind kind, const std::string& name) {
    for (const auto& [id, object] : Objects()) {
        if (object.kind == kind && object.name == name) {
            return id;
        }
    }
    PlatformObject object;
    object.kind = kind;
    object.name = name;
    return AddObject(std::move(object));
}

// The four layouts the tool decodes are recorded as they are; anything else is
// recorded as float, which the server converts to.
pa_sample_format_t CaptureSampleFormat(pa_sample_format_t native) {
    switch (native) {
        case PA_SAMPLE_S16LE:
        case PA_SAMPLE_S24LE:
        case PA_SAMPLE_S32LE:
        case PA_SAMPLE_FLOAT32LE:
            return native;
        default:
            return PA_SAMPLE_FLOAT32LE;
    }
}

AudioStreamBasicDescription DescribeFormat(pa_sample_format_t format, std::uint32_t rate, std::uint32_t channels) {
    AudioStreamBasicDescription d{};
    std::uint32_t bytes = 4;
    d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    switch (format) {
        case PA_SAMPLE_S16LE:
            bytes = 2;
            break;
        case PA_SAMPLE_S24LE:
            bytes = 3;
            break;
        case PA_SAMPLE_S32LE:
            break;
        default:
            d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
            break;
    }
    d.mSampleRate = double(rate);
    d.mFormatID = kAudioFormatLinearPCM;
    d.mBytesPerFrame = channels * bytes;
    d.mBytesPerPacket = d.mBytesPerFrame;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = bytes * 8;
    return d;
}

pa_sample_spec PulseSampleOf(const AudioStreamBasicDescription& d) {
    pa_sample_spec sample{};
    sample.rate = std::uint32_t(d.mSampleRate);
    sample.channels = std::uint8_t(d.mChannelsPerFrame);
    if ((d.mFormatFlags & kAudioFormatFlagIsFloat) != 0) {
        sample.format = PA_SAMPLE_FLOAT32LE;
    } else if (d.mBitsPerChannel == 16) {
        sample.format = PA_SAMPLE_S16LE;
    } else if (d.mBitsPerChannel == 24) {
        sample.format = PA_SAMPLE_S24LE;
    } else {
        sample.format = PA_SAMPLE_S32LE;
    }
    return sample;
}

AudioStreamBasicDescription SourceFormat(const SourceSnapshot& source) {
    return DescribeFormat(CaptureSampleFormat(source.sample.format), source.sample.rate, source.sample.channels);
}

// A property's value before it is copied out.
struct PropertyValue {
    std::vector<std::uint8_t> bytes;
    std::size_t elementSize = 0;  // non-zero for arrays, which may be read in part
    bool isString = false;
    std::string text;
};

std::uint32_t ValueSize(const PropertyValue& value) {
    return value.isString ? std::uint32_t(sizeof(CFStringRef)) : std::uint32_t(value.bytes.size());
}

template <typename T>
void SetBytes(PropertyValue& value, const T& data, std::size_t size = sizeof(T)) {
    value.bytes.resize(size);
    std::memcpy(value.bytes.data(), &data, size);
}

void SetString(PropertyValue& value, std::string text) {
    value.isString = true;
    value.text = std::move(text);
}

// One buffer of `channels` for a direction with a stream; an empty list
// (reported as its header only) for a direction without.
void SetStreamConfiguration(PropertyValue& value, bool hasStream, std::uint32_t channels) {
    AudioBufferList list{};
    if (hasStream) {
        list.mNumberBuffers = 1;
        list.mBuffers[0] = AudioBuffer{channels, 0, nullptr};
        SetBytes(value, list);
    } else {
        SetBytes(value, list, offsetof(AudioBufferList, mBuffers));
    }
}

bool IsDirectionScope(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

OSStatus ReadSystemProperty(const AudioObjectPropertyAddress& address, PropertyValue& value) {
    switch (address.mSelector) {
        case kAudioHardwarePropertyDevices: {
            std::vector<SourceSnapshot> sources;
            std::vector<SinkSnapshot> sinks;
            if (OSStatus status = QuerySources(sources); status != kAudioHardwareNoError) {
                return status;
            }
            if (OSStatus status = QuerySinks(sinks); status != kAudioHardwareNoError) {
                return status;
            }
            std::vector<AudioObjectID> ids;
            for (const auto& source : sources) {
                ids.push_back(IdForServerObject(ObjectKind::Source, source.name));
            }
            for (const auto& sink : sinks) {
                ids.push_back(IdForServerObject(ObjectKind::Sink, sink.name));
            }
            value.bytes.resize(ids.size() * sizeof(AudioObjectID));
            if (!ids.empty()) {
                std::memcpy(value.bytes.data(), ids.data(), value.bytes.size());
            }
            value.elementSize = sizeof(AudioObjectID);
            return kAudioHardwareNoError;
        }
        case kAudioHardwarePropertyDefaultInputDevice: {
            ServerSnapshot server;
            if (OSStatus status = QueryServer(server); status != kAudioHardwareNoError) {
                return status;
            }
            AudioObjectID id = kAudioObjectUnknown;
            if (!server.defaultSource.empty()) {
                id = IdForServerObject(ObjectKind::Source, server.defaultSource);
                FindObject(id)->defaultInput = true;
            }
            SetBytes(value, id);
            return kAudioHardwareNoError;
        }
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

// A device as its properties show it: its names, the one direction that has
// a stream, and that stream's format.
struct DeviceView {
    std::string uid;
    std::string name;
    AudioObjectPropertyScope streamScope = kAudioObjectPropertyScopeInput;
    AudioStreamBasicDescription format{};
};

OSStatus ReadDeviceProperty(const DeviceView& device, const AudioObjectPropertyAddress& address,
                            PropertyValue& value) {
    const bool streamSide = address.mScope == device.streamScope;
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID:
            SetString(value, device.uid);
            return kAudioHardwareNoError;
        case kAudioObjectPropertyName:
            SetString(value, device.name);
            return kAudioHardwareNoError;
        case kAudioDevicePropertyStreamConfiguration:
            if (!IsDirectionScope(address.mScope)) {
                return kAudioHardwareUnknownPropertyError;
            }
            SetStreamConfiguration(value, streamSide, device.format.mChannelsPerFrame);
            return kAudioHardwareNoError;
        case kAudioDevicePropertyStreamFormat:
            if (!IsDirectionScope(address.mScope)) {
                return kAudioHardwareUnknownPropertyError;
            }
            if (!streamSide) {
                return kAudioHardwareBadDeviceError;  // no stream in that direction
            }
            SetBytes(value, device.format);
            return kAudioHardwareNoError;
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus ReadSourceProperty(PlatformObject& object, const AudioObjectPropertyAddress& address,
                            PropertyValue& value) {
    SourceSnapshot source;
    if (OSStatus status = QuerySource(object.name, source); status != kAudioHardwareNoError) {
        return status;
    }
    const DeviceView view{source.name, source.description, kAudioObjectPropertyScopeInput, SourceFormat(source)};
    const OSStatus status = ReadDeviceProperty(view, address, value);
    if (status == kAudioHardwareNoError && address.mSelector == kAudioDevicePropertyStreamFormat) {
        // IO procs on this source record in exactly the format the tool read.
        object.format = view.format;
        object.hasFormat = true;
    }
    return status;
}

OSStatus ReadSinkProperty(const PlatformObject& object, const AudioObjectPropertyAddress& address,
                          PropertyValue& value) {
    SinkSnapshot sink;
    if (OSStatus status = QuerySink(object.name, sink); status != kAudioHardwareNoError) {
        return status;
    }
    const DeviceView view{
        sink.name, sink.description, kAudioObjectPropertyScopeOutput,
        DescribeFormat(CaptureSampleFormat(sink.sample.format), sink.sample.rate, sink.sample.channels)};
    return ReadDeviceProperty(view, address, value);
}

// Taps and aggregate devices: input only, in the format fixed at creation.
OSStatus ReadTapProperty(const PlatformObject& object, const AudioObjectPropertyAddress& address,
                         PropertyValue& value) {
    if (address.mSelector == kAudioTapPropertyUID) {
        if (object.kind != ObjectKind::Tap) {
            return kAudioHardwareUnknownPropertyError;
        }
        SetString(value, object.name);
        return kAudioHardwareNoError;
    }
    const DeviceView view{object.name, object.label, kAudioObjectPropertyScopeInput, object.format};
    return ReadDeviceProperty(view, address, value);
}

OSStatus ReadProperty(AudioObjectID objectID, const AudioObjectPropertyAddress& address, PropertyValue& value) {
    if (address.mElement != kAudioObjectPropertyElementMain) {
        return kAudioHardwareUnknownPropertyError;
    }
    if (objectID == kAudioObjectSystemObject) {
        return ReadSystemProperty(address, value);
    }
    PlatformObject* object = FindObject(objectID);
    if (object == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    if (address.mSelector == kAudioDevicePropertyDeviceIsAlive) {
        // Answered from what the IO procs know: it matters most while the
        // server is away.
        SetBytes(value, std::uint32_t(DeviceAlive(objectID) ? 1 : 0));
        return kAudioHardwareNoError;
    }
    switch (object->kind) {
        case ObjectKind::Source:
            return ReadSourceProperty(*object, address, value);
        case ObjectKind::Sink:
            return ReadSinkProperty(*object, address, value);
        case ObjectKind::Tap:
        case ObjectKind::Aggregate:
            return ReadTapProperty(*object, address, value);
    }
    return kAudioHardwareUnspecifiedError;
}

}  // namespace

bool ObjectExists(AudioObjectID object) { return FindObject(object) != nullptr; }

OSStatus ResolveCaptureTarget(AudioObjectID device, CaptureTarget& out) {
    PlatformObject* object = FindObject(device);
    if (object == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    switch (object->kind) {
        case ObjectKind::Sink:
            return kAudioHardwareBadDeviceError;  // nothing to record
        case ObjectKind::Source: {
            SourceSnapshot source;
            if (OSStatus status = QuerySource(object->name, source); status != kAudioHardwareNoError) {
                return status;
            }
            if (!object->hasFormat) {
                object->format = SourceFormat(source);
                object->hasFormat = true;
            }
            out.sourceName = source.name;
            out.format = object->format;
            out.sample = PulseSampleOf(object->format);
            // Keep the source's own channel order when the count still matches,
            // so the server does no remixing of its own.
            if (pa_channel_map_valid(&source.map) && source.map.channels == out.sample.channels) {
                out.map = source.map;
            } else {
                pa_channel_map_init_extend(&out.map, out.sample.channels, PA_CHANNEL_MAP_DEFAULT);
            }
            out.route = object->defaultInput ? Route::DefaultSource : Route::NamedSource;
            // A microphone runs on its own clock like any device.
            out.lockToHostClock = true;
            return kAudioHardwareNoError;
        }
        case ObjectKind::Tap:
        case ObjectKind::Aggregate:
            out.sourceName = object->monitorSource;
            out.format = object->format;
            out.sample = PulseSampleOf(object->format);
            pa_channel_map_init_stereo(&out.map);
            out.route = Route::DefaultSinkMonitor;
            out.lockToHostClock = object->driftCompensation;
            return kAudioHardwareNoError;
    }
    return kAudioHardwareUnspecifiedError;
}

}  // namespace pulse

using pulse::gApiMutex;

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                        std::uint32_t, const void*, std::uint32_t* outDataSize) {
    std::lock_guard<std::mutex> guard(gApiMutex);
    if (address == nullptr || outDataSize == nullptr) {
        return kAudioHardwareUnspecifiedError;
    }
    pulse::PropertyValue value;
    if (OSStatus status = pulse::ReadProperty(object, *address, value); status != kAudioHardwareNoError) {
        return status;
    }
    *outDataSize = pulse::ValueSize(value);
    return kAudioHardwareNoError;
}

OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    std::uint32_t, const void*, std::uint32_t* ioDataSize, void* outData) {
    std::lock_guard<std::mutex> guard(gApiMutex);
    if (address == nullptr || ioDataSize == nullptr) {
        return kAudioHardwareUnspecifiedError;
    }
    pulse::PropertyValue value;
    if (OSStatus status = pulse::ReadProperty(object, *address, value); status != kAudioHardwareNoError) {
        return status;
    }
    std::uint32_t room = *ioDataSize;
    std::uint32_t size = pulse::ValueSize(value);
    if (value.elementSize != 0) {
        // Arrays may change between the size query and the read: hand out the
        // whole elements that fit.
        size = std::min<std::uint32_t>(size, room / std::uint32_t(value.elementSize) * std::uint32_t(value.elementSize));
    } else if (room < size) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (size > 0 && outData == nullptr) {
        return kAudioHardwareUnspecifiedError;
    }
    if (value.isString) {
        CFStringRef string = pulse::MakeString(std::move(value.text));
        std::memcpy(outData, &string, sizeof string);
    } else if (size > 0) {
        std::memcpy(outData, value.bytes.data(), size);
    }
    *ioDataSize = size;
    return kAudioHardwareNoError;
}

OSStatus AudioHardwareCreateProcessTap(const CATapDescription* description, AudioObjectID* outTapID) {
    std::lock_guard<std::mutex> guard(gApiMutex);
    if (description == nullptr || outTapID == nullptr) {
        return kAudioHardwareUnspecifiedError;
    }
    // A sink's monitor carries everything the sink plays: it can neither leave
    // processes out nor mute what it taps.
    if (!description->stereoGlobal || !description->excludedProcesses.empty() ||
        description->muteBehavior != CATapUnmuted) {
        return kAudioHardwareUnsupportedOperationError;
    }
    pulse::ServerSnapshot server;
    if (OSStatus status = pulse::QueryServer(server); status != kAudioHardwareNoError) {
        return status;
    }
    if (server.defaultSink.empty()) {
        return kAudioHardwareBadDeviceError;
    }
    pulse::SinkSnapshot sink;
    if (OSStatus status = pulse::QuerySink(server.defaultSink, sink); status != kAudioHardwareNoError) {
        return status;
    }
    if (sink.monitorSource.empty()) {
        return kAudioHardwareBadDeviceError;
    }
    pulse::PlatformObject tap;
    tap.kind = pulse::ObjectKind::Tap;
    tap.name = NewUUIDString();
    tap.label = description->name;
    tap.monitorSource = sink.monitorSource;
    tap.format = pulse::DescribeFormat(PA_SAMPLE_FLOAT32LE, sink.sample.rate, 2);
    tap.hasFormat = true;
    *outTapID = pulse::AddObject(std::move(tap));
    return kAudioHardwareNoError;
}

OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tapID) {
    std::lock_guard<std::mutex> guard(gApiMutex);
    pulse::PlatformObject* tap = pulse::FindObject(tapID);
    if (tap == nullptr || tap->kind != pulse::ObjectKind::Tap) {
        return kAudioHardwareBadObjectError;
    }
    pulse::ForgetDeviceProcs(tapID);
    pulse::Objects().erase(tapID);
    return kAudioHardwareNoError;
}

OSStatus AudioHardwareCreateAggregateDevice(const AggregateDeviceDescription* description,
                                            AudioObjectID* outDeviceID) {
    std::lock_guard<std::mutex> guard(gApiMutex);
    if (description == nullptr || outDeviceID == nullptr) {
        return kAudioHardwareUnspecifiedError;
    }
    if (description->taps.empty()) {
        return kAudioHardwareBadObjectError;
    }
    if (description->taps.size() > 1) {
        return kAudioHardwareUnsupportedOperationError;  // one monitor per stream
    }
    const pulse::PlatformObject* tap = nullptr;
    for (const auto& [id, object] : pulse::Objects()) {
        if (object.kind == pulse::ObjectKind::Tap && object.name == description->taps.front().uid) {
            tap = &object;
            break;
        }
    }
    if (tap == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    pulse::PlatformObject device;
    device.kind = pulse::ObjectKind::Aggregate;
    device.name = description->uid.empty() ? NewUUIDString() : description->uid;
    device.label = description->name;
    device.monitorSource = tap->monitorSource;
    device.format = tap->format;
    device.hasFormat = true;
    device.driftCompensation = description->taps.front().driftCompensation;
    *outDeviceID = pulse::AddObject(std::move(device));
    return kAudioHardwareNoError;
}

OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID deviceID) {
    std::lock_guard<std::mutex> guard(gApiMutex);
    pulse::PlatformObject* device = pulse::FindObject(deviceID);
    if (device == nullptr || device->kind != pulse::ObjectKind::Aggregate) {
        return kAudioHardwareBadObjectError;
    }
    pulse::ForgetDeviceProcs(deviceID);
    pulse::Objects().erase(deviceID);
    return kAudioHardwareNoError;
}

}  // namespace quorbel
