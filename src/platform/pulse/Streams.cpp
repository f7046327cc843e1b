// IO procs: each registration records from its device with a record stream
// and hands the stream's fragments to the proc on the mainloop thread, with
// the mainloop lock held. A proc must therefore return quickly and never call
// back into the backend.
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>

#include "platform/pulse/PulseBackend.h"

namespace quorbel {
namespace pulse {
namespace {

// The most frames one proc call carries; longer fragments go in pieces.
constexpr std::size_t kMaxFramesPerCall = 16384;
// Small fragments keep the delivery steady; the tool paces its own output.
constexpr pa_usec_t kFragmentUsec = 10000;

struct IOProcRecord {
    AudioObjectID device = kAudioObjectUnknown;
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    pa_stream* stream = nullptr;  // non-null while started
    std::uint32_t channels = 0;
    std::uint32_t bytesPerFrame = 0;
    // Stands in for the server's holes; made at start, never in the callback.
    std::vector<std::uint8_t> silence;
    double sampleTime = 0;
};

using ProcTable = std::map<std::uintptr_t, std::unique_ptr<IOProcRecord>>;

// Never freed, like the object table: the mainloop thread may outlive main.
ProcTable* gProcs = nullptr;
std::uintptr_t gNextProcKey = 1;

ProcTable& Procs() {
    if (gProcs == nullptr) {
        gProcs = new ProcTable;
    }
    return *gProcs;
}

AudioDeviceIOProcID ProcIDFor(std::uintptr_t key) { return reinterpret_cast<AudioDeviceIOProcID>(key); }

// The record for an ID handed out for `device`; null for anything else. IDs
// are opaque keys, never pointers, so a stale one cannot reach freed memory.
IOProcRecord* FindRecord(AudioObjectID device, AudioDeviceIOProcID procID) {
    auto it = Procs().find(reinterpret_cast<std::uintptr_t>(procID));
    if (it == Procs().end() || it->second->device != device) {
        return nullptr;
    }
    return it->second.get();
}

void Deliver(IOProcRecord& record, const std::uint8_t* data, std::size_t bytes) {
    const std::size_t pieceMax = kMaxFramesPerCall * record.bytesPerFrame;
    while (bytes >= record.bytesPerFrame) {
        std::size_t piece = std::min(bytes, pieceMax);
        piece -= piece % record.bytesPerFrame;
        const void* source = data != nullptr ? static_cast<const void*>(data) : record.silence.data();
        AudioBufferList input{1, {AudioBuffer{record.channels, std::uint32_t(piece), const_cast<void*>(source)}}};
        AudioBufferList output{};
        AudioTimeStamp now{};
        now.mSampleTime = record.sampleTime;
        now.mRateScalar = 1.0;
        now.mFlags = 1;  // sample time valid
        record.proc(record.device, &now, &input, &now, &output, &now, record.clientData);
        record.sampleTime += double(piece / record.bytesPerFrame);
        bytes -= piece;
        if (data != nullptr) {
            data += piece;
        }
    }
}

// Mainloop thread, lock held.
void StreamReadable(pa_stream* stream, std::size_t, void* userdata) {
    auto* record = static_cast<IOProcRecord*>(userdata);
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            return;  // failed, or nothing buffered (nothing to drop)
        }
        // A hole (no data, some length) goes on as silence of its length.
        Deliver(*record, static_cast<const std::uint8_t*>(data), bytes);
        pa_stream_drop(stream);
    }
}

void StreamStateChanged(pa_stream*, void*) { pa_threaded_mainloop_signal(Mainloop(), 0); }

// Mainloop locked. Afterwards no callback of the stream can run again.
void ReleaseStreamLocked(IOProcRecord& record) {
    if (record.stream == nullptr) {
        return;
    }
    pa_stream_set_read_callback(record.stream, nullptr, nullptr);
    pa_stream_set_state_callback(record.stream, nullptr, nullptr);
    // A stream whose context died is already detached; only a live one is
    // disconnected.
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(record.stream))) {
        pa_stream_disconnect(record.stream);
    }
    pa_stream_unref(record.stream);
    record.stream = nullptr;
}

void StopRecord(IOProcRecord& record) {
    if (record.stream == nullptr) {
        return;
    }
    if (Mainloop() == nullptr) {
        record.stream = nullptr;  // inherited across a fork: the parent's, not ours
        return;
    }
    const MainloopLock lock = LockMainloop();
    ReleaseStreamLocked(record);
}

// Whether the record's stream still runs; a dead one is released.
bool StreamRunning(IOProcRecord& record) {
    if (record.stream == nullptr || Mainloop() == nullptr) {
        record.stream = nullptr;
        return false;
    }
    const MainloopLock lock = LockMainloop();
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(record.stream))) {
        return true;
    }
    ReleaseStreamLocked(record);  // its device went away or the server died
    return false;
}

OSStatus StartRecord(IOProcRecord& record) {
    CaptureTarget target;
    if (OSStatus status = ResolveCaptureTarget(record.device, target); status != kAudioHardwareNoError) {
        return status;
    }
    if (OSStatus status = Connect(); status != kAudioHardwareNoError) {
        return status;
    }
    record.channels = target.format.mChannelsPerFrame;
    record.bytesPerFrame = target.format.mBytesPerFrame;
    if (record.bytesPerFrame == 0) {
        return kAudioHardwareUnspecifiedError;
    }
    record.silence.assign(kMaxFramesPerCall * record.bytesPerFrame, 0);

    const MainloopLock lock = LockMainloop();
    pa_stream* stream = pa_stream_new(Context(), "Quorbel capture", &target.sample, &target.map);
    if (stream == nullptr) {
        return ContextStatus();
    }
    pa_stream_set_state_callback(stream, StreamStateChanged, nullptr);
    pa_stream_set_read_callback(stream, StreamReadable, &record);
    pa_buffer_attr attributes{};
    attributes.maxlength = std::uint32_t(-1);
    attributes.tlength = std::uint32_t(-1);
    attributes.prebuf = std::uint32_t(-1);
    attributes.minreq = std::uint32_t(-1);
    attributes.fragsize = std::uint32_t(pa_usec_to_bytes(kFragmentUsec, &target.sample));
    int flags = PA_STREAM_ADJUST_LATENCY;
    if (target.dontMove) {
        // Should the tapped sink go away, the stream dies with it instead of
        // being moved to the default source, which may well be a microphone.
        flags |= PA_STREAM_DONT_MOVE;
    }
    record.stream = stream;
    if (pa_stream_connect_record(stream, target.sourceName.c_str(), &attributes, pa_stream_flags_t(flags)) < 0) {
        OSStatus status = ContextStatus();
        ReleaseStreamLocked(record);
        return status;
    }
    bool ready = WaitLocked([stream] {
        auto state = pa_stream_get_state(stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    });
    if (ready && pa_stream_get_state(stream) == PA_STREAM_READY) {
        return kAudioHardwareNoError;
    }
    OSStatus status = ready ? ContextStatus() : FailedWaitStatus();
    ReleaseStreamLocked(record);
    return status;
}

}  // namespace

void StopAllStreams() {
    for (auto& [key, record] : Procs()) {
        StopRecord(*record);
    }
}

void ForgetDeviceProcs(AudioObjectID device) {
    for (auto it = Procs().begin(); it != Procs().end();) {
        if (it->second->device == device) {
            StopRecord(*it->second);
            it = Procs().erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace pulse

using pulse::gApiMutex;

OSStatus AudioDeviceCreateIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                                   AudioDeviceIOProcID* outProcID) {
    std::lock_guard<std::mutex> guard(gApiMutex);
    if (proc == nullptr || outProcID == nullptr) {
        return kAudioHardwareUnspecifiedError;
    }
    if (!pulse::ObjectExists(device)) {
        return kAudioHardwareBadObjectError;
    }
    auto record = std::make_unique<pulse::IOProcRecord>();
    record->device = device;
    record->proc = proc;
    record->clientData = clientData;
    std::uintptr_t key = pulse::gNextProcKey++;
    pulse::Procs().emplace(key, std::move(record));
    *outProcID = pulse::ProcIDFor(key);
    return kAudioHardwareNoError;
}

OSStatus AudioDeviceDestroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
    std::lock_guard<std::mutex> guard(gApiMutex);
    pulse::IOProcRecord* record = pulse::FindRecord(device, procID);
    if (record == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    pulse::StopRecord(*record);
    pulse::Procs().erase(reinterpret_cast<std::uintptr_t>(procID));
    return kAudioHardwareNoError;
}

OSStatus AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
    std::lock_guard<std::mutex> guard(gApiMutex);
    pulse::IOProcRecord* record = pulse::FindRecord(device, procID);
    if (record == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    if (pulse::StreamRunning(*record)) {
        return kAudioHardwareNoError;
    }
    return pulse::StartRecord(*record);
}

OSStatus AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
    std::lock_guard<std::mutex> guard(gApiMutex);
    pulse::IOProcRecord* record = pulse::FindRecord(device, procID);
    if (record == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    pulse::StopRecord(*record);
    return kAudioHardwareNoError;
}

}  // namespace quorbel
