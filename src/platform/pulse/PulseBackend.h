// Private to the libpulse backend: what its files share. The public face is
// platform/AudioPlatform.h; nothing outside src/platform/pulse/ includes this.
//
// How the HAL's model maps onto the sound server:
//   - every server source is a device with one input stream, every sink a
//     device with output streams only; both keep one process-local ID for the
//     life of the process (IDs from 0x100 up, never reused);
//   - 'uid ' is the server's name for the object, 'lnam' its description;
//   - a process tap is the system's output: an IO proc on it (or on the
//     aggregate device built on it) records the monitor of whichever sink is
//     the default, follows the default when it changes, and never records
//     anything but a sink's monitor;
//   - an IO proc is a record stream whose fragments are handed to the proc on
//     the mainloop thread. Its format is fixed when it starts: the server
//     converts whatever the source delivers later;
//   - while IO procs run, a lost server is reconnected in the background and
//     every proc resumes on its source; 'livn' reads 0 on a device whose proc
//     has nothing to record meanwhile, and its listeners are told.
//
// Status codes, the same in every file:
//   no server, connection refused or lost, context died,
//   server not answering in time                           -> 'stop'
//   unknown object or IO proc ID, unknown tap UID           -> '!obj'
//   unknown property, selector, scope or element            -> 'who?'
//   room too small for a fixed-size property                -> '!siz'
//   device gone, no default sink, no such stream direction  -> '!dev'
//   server refused us (PA_ERR_ACCESS)                       -> '!hog'
//   request this backend cannot honour                      -> 'unop'
//   null arguments, anything else                           -> 'what'
//
// Server errors (pa_context_errno) map as StatusFromError says: ACCESS to
// '!hog'; CONNECTIONREFUSED, CONNECTIONTERMINATED, PROTOCOL, TIMEOUT, AUTHKEY,
// INVALIDSERVER, VERSION, FORKED, IO to 'stop'; NOENTITY, KILLED, BUSY to
// '!dev'; NOTSUPPORTED, NOTIMPLEMENTED to 'unop'; the rest to 'what'.
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/AudioPlatform.h"

namespace quorbel::pulse {

// Held by every backend entry point for its whole run. The operations are
// synchronous and rare, so one lock is enough to keep the object table and
// the IO proc table consistent. What the mainloop thread also touches (the
// context, running records, listeners) is guarded by the mainloop lock. Lock
// order: gApiMutex, then the mainloop lock; mainloop callbacks never take
// gApiMutex.
extern std::mutex gApiMutex;

inline constexpr std::chrono::milliseconds kServerWait{5000};

// ---- Connection (Connection.cpp) -------------------------------------------
// Connects lazily; afterwards the context is READY. Needs gApiMutex. A
// connection that a background reconnect has under way is waited for.
OSStatus Connect();
// Closes the connection (streams must be stopped first). Idempotent.
void Disconnect();
pa_threaded_mainloop* Mainloop();
pa_context* Context();

// Holds the mainloop lock until it goes out of scope.
using MainloopLock = std::unique_ptr<pa_threaded_mainloop, void (*)(pa_threaded_mainloop*)>;
MainloopLock LockMainloop();

// With the mainloop locked: waits until done() holds. False when the bound
// passed or the context left its good states first.
bool WaitLocked(const std::function<bool()>& done, std::chrono::milliseconds bound = kServerWait);
// The status for a libpulse error code (PA_ERR_*).
OSStatus StatusFromError(int error);
// The status for the context's last error, 'stop' when it is no longer READY.
OSStatus ContextStatus();
// The status after a wait that did not end well: the context's error when it
// died, 'stop' when the server did not answer within the bound.
OSStatus FailedWaitStatus();
// With the mainloop locked: waits for op (which sets *done from its callback)
// and releases it; cancels it when the wait fails so that its callback, whose
// data lives on the caller's stack, can never run later.
OSStatus FinishOperation(pa_operation* op, const bool& done);

// Mainloop locked: the context is READY.
bool ContextReady();
// Mainloop locked: tries again to reach the server in a while, unless nothing
// runs that needs it by then.
void ScheduleReconnect();
// Mainloop locked: routes the running records again in a while (a stream
// that should have taken over failed, and the server may say nothing more).
void ScheduleRouteRetry();
// Mainloop locked: looks again in a while whether the replacements opened got
// ready, and routes again only for one dropped as stalled.
void WatchReplacements();
// Mainloop locked: while a tap runs, asks for the defaults every little while,
// should the server not tell of a change.
void ScheduleDefaultsCheck();

// ---- Server queries (Connection.cpp) -----------------------------------------
struct ServerSnapshot {
    std::string defaultSink;
    std::string defaultSource;
};
struct SourceSnapshot {
    std::string name;
    std::string description;
    pa_sample_spec sample{};
    pa_channel_map map{};
};
struct SinkSnapshot {
    std::string name;
    std::string description;
    std::string monitorSource;
    pa_sample_spec sample{};
    pa_channel_map map{};
};
// Each connects when needed; '!dev' when a named object does not exist.
OSStatus QueryServer(ServerSnapshot& out);
OSStatus QuerySources(std::vector<SourceSnapshot>& out);
OSStatus QuerySinks(std::vector<SinkSnapshot>& out);
OSStatus QuerySource(const std::string& name, SourceSnapshot& out);
OSStatus QuerySink(const std::string& name, SinkSnapshot& out);

// ---- Devices (Devices.cpp) ------------------------------------------------------
// How a running IO proc finds its source again when the server changes.
enum class Route {
    DefaultSinkMonitor,  // a tap: the default sink's monitor, whichever sink that is
    NamedSource,         // a source chosen by name: that source, and no other
    DefaultSource,       // the default input: the default source after a lost server
};

// Where an IO proc on a device records from, and in which format.
struct CaptureTarget {
    std::string sourceName;
    AudioStreamBasicDescription format{};
    pa_sample_spec sample{};
    pa_channel_map map{};
    Route route = Route::NamedSource;
    bool lockToHostClock = false;  // drift compensation asked for
};
// '!obj' for an unknown ID, '!dev' for a device without input streams.
OSStatus ResolveCaptureTarget(AudioObjectID device, CaptureTarget& out);
bool ObjectExists(AudioObjectID object);

// Whether a device has something to record ('livn'); answered without the server.
bool DeviceAlive(AudioObjectID device);

// ---- Host-clock lock (RateLock.cpp) ----------------------------------------------
// Keeps the frames a record stream delivers on pace with its nominal rate
// per second of the host's monotonic clock, by asking for a slightly other
// stream rate. Mainloop locked.
struct RateLock {
    std::uint32_t nominal = 0;     // the rate the tool was promised
    std::int32_t offset = 0;       // hertz asked of the server on top of it
    double command = 0;            // the offset before rounding to whole hertz
    double lastError = 0;          // the previous window's, in frames
    std::int64_t originNs = -1;    // host time the count starts from
    std::uint64_t delivered = 0;   // frames since then
    double windowError = 0;        // of this window's most timely delivery, in frames
    std::int64_t windowEndNs = 0;
    bool settling = false;         // the first window, which does not count
    bool steering = false;         // past the window that sets the starting error
    bool jumped = false;           // the last window's mean jumped
    // Audio the consumer holds beyond its needs (what came after it had
    // filled the place with silence) is let go by delivering fewer frames;
    // what it lacks of them is built up by delivering more.
    std::int32_t surplus = 0;      // frames, as the consumer last told; negative when short
    std::int64_t surplusAtNs = -1;
    std::int32_t drainHz = 0;      // taken off the rate while draining (negative: building up)
    std::int64_t drainFromNs = 0;  // host time the current drain rate holds from
    double drained = 0;            // frames the schedule gave up before then
};
void ResetRateLock(RateLock& lock, std::uint32_t nominal);
// Counts frames delivered at host time nowNs; the stream rate to ask for
// when it should change, 0 otherwise.
std::uint32_t RateLockDelivered(RateLock& lock, std::uint64_t frames, std::int64_t nowNs);
// The consumer holds `frames` more than it needs (fewer, when negative), as
// of host time nowNs.
void RateLockBacklog(RateLock& lock, std::int32_t frames, std::int64_t nowNs);

// ---- IO procs (Streams.cpp) --------------------------------------------------------
// One registration. Between a successful start and its stop it is running: at
// most one of its streams delivers (`stream`), while a replacement gets ready
// beside it (`pending`) and takes over once it is. Everything from `running`
// on is guarded by the mainloop lock.
struct IOProcRecord {
    AudioObjectID device = kAudioObjectUnknown;
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    Route route = Route::NamedSource;
    bool lockToHostClock = false;
    std::string sourceName;  // the source asked for at start
    pa_sample_spec sample{};
    pa_channel_map map{};
    std::uint32_t channels = 0;
    std::uint32_t bytesPerFrame = 0;
    // Stands in for the server's holes; made at start, never in the callback.
    std::vector<std::uint8_t> silence;
    double sampleTime = 0;

    bool running = false;
    pa_stream* stream = nullptr;
    std::string streamSource;
    pa_stream* pending = nullptr;
    std::string pendingSource;
    int pendingError = PA_OK;     // why the last replacement failed
    std::chrono::steady_clock::time_point pendingSince;
    bool delivered = false;       // a stream of it has taken over since the start
    bool alive = true;            // what 'livn' last said
    bool awaitingServer = false;  // lost with the server: find the source again once it is back
    RateLock lock;                // of the delivering stream
};

// Mainloop locked. The records that run, in start order.
const std::vector<IOProcRecord*>& RunningRecords();
// Mainloop locked: opens a replacement stream on source, which takes over once
// it is ready; false when it could not even be opened.
bool OpenReplacement(IOProcRecord& record, const std::string& source);
// Mainloop locked.
void ReleaseStream(pa_stream*& stream);
// Mainloop locked: releases the replacements that have neither become ready
// nor failed for too long.
struct ReplacementsWatched {
    bool waiting = false;  // others are still getting ready
    bool dropped = false;
};
ReplacementsWatched DropStalledReplacements();
// Mainloop locked: changes 'livn' and tells its listeners.
void SetAlive(IOProcRecord& record, bool alive);
// Stops every running stream (before the connection closes).
void StopAllStreams();
// What the consumer of a device's procs holds beyond its needs, in frames
// (negative: what it lacks).
void TellBacklog(AudioObjectID device, std::int32_t frames);
// Stops and forgets the IO procs of a device that is being destroyed.
void ForgetDeviceProcs(AudioObjectID device);

// ---- Following the server (Routing.cpp) ---------------------------------------------
// The server's defaults as the running records need them.
struct ServerDefaults {
    std::string sinkMonitor;  // the default sink's monitor; "" without a default sink
    std::string source;       // the default source; "" without one
};
// What a running record should do about its source, given the defaults.
enum class RouteAction { Keep, Open, CancelPending, Lose };
struct RouteDecision {
    RouteAction action = RouteAction::Keep;
    std::string source;  // for Open
};
// A running record as the decision sees it; "" for no such stream.
struct RouteState {
    Route route = Route::NamedSource;
    std::string asked;       // the source asked for at start
    std::string delivering;  // the source of the delivering stream
    std::string pending;     // the source of the replacement getting ready
    bool awaitingServer = false;
};
RouteDecision DecideRoute(const RouteState& state, const ServerDefaults& defaults);
// Mainloop locked: asks the server for its defaults and routes every running
// record by them. Calls that come while one is under way are folded into one
// more after it.
void RefreshRoutes();
// Mainloop locked; the context just became ready, or just failed.
void ServerReady();
void ServerLost();
// Mainloop locked: drops whatever refresh is under way (the connection closes).
void ForgetRoutes();
// Mainloop locked: the server delivers less when a record stream asks for a
// higher rate (learnt with the defaults).
bool ServerInvertsRecordRate();

// ---- Property listeners (Listeners.cpp) ----------------------------------------------
// Mainloop locked (when there is a mainloop): calls the listeners of object
// for selector.
void NotifyListeners(AudioObjectID object, AudioObjectPropertySelector selector);

// ---- Strings (Strings.cpp) ---------------------------------------------------------
CFStringRef MakeString(std::string text);

}  // namespace quorbel::pulse
