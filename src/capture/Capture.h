// Capture control: one capture run from its permission check to its last
// report line, its two sources, and what decides when it ends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/AudioPlatform.h"
#include "realtime/Realtime.h"

namespace quorbel {

// Reverse-DNS prefix of this tool's identifiers (bundle and aggregate device).
inline constexpr const char* kReverseDnsPrefix = "com.calvetra.quorbel";
inline constexpr const char* kTapName = "Calvetra - Audio di sistema";
inline constexpr const char* kAggregateDeviceName = "Calvetra Audio Capture";

int Capture(bool mixed, const std::string& microphoneUid, bool includeSystem);

// ---- Stop control ----------------------------------------------------------
// Set by signals, the stdin watcher and a failed write; cleared only when a
// capture run starts. Relaxed order suffices: no other data travels with it.
extern std::atomic<bool> gStopRequested;

void HandleSignal(int signal);
// SIGINT and SIGTERM to HandleSignal, SIGPIPE ignored.
void InstallStopSignals();

// The thread that turns the end of standard input into a stop request. The
// wake pipe lets the run release it while the parent keeps the input open.
struct StdinWatcher {
    std::thread thread;
    int wakeRead = -1;
    int wakeWrite = -1;
};
void StartStdinWatcher(StdinWatcher& watcher);
// Releases the watcher, joins it and closes standard input.
void StopStdinWatcher(StdinWatcher& watcher);
// Starts a thread that runs body(argument) with SIGINT and SIGTERM blocked:
// those must reach the main thread, whose blocked write they interrupt.
std::thread StartThreadWithoutStopSignals(void (*body)(void*), void* argument);

// ---- Source notices --------------------------------------------------------
// Tells people on standard error when a running source loses its audio (its
// device or the sound server went away) and when it has it back, at most one
// line a second. The platform's listener only wakes the thread; the thread
// reads the state and prints, so no platform thread ever waits on stderr.
struct SourceNotices {
    AudioObjectID systemDevice = kAudioObjectUnknown;
    AudioObjectID microphoneDevice = kAudioObjectUnknown;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    bool changed = false;  // a listener ran since the thread last looked
    bool stopping = false;
};
// Either device may be kAudioObjectUnknown: that source is not watched.
void StartSourceNotices(SourceNotices& notices, AudioObjectID systemDevice, AudioObjectID microphoneDevice);
// Removes the listeners, then ends and joins the thread.
void StopSourceNotices(SourceNotices& notices);

// ---- Sources -----------------------------------------------------------------
// Creates the tap and its aggregate device and reads the device's format into
// stream. On failure prints one message, destroys what it made and leaves
// both handles 0. needsWholeRate rejects a rate that a pass-through run
// cannot pace (not finite, or not rounding into 1 .. 2^32 - 1).
bool SetUpSystemSource(CaptureStream& stream, AudioObjectID& tap, AudioObjectID& aggregateDevice,
                       bool needsWholeRate);
// Selects the microphone (by UID, or the default input when uid is empty),
// reads its format and registers and starts CaptureIOProc on it. On failure
// prints one message and destroys its registration.
bool SetUpMicrophoneSource(const std::string& uid, CaptureStream& stream, AudioObjectID& device,
                           AudioDeviceIOProcID& ioProc);

}  // namespace quorbel
