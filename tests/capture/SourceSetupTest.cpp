// Setting up the two sources: what each failure prints, and exactly what it
// destroys and releases, in order.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "capture/Capture.h"
#include "cli/Cli.h"
#include "platform/ScriptedPlatform.h"

namespace quorbel {
namespace {

using scripted::World;

const std::vector<std::string> kLifecycle = {"Create", "Destroy", "Start", "Stop", "CFRelease"};

class SystemSource : public ::testing::Test {
protected:
    std::unique_ptr<CaptureStream> stream = std::make_unique<CaptureStream>();
    AudioObjectID tap = 0;
    AudioObjectID aggregate = 0;
    std::string err;

    bool Prepare(World world, bool needsWholeRate = true) {
        scripted::ResetWorld(std::move(world));
        ResetCaptureStream(*stream);
        ::testing::internal::CaptureStderr();
        const bool ok = SetUpSystemSource(*stream, tap, aggregate, needsWholeRate);
        err = ::testing::internal::GetCapturedStderr();
        return ok;
    }

    void ExpectFailure(const std::string& message, const std::vector<std::string>& lifecycle) {
        EXPECT_EQ(err, message);
        EXPECT_EQ(scripted::CallsStartingWith(kLifecycle), lifecycle);
        EXPECT_EQ(tap, 0u);
        EXPECT_EQ(aggregate, 0u);
        const scripted::Leaks leaks = scripted::Outstanding();
        EXPECT_EQ(leaks.strings + leaks.taps + leaks.aggregateDevices + leaks.doubleReleases, 0);
    }
};

TEST_F(SystemSource, DescribesAPrivateUnmutedGlobalTapAndItsAggregateDevice) {
    ASSERT_TRUE(Prepare(scripted::StandardWorld(44100)));
    EXPECT_EQ(err, "");
    ASSERT_EQ(scripted::TapDescriptions().size(), 1u);
    const CATapDescription tapDescription = scripted::TapDescriptions()[0];
    EXPECT_TRUE(tapDescription.stereoGlobal);
    EXPECT_TRUE(tapDescription.excludedProcesses.empty());
    EXPECT_EQ(tapDescription.name, "Calvetra - Audio di sistema");
    EXPECT_TRUE(tapDescription.isPrivate);
    EXPECT_EQ(tapDescription.muteBehavior, CATapUnmuted);

    ASSERT_EQ(scripted::AggregateDescriptions().size(), 1u);
    const AggregateDeviceDescription description = scripted::AggregateDescriptions()[0];
    EXPECT_EQ(description.name, "Calvetra Audio Capture");
    EXPECT_EQ(description.uid, "com.calvetra.quorbel.desktop.audio.5EED0000-0000-4000-8000-000000000001");
    ASSERT_EQ(description.taps.size(), 1u);
    EXPECT_EQ(description.taps[0].uid, "tap-uid-0x200");
    EXPECT_TRUE(description.taps[0].driftCompensation);
    EXPECT_TRUE(description.isPrivate);

    EXPECT_EQ(tap, 0x200u);
    EXPECT_EQ(aggregate, 0x300u);
    EXPECT_EQ(stream->format.mSampleRate, 44100.0);
    // The tap UID is given back right after the aggregate device exists.
    EXPECT_EQ(scripted::CallsStartingWith(kLifecycle),
              (std::vector<std::string>{"CreateProcessTap 0x200", "CreateAggregateDevice 0x300",
                                        "CFRelease tuid@0x200"}));
    EXPECT_EQ(scripted::Outstanding().strings, 0);
}

TEST_F(SystemSource, EveryRunGetsAFreshAggregateUid) {
    World world = scripted::StandardWorld();
    scripted::ResetWorld(world);
    ResetCaptureStream(*stream);
    AudioObjectID tap2 = 0, aggregate2 = 0;
    ASSERT_TRUE(SetUpSystemSource(*stream, tap, aggregate, true));
    ASSERT_TRUE(SetUpSystemSource(*stream, tap2, aggregate2, true));
    const auto descriptions = scripted::AggregateDescriptions();
    ASSERT_EQ(descriptions.size(), 2u);
    EXPECT_EQ(descriptions[0].name, descriptions[1].name);
    EXPECT_NE(descriptions[0].uid, descriptions[1].uid);
    EXPECT_NE(aggregate, aggregate2);
}

TEST_F(SystemSource, TapNotCreated) {
    World world = scripted::StandardWorld();
    world.failures["CreateProcessTap"] = kAudioHardwareIllegalOperationError;
    EXPECT_FALSE(Prepare(world));
    ExpectFailure("Impossibile creare il tap audio di sistema: 'nope' (1852797029)\n",
                  {"CreateProcessTap failed"});
}

TEST_F(SystemSource, TapUidNotReadDestroysTheTap) {
    World world = scripted::StandardWorld();
    world.failures["get tuid"] = kAudioHardwareUnknownPropertyError;
    EXPECT_FALSE(Prepare(world));
    ExpectFailure("Impossibile leggere l'identificativo del tap audio: 'who?' (2003332927)\n",
                  {"CreateProcessTap 0x200", "DestroyProcessTap 0x200"});
}

TEST_F(SystemSource, ANullTapUidShowsStatusZero) {
    World world = scripted::StandardWorld();
    world.nullResults.insert("get tuid");
    EXPECT_FALSE(Prepare(world));
    ExpectFailure("Impossibile leggere l'identificativo del tap audio: 0\n",
                  {"CreateProcessTap 0x200", "DestroyProcessTap 0x200"});
    EXPECT_TRUE(scripted::AggregateDescriptions().empty());
}

TEST_F(SystemSource, AggregateDeviceNotCreatedReleasesTheTapUidFirst) {
    World world = scripted::StandardWorld();
    world.failures["CreateAggregateDevice"] = kAudioHardwareUnspecifiedError;
    EXPECT_FALSE(Prepare(world));
    ExpectFailure("Impossibile creare il dispositivo audio temporaneo: 'what' (2003329396)\n",
                  {"CreateProcessTap 0x200", "CreateAggregateDevice failed", "CFRelease tuid@0x200",
                   "DestroyProcessTap 0x200"});
}

TEST_F(SystemSource, UnreadableOrNonLinearFormatDestroysDeviceThenTap) {
    const std::vector<std::string> teardown = {"CreateProcessTap 0x200", "CreateAggregateDevice 0x300",
                                               "CFRelease tuid@0x200", "DestroyAggregateDevice 0x300",
                                               "DestroyProcessTap 0x200"};
    World world = scripted::StandardWorld();
    world.failures["get sfmt@0x300"] = kAudioHardwareBadPropertySizeError;
    EXPECT_FALSE(Prepare(world));
    ExpectFailure("Formato del tap audio non supportato: '!siz' (561211770)\n", teardown);

    world = scripted::StandardWorld();
    world.aggregateFormat.mFormatID = FourCharCode("aac ");
    EXPECT_FALSE(Prepare(world));
    ExpectFailure("Formato del tap audio non supportato: 0\n", teardown);
}

TEST_F(SystemSource, APassThroughRunRejectsRatesItCannotPace) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double rate : {nan, inf, -inf, 0.0, 0.49, -48000.0, 4294967295.5, 1e300}) {
        World world = scripted::StandardWorld(rate);
        EXPECT_FALSE(Prepare(world)) << rate;
        EXPECT_EQ(err, "Formato del tap audio non supportato: 0\n");
        EXPECT_EQ(scripted::Outstanding().aggregateDevices + scripted::Outstanding().taps, 0);
    }
    for (double rate : {0.5, 1.0, 49.0, 4294967295.4}) {
        EXPECT_TRUE(Prepare(scripted::StandardWorld(rate))) << rate;
    }
    // A mixed run only derives a step from the rate, and takes any linear format.
    EXPECT_TRUE(Prepare(scripted::StandardWorld(nan), false));
}

class MicrophoneSource : public ::testing::Test {
protected:
    std::unique_ptr<CaptureStream> stream = std::make_unique<CaptureStream>();
    AudioObjectID device = 0;
    AudioDeviceIOProcID proc = nullptr;
    std::string err;

    bool Prepare(World world, const std::string& uid) {
        scripted::ResetWorld(std::move(world));
        ResetCaptureStream(*stream);
        device = 0;
        proc = nullptr;
        ::testing::internal::CaptureStderr();
        const bool ok = SetUpMicrophoneSource(uid, *stream, device, proc);
        err = ::testing::internal::GetCapturedStderr();
        const scripted::Leaks leaks = scripted::Outstanding();
        EXPECT_EQ(leaks.strings + leaks.doubleReleases, 0);
        EXPECT_EQ(leaks.ioProcs, ok ? 1 : 0);
        return ok;
    }

    void ExpectUnavailable(World world, const std::string& uid, const std::string& status) {
        EXPECT_FALSE(Prepare(std::move(world), uid));
        EXPECT_EQ(err, "Microfono selezionato non disponibile: " + status + "\n");
        EXPECT_EQ(proc, nullptr);
    }
};

scripted::Device NamedDevice(AudioObjectID id, const std::string& uid) {
    scripted::Device device;
    device.id = id;
    device.uid = uid;
    device.name = uid;
    device.format = scripted::Int16Format(44100, 1);
    return device;
}

const std::string kBadDevice = "'!dev' (560227702)";

TEST_F(MicrophoneSource, TheDefaultInputIsRegisteredAndStarted) {
    ASSERT_TRUE(Prepare(scripted::StandardWorld(), ""));
    EXPECT_EQ(device, 0x100u);
    EXPECT_NE(proc, nullptr);
    EXPECT_EQ(stream->format.mSampleRate, 48000.0);
    EXPECT_EQ(scripted::CallsStartingWith(kLifecycle),
              (std::vector<std::string>{"CreateIOProcID 0x100 #1", "Start 0x100 #1"}));
    // An empty UID never looks at the device list.
    EXPECT_TRUE(scripted::CallsStartingWith({"size dev#", "get dev#", "get uid "}).empty());
}

TEST_F(MicrophoneSource, AUidSelectsTheFirstExactMatch) {
    World world = scripted::StandardWorld();
    world.devices.push_back(NamedDevice(0x101, "USB-Mic"));
    world.devices.push_back(NamedDevice(0x102, "USB-Mic"));
    ASSERT_TRUE(Prepare(world, "USB-Mic"));
    EXPECT_EQ(device, 0x101u);
    EXPECT_EQ(stream->format.mSampleRate, 44100.0);
    EXPECT_TRUE(scripted::CallsStartingWith({"get dIn "}).empty());
    EXPECT_EQ(scripted::CallsStartingWith({"CFRelease"}),
              (std::vector<std::string>{"CFRelease uid@0x100", "CFRelease uid@0x101"}));
}

TEST_F(MicrophoneSource, UnreadableUidsAreSkipped) {
    World world = scripted::StandardWorld();
    world.devices.push_back(NamedDevice(0x101, "wanted"));
    world.devices.push_back(NamedDevice(0x102, "wanted"));
    world.failures["get uid @0x100"] = kAudioHardwareUnspecifiedError;
    world.nullResults.insert("get uid @0x101");
    ASSERT_TRUE(Prepare(world, "wanted"));
    EXPECT_EQ(device, 0x102u);
}

TEST_F(MicrophoneSource, FindingNoDeviceByUidIsABadDevice) {
    World world = scripted::StandardWorld();
    ExpectUnavailable(world, "MIC-1", kBadDevice);  // case matters
    ExpectUnavailable(world, "mic", kBadDevice);    // no prefix matching
    ExpectUnavailable(World{}, "mic-1", kBadDevice);

    world.failures["size dev#"] = kAudioHardwareNotRunningError;
    ExpectUnavailable(world, "mic-1", kBadDevice);

    world.failures = {{"get dev#", kAudioHardwareNotRunningError}};
    ExpectUnavailable(world, "mic-1", kBadDevice);

    // Entries a short read left at 0 are visited and never match.
    world = scripted::StandardWorld();
    world.deviceList = std::vector<AudioObjectID>{0x100, 0x100};
    world.deviceListReadCount = 0;
    ExpectUnavailable(world, "mic-1", kBadDevice);
    EXPECT_EQ(scripted::CallsStartingWith({"get uid "}),
              (std::vector<std::string>{"get uid  @0x0", "get uid  @0x0"}));
}

TEST_F(MicrophoneSource, TheDefaultInputMustExistAndBeReadable) {
    World world = scripted::StandardWorld();
    world.failures["get dIn "] = kAudioHardwareNotRunningError;
    ExpectUnavailable(world, "", "'stop' (1937010544)");

    world = scripted::StandardWorld();
    world.defaultInput = 0;
    ExpectUnavailable(world, "", "0");
    EXPECT_TRUE(scripted::CallsStartingWith({"get sfmt", "Create"}).empty());
}

TEST_F(MicrophoneSource, TheFormatMustBeReadableLinearPcm) {
    World world = scripted::StandardWorld();
    world.failures["get sfmt@0x100"] = kAudioHardwareUnknownPropertyError;
    ExpectUnavailable(world, "", "'who?' (2003332927)");

    world = scripted::StandardWorld();
    world.devices[0].format.mFormatID = FourCharCode("alac");
    ExpectUnavailable(world, "mic-1", "0");
    EXPECT_TRUE(scripted::CallsStartingWith({"Create"}).empty());
}

TEST_F(MicrophoneSource, RegistrationFailures) {
    World world = scripted::StandardWorld();
    world.failures["CreateIOProcID@0x100"] = kAudioHardwareBadObjectError;
    ExpectUnavailable(world, "", "'!obj' (560947818)");

    world = scripted::StandardWorld();
    world.nullResults.insert("CreateIOProcID@0x100");
    ExpectUnavailable(world, "", "0");
    EXPECT_TRUE(scripted::CallsStartingWith({"Start"}).empty());
}

TEST_F(MicrophoneSource, AStartFailureDestroysTheRegistrationWithoutAStop) {
    World world = scripted::StandardWorld();
    world.failures["Start@0x100"] = kAudioDevicePermissionsError;
    ExpectUnavailable(world, "", "'!hog' (560492391)");
    EXPECT_EQ(scripted::CallsStartingWith(kLifecycle),
              (std::vector<std::string>{"CreateIOProcID 0x100 #1", "Start 0x100 #1", "DestroyIOProcID 0x100 #1"}));
}

}  // namespace
}  // namespace quorbel
