// The system source: a private, unmuted, global stereo tap of every process,
// wrapped in a private aggregate device that exists for one capture run.
#include <cstdio>

#include "capture/Capture.h"
#include "cli/Cli.h"
#include "pump/Pump.h"

namespace quorbel {
namespace {

CATapDescription SystemTapDescription() {
    CATapDescription description;
    description.stereoGlobal = true;  // initStereoGlobalTapButExcludeProcesses: with no process excluded
    description.name = kTapName;
    description.isPrivate = true;
    description.muteBehavior = CATapUnmuted;
    return description;
}

AggregateDeviceDescription AggregateDescription(const char* tapUid) {
    AggregateDeviceDescription description;
    description.name = kAggregateDeviceName;
    description.uid = std::string(kReverseDnsPrefix) + ".desktop.audio." + NewUUIDString();
    description.taps = {AudioSubTapDescription{tapUid, true}};
    description.isPrivate = true;
    return description;
}

void Fail(const char* message, OSStatus status) { std::fprintf(stderr, message, OSStatusText(status).c_str()); }

void DestroyTap(AudioObjectID& tap) {
    if (tap != kAudioObjectUnknown) {
        AudioHardwareDestroyProcessTap(tap);
        tap = kAudioObjectUnknown;
    }
}

void DestroyAggregateDevice(AudioObjectID& device) {
    if (device != kAudioObjectUnknown) {
        AudioHardwareDestroyAggregateDevice(device);
        device = kAudioObjectUnknown;
    }
}

bool AcceptableFormat(const AudioStreamBasicDescription& format, bool needsWholeRate) {
    return format.mFormatID == kAudioFormatLinearPCM && (!needsWholeRate || RoundedRate(format.mSampleRate) != 0);
}

// Creates the aggregate device around the tap; the tap UID is released
// whatever the outcome, before the outcome is looked at.
OSStatus CreateAggregateDevice(CFStringRef tapUid, AudioObjectID& aggregateDevice) {
    const AggregateDeviceDescription description = AggregateDescription(TextOf(tapUid));
    const OSStatus status = AudioHardwareCreateAggregateDevice(&description, &aggregateDevice);
    CFRelease(tapUid);
    return status;
}

}  // namespace

bool SetUpSystemSource(CaptureStream& stream, AudioObjectID& tap, AudioObjectID& aggregateDevice,
                       bool needsWholeRate) {
    const CATapDescription tapDescription = SystemTapDescription();
    OSStatus status = AudioHardwareCreateProcessTap(&tapDescription, &tap);
    if (status != 0) {
        Fail("Impossibile creare il tap audio di sistema: %s\n", status);
        tap = kAudioObjectUnknown;
        return false;
    }
    CFStringRef tapUid = nullptr;
    status = ReadStringProperty(tap, kAudioTapPropertyUID, &tapUid);
    if (status != 0 || tapUid == nullptr) {
        Fail("Impossibile leggere l'identificativo del tap audio: %s\n", status);
        DestroyTap(tap);
        return false;
    }
    status = CreateAggregateDevice(tapUid, aggregateDevice);
    if (status != 0) {
        Fail("Impossibile creare il dispositivo audio temporaneo: %s\n", status);
        aggregateDevice = kAudioObjectUnknown;
        DestroyTap(tap);
        return false;
    }
    status = ReadInputStreamFormat(aggregateDevice, stream.format);
    if (status != 0 || !AcceptableFormat(stream.format, needsWholeRate)) {
        Fail("Formato del tap audio non supportato: %s\n", status);
        DestroyAggregateDevice(aggregateDevice);
        DestroyTap(tap);
        return false;
    }
    stream.device = aggregateDevice;
    return true;
}

}  // namespace quorbel
