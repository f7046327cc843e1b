// Private to the libpulse backend: what its files share. The public face is
// platform/AudioPlatform.h; nothing outside src/platform/pulse/ includes this.
//
// How the HAL's model maps onto the sound server:
//   - every server source is a device with one input stream, every sink a
//     device with output streams only; both keep one process-local ID for the
//     life of the process (IDs from 0x100 up, never reused);
//   - 'uid ' is the server's name for the object, 'lnam' its description;
//   - a process tap is the monitor of the default sink at the time the tap is
//     made, an aggregate device built on a tap records that monitor;
//   - an IO proc is a record stream whose fragments are handed to the proc on
//     the mainloop thread.
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
// synchronous and rare, so one lock is enough to keep the object table, the IO
// proc records and the connection consistent. Lock order: gApiMutex, then the
// mainloop lock; mainloop callbacks never take gApiMutex.
extern std::mutex gApiMutex;

inline constexpr std::chrono::milliseconds kServerWait{5000};

// ---- Connection (Connection.cpp) -------------------------------------------
// Connects lazily; afterwards the context is READY. Needs gApiMutex.
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
// Where an IO proc on a device records from, and in which format.
struct CaptureTarget {
    std::string sourceName;
    AudioStreamBasicDescription format{};
    pa_sample_spec sample{};
    pa_channel_map map{};
    bool dontMove = false;  // a tap must never slide over to another source
};
// '!obj' for an unknown ID, '!dev' for a device without input streams.
OSStatus ResolveCaptureTarget(AudioObjectID device, CaptureTarget& out);
bool ObjectExists(AudioObjectID object);

// ---- IO procs (Streams.cpp) --------------------------------------------------------
// Stops every running stream (before the connection closes).
void StopAllStreams();
// Stops and forgets the IO procs of a device that is being destroyed.
void ForgetDeviceProcs(AudioObjectID device);

// ---- Strings (Strings.cpp) ---------------------------------------------------------
CFStringRef MakeString(std::string text);

}  // namespace quorbel::pulse
