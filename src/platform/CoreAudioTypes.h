// The audio HAL's value types and constants, under the names the HAL gives
// them, with the HAL's field widths. Code outside src/platform/ only ever sees
// these; which sound server stands behind them is decided at link time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorbel {

using OSStatus = std::int32_t;
using AudioObjectID = std::uint32_t;
using AudioObjectPropertySelector = std::uint32_t;
using AudioObjectPropertyScope = std::uint32_t;
using AudioObjectPropertyElement = std::uint32_t;
using AudioFormatID = std::uint32_t;
using AudioFormatFlags = std::uint32_t;

// 'abcd' as the HAL spells its four-character codes, first letter in the top byte.
constexpr std::uint32_t FourCharCode(const char (&code)[5]) {
    return (std::uint32_t(std::uint8_t(code[0])) << 24) | (std::uint32_t(std::uint8_t(code[1])) << 16) |
           (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
};

struct AudioStreamBasicDescription {
    double mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    std::uint32_t mBytesPerPacket;
    std::uint32_t mFramesPerPacket;
    std::uint32_t mBytesPerFrame;
    std::uint32_t mChannelsPerFrame;
    std::uint32_t mBitsPerChannel;
    std::uint32_t mReserved;
};

struct AudioBuffer {
    std::uint32_t mNumberChannels;
    std::uint32_t mDataByteSize;
    void* mData;
};

// Variable length: mNumberBuffers entries follow, of which one is declared.
struct AudioBufferList {
    std::uint32_t mNumberBuffers;
    AudioBuffer mBuffers[1];
};

// The tool reads only the host time of the call's `now`, when its flag says
// it is valid. Host time here is the monotonic clock (std::chrono::steady_clock)
// in nanoseconds.
struct AudioTimeStamp {
    double mSampleTime;
    std::uint64_t mHostTime;
    double mRateScalar;
    std::uint64_t mWordClockTime;
    std::uint8_t mSMPTETime[24];
    std::uint32_t mFlags;
    std::uint32_t mReserved;
};

inline constexpr std::uint32_t kAudioTimeStampSampleTimeValid = 1u << 0;
inline constexpr std::uint32_t kAudioTimeStampHostTimeValid = 1u << 1;

using AudioDeviceIOProc = OSStatus (*)(AudioObjectID device, const AudioTimeStamp* now,
                                       const AudioBufferList* inputData, const AudioTimeStamp* inputTime,
                                       AudioBufferList* outputData, const AudioTimeStamp* outputTime,
                                       void* clientData);

// Told which properties of an object changed; see AudioObjectAddPropertyListener.
using AudioObjectPropertyListenerProc = OSStatus (*)(AudioObjectID object, std::uint32_t numberAddresses,
                                                     const AudioObjectPropertyAddress* addresses, void* clientData);

struct OpaqueAudioDeviceIOProcID;
using AudioDeviceIOProcID = OpaqueAudioDeviceIOProcID*;

static_assert(sizeof(OSStatus) == 4);
static_assert(sizeof(AudioObjectID) == 4);
static_assert(sizeof(AudioObjectPropertyAddress) == 12);
static_assert(sizeof(AudioStreamBasicDescription) == 40);
static_assert(offsetof(AudioStreamBasicDescription, mFormatID) == 8);
static_assert(offsetof(AudioStreamBasicDescription, mReserved) == 36);
static_assert(sizeof(AudioBuffer) == 16);
static_assert(sizeof(AudioBufferList) == 24);
static_assert(offsetof(AudioBufferList, mBuffers) == 8);
static_assert(sizeof(AudioTimeStamp) == 64);
static_assert(sizeof(AudioDeviceIOProcID) == 8);

// Objects and property addresses.
inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = FourCharCode("glob");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = FourCharCode("inpt");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = FourCharCode("outp");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = FourCharCode("dev#");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice = FourCharCode("dIn ");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamConfiguration = FourCharCode("slay");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = FourCharCode("uid ");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyName = FourCharCode("lnam");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamFormat = FourCharCode("sfmt");
inline constexpr AudioObjectPropertySelector kAudioTapPropertyUID = FourCharCode("tuid");
// A UInt32: 1 while the device has something to record, 0 while it has lost it.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsAlive = FourCharCode("livn");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertySelectorWildcard = FourCharCode("****");
// This tool's own, set on a device whose IO proc runs: an SInt32 count of
// the device's frames that its consumer holds beyond what it needs (audio
// that came after the consumer had put silence in its place) and wants gone;
// negative when it keeps less than it needs to ride out a late fragment and
// wants that many more; 0 when it keeps what it holds. A backend that steers
// the device's rate delivers that many fewer (or more) frames over the next
// seconds; one that cannot answers 'who?', and the consumer lives with it.
inline constexpr AudioObjectPropertySelector kQuorbelDevicePropertyConsumerBacklog = FourCharCode("qbkl");

// Stream formats.
inline constexpr AudioFormatID kAudioFormatLinearPCM = FourCharCode("lpcm");
inline constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 0x1;
inline constexpr AudioFormatFlags kAudioFormatFlagIsBigEndian = 0x2;
inline constexpr AudioFormatFlags kAudioFormatFlagIsSignedInteger = 0x4;
inline constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 0x8;
inline constexpr AudioFormatFlags kAudioFormatFlagIsNonInterleaved = 0x20;

// Status codes.
inline constexpr OSStatus kAudioHardwareNoError = 0;
inline constexpr OSStatus kAudioHardwareNotRunningError = OSStatus(FourCharCode("stop"));
inline constexpr OSStatus kAudioHardwareUnspecifiedError = OSStatus(FourCharCode("what"));
inline constexpr OSStatus kAudioHardwareUnknownPropertyError = OSStatus(FourCharCode("who?"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError = OSStatus(FourCharCode("!siz"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError = OSStatus(FourCharCode("nope"));
inline constexpr OSStatus kAudioHardwareBadObjectError = OSStatus(FourCharCode("!obj"));
inline constexpr OSStatus kAudioHardwareBadDeviceError = OSStatus(FourCharCode("!dev"));
inline constexpr OSStatus kAudioHardwareBadStreamError = OSStatus(FourCharCode("!str"));
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError = OSStatus(FourCharCode("unop"));
inline constexpr OSStatus kAudioDevicePermissionsError = OSStatus(FourCharCode("!hog"));
static_assert(kAudioHardwareBadDeviceError == 560227702);

// Microphone authorization (AVAuthorizationStatus).
inline constexpr int AVAuthorizationStatusNotDetermined = 0;
inline constexpr int AVAuthorizationStatusRestricted = 1;
inline constexpr int AVAuthorizationStatusDenied = 2;
inline constexpr int AVAuthorizationStatusAuthorized = 3;

}  // namespace quorbel
