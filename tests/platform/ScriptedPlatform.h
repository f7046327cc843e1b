// A scripted audio platform for the tests. Each test describes its world
// (devices, formats, permission, failures), runs the code under test, and then
// reads the log of every platform call that was made, in order.
//
// Failures are keyed by operation name, optionally narrowed to one object
// with "@<id>":  "size dev#", "get dev#", "get dIn ", "size slay", "get slay",
// "get uid ", "get lnam", "get sfmt", "get tuid", "CreateProcessTap",
// "CreateAggregateDevice", "CreateIOProcID", "Start", "set qbkl".
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/AudioPlatform.h"

namespace quorbel::scripted {

struct Device {
    AudioObjectID id = 0;
    std::optional<std::string> uid;   // nullopt: the read fails with 'who?'
    std::optional<std::string> name;
    bool nameHasText = true;          // false: a string without UTF-8 text
    std::uint32_t inputBuffers = 1;   // 0: output streams only
    std::uint32_t inputChannels = 2;
    std::optional<std::uint32_t> configurationSize;  // overrides the reported 'slay' size
    AudioStreamBasicDescription format{};
};

// Handed to a feeder, which runs on the platform's IO thread of one started
// registration until stopping() turns true.
struct Feed {
    AudioObjectID device = 0;
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    const std::atomic<bool>* stopRequested = nullptr;

    void deliver(const AudioBufferList& list) const;
    bool stopping() const { return stopRequested->load(); }
};
using Feeder = std::function<void(const Feed&)>;

enum class AccessAnswer { Granted, Refused, Never, GrantedBeforeReturn, RefusedBeforeReturn, GrantedLate };

struct World {
    std::vector<Device> devices;
    std::optional<std::vector<AudioObjectID>> deviceList;  // default: the devices' IDs in order
    std::optional<std::size_t> deviceListReadCount;        // a read that fills only this many entries
    AudioObjectID defaultInput = 0;
    AudioStreamBasicDescription aggregateFormat{};
    int authorizationStatus = AVAuthorizationStatusAuthorized;
    AccessAnswer accessAnswer = AccessAnswer::Granted;
    std::chrono::milliseconds answerDelay{10};
    std::optional<std::chrono::milliseconds> waitCap;      // shortens every dispatch_time delta
    std::map<std::string, OSStatus> failures;
    std::set<std::string> nullResults;                     // succeed, but give a null string or ID
    Feeder systemFeeder;                                   // runs on a started aggregate device
    Feeder microphoneFeeder;                               // runs on a started input device
    bool feedInsideStart = false;                          // feeders run to their end before Start returns
    std::function<void(const std::string& call)> onCall;   // runs inside every logged call
};

World& TheWorld();
// Forgets everything: world, log, objects. Joins any thread the platform started.
void ResetWorld(World world = {});

std::vector<std::string> Calls();
// The calls whose text starts with one of the prefixes, in order.
std::vector<std::string> CallsStartingWith(const std::vector<std::string>& prefixes);

// What is still alive, and what went wrong with releases.
struct Leaks {
    int strings = 0;
    int taps = 0;
    int aggregateDevices = 0;
    int ioProcs = 0;
    int startedIoProcs = 0;
    int doubleReleases = 0;
    int listeners = 0;
};
Leaks Outstanding();

std::vector<CATapDescription> TapDescriptions();
std::vector<AggregateDeviceDescription> AggregateDescriptions();

// Calls the started IO callback of device from the calling thread; false when none is started.
bool DeliverTo(AudioObjectID device, const AudioBufferList& list);
// Sets what the devices' 'livn' reads, all at once as a lost server would,
// then calls their listeners from the calling thread, as a platform thread would.
void SetDevicesAlive(const std::vector<AudioObjectID>& devices, bool alive);

// Formats for tests.
AudioStreamBasicDescription FloatFormat(double rate, std::uint32_t channels);
AudioStreamBasicDescription Int16Format(double rate, std::uint32_t channels);
// A world with one stereo 48 kHz float microphone (ID 0x100, UID "mic-1") as
// the default input, and a stereo float aggregate device at aggregateRate.
World StandardWorld(double aggregateRate = 48000.0);

}  // namespace quorbel::scripted
