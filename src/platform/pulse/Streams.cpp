// IO procs: each registration records from its device with a record stream
// and hands the stream's fragments to the proc on the mainloop thread, with
// the mainloop lock held. A proc must therefore return quickly and never call
// back into the backend.
//
// A running registration may change streams (Routing.cpp): the replacement is
// opened beside the delivering stream and takes over only once it is ready,
// after the old one has handed on what it still held. So deliveries stay on
// one thread, in order, from one stream at a time.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>

#include "platform/pulse/PulseBackend.h"

namespace quorbel {
namespace pulse {
namespace {

// The most frames one proc call carries; longer fragments go in pieces.
constexpr std::size_t kMaxFramesPerCall = 16384;
// Small fragments keep the delivery steady and early; the tool paces its
// own output.
constexpr pa_usec_t kFragmentUsec = 10000;
// A replacement that is neither ready nor failed by then is stuck: PipeWire
// now and then leaves a stream on a sink's monitor connecting for good.
constexpr std::chrono::seconds kReplacementPatience{2};

using ProcTable = std::map<std::uintptr_t, std::unique_ptr<IOProcRecord>>;

// Never freed, like the object table: the mainloop thread may outlive main.
ProcTable* gProcs = nullptr;
std::vector<IOProcRecord*>* gRunning = nullptr;
std::uintptr_t gNextProcKey = 1;

ProcTable& Procs() {
    if (gProcs == nullptr) {
        gProcs = new ProcTable;
    }
    return *gProcs;
}

std::vector<IOProcRecord*>& Running() {
    if (gRunning == nullptr) {
        gRunning = new std::vector<IOProcRecord*>;
    }
    return *gRunning;
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

std::int64_t HostNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Every piece of the fragment came at cameNs.
void Deliver(IOProcRecord& record, const std::uint8_t* data, std::size_t bytes, std::int64_t cameNs) {
    const std::size_t pieceMax = kMaxFramesPerCall * record.bytesPerFrame;
    while (bytes >= record.bytesPerFrame) {
        std::size_t piece = std::min(bytes, pieceMax);
        piece -= piece % record.bytesPerFrame;
        const void* source = data != nullptr ? static_cast<const void*>(data) : record.silence.data();
        AudioBufferList input{1, {AudioBuffer{record.channels, std::uint32_t(piece), const_cast<void*>(source)}}};
        AudioBufferList output{};
        AudioTimeStamp now{};
        now.mSampleTime = record.sampleTime;
        now.mHostTime = std::uint64_t(cameNs);
        now.mRateScalar = 1.0;
        now.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
        record.proc(record.device, &now, &input, &now, &output, &now, record.clientData);
        record.sampleTime += double(piece / record.bytesPerFrame);
        bytes -= piece;
        if (data != nullptr) {
            data += piece;
        }
    }
}

void KeepOnHostClock(IOProcRecord& record, pa_stream* stream, std::size_t bytes, std::int64_t cameNs) {
    if (!record.lockToHostClock) {
        return;
    }
    std::uint32_t rate = RateLockDelivered(record.lock, bytes / record.bytesPerFrame, cameNs);
    if (rate != 0) {
        if (ServerInvertsRecordRate()) {
            rate = 2 * record.lock.nominal - rate;  // nominal minus the offset
        }
        if (pa_operation* op = pa_stream_update_sample_rate(stream, rate, nullptr, nullptr)) {
            pa_operation_unref(op);
        }
    }
}

// Mainloop thread, lock held. Only the delivering stream has this callback.
void StreamReadable(pa_stream* stream, std::size_t, void* userdata) {
    auto* record = static_cast<IOProcRecord*>(userdata);
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
            return;  // failed, or nothing buffered (nothing to drop)
        }
        const std::int64_t cameNs = HostNowNs();
        // A hole (no data, some length) goes on as silence of its length.
        Deliver(*record, static_cast<const std::uint8_t*>(data), bytes, cameNs);
        pa_stream_drop(stream);
        KeepOnHostClock(*record, stream, bytes, cameNs);
    }
}

// The replacement is ready: the old stream hands on what it still holds and
// goes, and the replacement delivers from now on.
void TakeOver(IOProcRecord& record) {
    if (record.stream != nullptr) {
        StreamReadable(record.stream, 0, &record);
        ReleaseStream(record.stream);
    }
    record.stream = record.pending;
    record.streamSource = std::move(record.pendingSource);
    record.pending = nullptr;
    record.pendingSource.clear();
    record.awaitingServer = false;
    record.delivered = true;
    ResetRateLock(record.lock, record.sample.rate);  // a new device, a new clock
    pa_stream_set_read_callback(record.stream, StreamReadable, &record);
    SetAlive(record, true);
}

void StreamStateChanged(pa_stream* stream, void* userdata) {
    auto* record = static_cast<IOProcRecord*>(userdata);
    pa_threaded_mainloop_signal(Mainloop(), 0);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (stream == record->pending) {
        if (state == PA_STREAM_READY) {
            TakeOver(*record);
        } else if (!PA_STREAM_IS_GOOD(state)) {
            record->pendingError = ContextReady() ? pa_context_errno(Context()) : PA_ERR_CONNECTIONTERMINATED;
            ReleaseStream(record->pending);
            record->pendingSource.clear();
            if (record->stream == nullptr) {
                SetAlive(*record, false);
            }
            // Tried again in a while: the source may be new and not ready
            // for us yet (a default sink just loaded, a microphone the server
            // brings back after a restart), and nothing else may happen that
            // would make us look again.
            if (ContextReady()) {
                ScheduleRouteRetry();
            }
        }
        return;
    }
    if (stream == record->stream && !PA_STREAM_IS_GOOD(state)) {
        ReleaseStream(record->stream);
        record->streamSource.clear();
        // With the server gone, ServerLost has this in hand. Otherwise the
        // source went away: a tap looks for the default sink's monitor, any
        // other source stays lost.
        if (ContextReady() && record->pending == nullptr) {
            if (record->route == Route::DefaultSinkMonitor) {
                RefreshRoutes();
            } else {
                SetAlive(*record, false);
            }
        }
    }
}

pa_stream* OpenStream(IOProcRecord& record, const std::string& source) {
    pa_stream* stream = pa_stream_new(Context(), "Quorbel capture", &record.sample, &record.map);
    if (stream == nullptr) {
        return nullptr;
    }
    pa_buffer_attr attributes{};
    attributes.maxlength = std::uint32_t(-1);
    attributes.tlength = std::uint32_t(-1);
    attributes.prebuf = std::uint32_t(-1);
    attributes.minreq = std::uint32_t(-1);
    attributes.fragsize = std::uint32_t(pa_usec_to_bytes(kFragmentUsec, &record.sample));
    // Never moved by the server: should its source go away, the stream dies
    // with it instead of sliding over to the default source, which may well
    // be a microphone. Where to record next is ours to decide.
    int flags = PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE;
    if (record.lockToHostClock) {
        flags |= PA_STREAM_VARIABLE_RATE;
    }
    pa_stream_set_state_callback(stream, StreamStateChanged, &record);
    record.pending = stream;  // before connecting: the state callback may run at once
    if (pa_stream_connect_record(stream, source.c_str(), &attributes, pa_stream_flags_t(flags)) < 0) {
        record.pending = nullptr;
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_unref(stream);
        return nullptr;
    }
    return stream;
}

void StopRecordLocked(IOProcRecord& record) {
    ReleaseStream(record.pending);
    ReleaseStream(record.stream);
    record.pendingSource.clear();
    record.streamSource.clear();
    record.running = false;
    record.alive = true;
    record.awaitingServer = false;
    record.delivered = false;
    std::erase(Running(), &record);
}

void StopRecord(IOProcRecord& record) {
    if (Mainloop() == nullptr) {
        // Inherited across a fork: the streams are the parent's, not ours.
        record.stream = record.pending = nullptr;
        record.running = false;
        std::erase(Running(), &record);
        return;
    }
    const MainloopLock lock = LockMainloop();
    StopRecordLocked(record);
}

bool IsRunning(IOProcRecord& record) {
    if (Mainloop() == nullptr) {
        return false;
    }
    const MainloopLock lock = LockMainloop();
    return record.running;
}

void PrepareRecord(IOProcRecord& record, const CaptureTarget& target) {
    record.route = target.route;
    record.lockToHostClock = target.lockToHostClock;
    record.sourceName = target.sourceName;
    record.sample = target.sample;
    record.map = target.map;
    record.channels = target.format.mChannelsPerFrame;
    record.bytesPerFrame = target.format.mBytesPerFrame;
    record.silence.assign(kMaxFramesPerCall * record.bytesPerFrame, 0);
    record.pendingError = PA_OK;
}

// Mainloop locked: waits until the first stream delivers or has failed.
OSStatus AwaitFirstStream(IOProcRecord& record) {
    bool waited = WaitLocked([&record] { return record.stream != nullptr || record.pending == nullptr; });
    if (record.stream != nullptr) {
        return kAudioHardwareNoError;
    }
    if (!waited) {
        return FailedWaitStatus();
    }
    if (!ContextReady()) {
        return ContextStatus();
    }
    const OSStatus status = StatusFromError(record.pendingError);
    return status != kAudioHardwareNoError ? status : kAudioHardwareUnspecifiedError;
}

OSStatus StartRecord(IOProcRecord& record) {
    CaptureTarget target;
    if (OSStatus status = ResolveCaptureTarget(record.device, target); status != kAudioHardwareNoError) {
        return status;
    }
    if (OSStatus status = Connect(); status != kAudioHardwareNoError) {
        return status;
    }
    if (target.format.mBytesPerFrame == 0) {
        return kAudioHardwareUnspecifiedError;
    }
    const MainloopLock lock = LockMainloop();
    PrepareRecord(record, target);
    record.running = true;
    Running().push_back(&record);
    if (!OpenReplacement(record, target.sourceName)) {
        const OSStatus status = ContextStatus();
        StopRecordLocked(record);
        return status;
    }
    const OSStatus status = AwaitFirstStream(record);
    if (status == kAudioHardwareNoError) {
        RefreshRoutes();  // the defaults may have moved while we set up
        if (record.route == Route::DefaultSinkMonitor) {
            ScheduleDefaultsCheck();
        }
        return status;
    }
    StopRecordLocked(record);
    return status;
}

}  // namespace

const std::vector<IOProcRecord*>& RunningRecords() { return Running(); }

void ReleaseStream(pa_stream*& stream) {
    if (stream == nullptr) {
        return;
    }
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    // A stream whose context died is already detached; only a live one is
    // disconnected.
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream)) && ContextReady()) {
        pa_stream_disconnect(stream);
    }
    pa_stream_unref(stream);
    stream = nullptr;
}

bool OpenReplacement(IOProcRecord& record, const std::string& source) {
    ReleaseStream(record.pending);
    record.pendingSource.clear();
    if (!ContextReady() || OpenStream(record, source) == nullptr) {
        record.pendingError = ContextReady() ? pa_context_errno(Context()) : PA_ERR_CONNECTIONTERMINATED;
        return false;
    }
    record.pendingSource = source;
    record.pendingSince = std::chrono::steady_clock::now();
    if (record.delivered) {
        WatchReplacements();  // to see that it got ready
    }
    return true;
}

ReplacementsWatched DropStalledReplacements() {
    const auto now = std::chrono::steady_clock::now();
    ReplacementsWatched watched;
    for (IOProcRecord* record : Running()) {
        // The first stream of a start is the start's to wait for.
        if (record->pending == nullptr || !record->delivered) {
            continue;
        }
        if (now - record->pendingSince < kReplacementPatience) {
            watched.waiting = true;
            continue;
        }
        watched.dropped = true;
        ReleaseStream(record->pending);
        record->pendingSource.clear();
        if (record->stream == nullptr) {
            SetAlive(*record, false);
        }
    }
    return watched;
}

void SetAlive(IOProcRecord& record, bool alive) {
    if (record.alive == alive) {
        return;
    }
    record.alive = alive;
    NotifyListeners(record.device, kAudioDevicePropertyDeviceIsAlive);
}

bool DeviceAlive(AudioObjectID device) {
    if (Mainloop() == nullptr) {
        return true;
    }
    const MainloopLock lock = LockMainloop();
    for (const IOProcRecord* record : Running()) {
        if (record->device == device && !record->alive) {
            return false;
        }
    }
    return true;
}

void TellBacklog(AudioObjectID device, std::int32_t frames) {
    if (Mainloop() == nullptr) {
        return;
    }
    const MainloopLock lock = LockMainloop();
    for (IOProcRecord* record : Running()) {
        if (record->device == device) {
            RateLockBacklog(record->lock, frames, HostNowNs());
        }
    }
}

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

// Only the consumer's backlog is settable; the lock of the device's running
// procs lets it go, or builds up what the consumer lacks (RateLock.cpp).
OSStatus AudioObjectSetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address, std::uint32_t,
                                    const void*, std::uint32_t dataSize, const void* data) {
    std::lock_guard<std::mutex> guard(gApiMutex);
    if (address == nullptr || data == nullptr) {
        return kAudioHardwareUnspecifiedError;
    }
    if (!pulse::ObjectExists(object)) {
        return kAudioHardwareBadObjectError;
    }
    if (address->mSelector != kQuorbelDevicePropertyConsumerBacklog) {
        return kAudioHardwareUnknownPropertyError;
    }
    if (dataSize != sizeof(std::int32_t)) {
        return kAudioHardwareBadPropertySizeError;
    }
    std::int32_t frames = 0;
    std::memcpy(&frames, data, sizeof frames);
    pulse::TellBacklog(object, frames);
    return kAudioHardwareNoError;
}

OSStatus AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
    std::lock_guard<std::mutex> guard(gApiMutex);
    pulse::IOProcRecord* record = pulse::FindRecord(device, procID);
    if (record == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    if (pulse::IsRunning(*record)) {
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
