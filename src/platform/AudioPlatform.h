// The audio platform's operations, under the HAL's names. Exactly one backend
// defines the functions marked "backend" below: the product links the libpulse
// backend (src/platform/pulse/), the tests link a scripted one. There is no
// class hierarchy and no virtual call; the linker picks the backend.
//
// Common rules for every operation returning OSStatus: 0 is success, anything
// else a failure whose code reads well through OSStatusText.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/CoreAudioTypes.h"

namespace quorbel {

// ---- Owned strings (the CFStringRef role) --------------------------------
// A property read that yields a string hands over one reference, which the
// caller gives back with CFRelease exactly once.
struct OpaquePlatformString;
using CFStringRef = const OpaquePlatformString*;

const char* UTF8String(CFStringRef string);  // backend; null when the string has no UTF-8 text
void CFRelease(CFStringRef string);          // backend

// ---- Process tap description (the CATapDescription role) ------------------
enum CATapMuteBehavior : int { CATapUnmuted = 0, CATapMuted = 1, CATapMutedWhenTapped = 2 };

struct CATapDescription {
    bool stereoGlobal = false;                      // set by initStereoGlobalTapButExcludeProcesses:
    std::vector<AudioObjectID> excludedProcesses;   // processes left out of the global tap
    std::string name;
    bool isPrivate = false;
    CATapMuteBehavior muteBehavior = CATapMuted;
};

// ---- Aggregate device description -----------------------------------------
// The dictionary keys the HAL reads, one field each; no other key exists.
inline constexpr const char* kAudioAggregateDeviceNameKey = "name";
inline constexpr const char* kAudioAggregateDeviceUIDKey = "uid";
inline constexpr const char* kAudioAggregateDeviceTapListKey = "taps";
inline constexpr const char* kAudioAggregateDeviceIsPrivateKey = "private";
inline constexpr const char* kAudioSubTapUIDKey = "uid";
inline constexpr const char* kAudioSubTapDriftCompensationKey = "drift";

struct AudioSubTapDescription {
    std::string uid;                 // "uid"
    bool driftCompensation = false;  // "drift"
};

struct AggregateDeviceDescription {
    std::string name;                          // "name"
    std::string uid;                           // "uid"
    std::vector<AudioSubTapDescription> taps;  // "taps"
    bool isPrivate = false;                    // "private"
};

std::string NewUUIDString();  // backend; a fresh UUID in its canonical upper-case text form

// ---- Hardware operations ---------------------------------------------------
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                        std::uint32_t qualifierDataSize, const void* qualifierData,
                                        std::uint32_t* outDataSize);  // backend
// *ioDataSize holds the room at outData on entry and the bytes written on return.
OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    std::uint32_t qualifierDataSize, const void* qualifierData,
                                    std::uint32_t* ioDataSize, void* outData);  // backend
OSStatus AudioObjectSetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    std::uint32_t qualifierDataSize, const void* qualifierData,
                                    std::uint32_t dataSize, const void* data);  // backend
OSStatus AudioHardwareCreateProcessTap(const CATapDescription* description, AudioObjectID* outTapID);  // backend
OSStatus AudioHardwareDestroyProcessTap(AudioObjectID tapID);                                          // backend
OSStatus AudioHardwareCreateAggregateDevice(const AggregateDeviceDescription* description,
                                            AudioObjectID* outDeviceID);  // backend
OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID deviceID);     // backend
OSStatus AudioDeviceCreateIOProcID(AudioObjectID device, AudioDeviceIOProc proc, void* clientData,
                                   AudioDeviceIOProcID* outProcID);                // backend
OSStatus AudioDeviceDestroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID);  // backend
// From a successful start, proc runs on a platform thread with its client data;
// once stop has returned it never runs again for that registration.
OSStatus AudioDeviceStart(AudioObjectID device, AudioDeviceIOProcID procID);  // backend
OSStatus AudioDeviceStop(AudioObjectID device, AudioDeviceIOProcID procID);   // backend

// Property listeners. The listener may run on any platform thread, audio
// threads included, so it must return quickly and never call the platform
// back. Once the removal has returned, it never runs again.
OSStatus AudioObjectAddPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                        AudioObjectPropertyListenerProc listener, void* clientData);  // backend
OSStatus AudioObjectRemovePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                           AudioObjectPropertyListenerProc listener, void* clientData);  // backend

// ---- Microphone permission (the AVCaptureDevice role) ---------------------
int AVCaptureDeviceAuthorizationStatusForAudio();  // backend; an AVAuthorizationStatus value
// The handler runs at most once, on any thread, at any time: even before the
// request returns, or never.
void AVCaptureDeviceRequestAccessForAudio(std::function<void(bool granted)> completionHandler);  // backend

// ---- Dispatch semaphores and time -----------------------------------------
struct DispatchSemaphore {
    std::mutex mutex;
    std::condition_variable signalled;
    long count = 0;
};
using dispatch_semaphore_t = std::shared_ptr<DispatchSemaphore>;
using dispatch_time_t = std::chrono::steady_clock::time_point;
inline constexpr dispatch_time_t DISPATCH_TIME_NOW{};

dispatch_semaphore_t dispatch_semaphore_create(long value);
long dispatch_semaphore_signal(const dispatch_semaphore_t& semaphore);
// 0 when signalled, non-zero once the deadline passed first.
long dispatch_semaphore_wait(const dispatch_semaphore_t& semaphore, dispatch_time_t deadline);
// backend: the scripted platform shortens long waits so that timeouts are testable.
dispatch_time_t dispatch_time(dispatch_time_t when, std::int64_t deltaNanoseconds);

// ---- Helpers over the operations above (common to every backend) ---------
constexpr AudioObjectPropertyAddress PropertyAddress(AudioObjectPropertySelector selector,
                                                     AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

// The system object's device list: size query, then a zero-filled array of
// size / 4 IDs, read only when the size query succeeded with a non-zero size.
// status is that of the first call that failed; slots a short read left
// untouched stay 0.
struct DeviceList {
    OSStatus status = 0;
    std::vector<AudioObjectID> devices;
};
DeviceList ReadDeviceList();

// Reads a string property (8-byte reference) of object; *out stays null on failure.
OSStatus ReadStringProperty(AudioObjectID object, AudioObjectPropertySelector selector, CFStringRef* out);
// Reads a device's input stream format (40 bytes) into format.
OSStatus ReadInputStreamFormat(AudioObjectID device, AudioStreamBasicDescription& format);
// The UTF-8 text of a string, "" when it has none.
const char* TextOf(CFStringRef string);

// ---- Autorelease scope ------------------------------------------------------
// Objects handed to the scope live until it is popped. The libpulse backend
// also closes its server connection here.
void* objc_autoreleasePoolPush();     // backend
void objc_autoreleasePoolPop(void* pool);  // backend

}  // namespace quorbel
