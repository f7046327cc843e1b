#include <gtest/gtest.h>

#include "cli/Cli.h"
#include "platform/ScriptedPlatform.h"

namespace quorbel {
namespace {

using scripted::Device;
using scripted::World;

Device Input(AudioObjectID id, const std::string& uid, const std::string& name) {
    Device device;
    device.id = id;
    device.uid = uid;
    device.name = name;
    device.format = scripted::FloatFormat(48000, 2);
    return device;
}

std::string Line(const std::string& uid, const std::string& name) {
    return "INPUT\t" + Base64(uid.c_str()) + "\t" + Base64(name.c_str()) + "\n";
}

class InputListing : public ::testing::Test {
protected:
    // Runs list-inputs on world; returns what it printed and checks that it
    // said nothing on stderr, returned 0 and released every string once.
    std::string List(World world) {
        scripted::ResetWorld(std::move(world));
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int status = ListInputs();
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(status, 0);
        const scripted::Leaks leaks = scripted::Outstanding();
        EXPECT_EQ(leaks.strings, 0);
        EXPECT_EQ(leaks.doubleReleases, 0);
        return out;
    }
};

TEST_F(InputListing, ListsInputDevicesInPlatformOrder) {
    World world;
    world.devices = {Input(0x12, "Y", "Ypsilon"), Input(0x11, "X", "Ics"), Input(0x13, "Z", "Zeta")};
    EXPECT_EQ(List(world), Line("Y", "Ypsilon") + Line("X", "Ics") + Line("Z", "Zeta"));
    EXPECT_EQ(scripted::CallsStartingWith({"CFRelease"}),
              (std::vector<std::string>{"CFRelease lnam@0x12", "CFRelease uid@0x12", "CFRelease lnam@0x11",
                                        "CFRelease uid@0x11", "CFRelease lnam@0x13", "CFRelease uid@0x13"}));
}

TEST_F(InputListing, NothingWhenTheDeviceListIsEmptyOrUnreadable) {
    EXPECT_EQ(List(World{}), "");

    World world;
    world.devices = {Input(0x11, "X", "Ics")};
    world.failures["size dev#"] = kAudioHardwareNotRunningError;
    EXPECT_EQ(List(world), "");

    world.failures = {{"get dev#", kAudioHardwareUnspecifiedError}};
    EXPECT_EQ(List(world), "");
}

TEST_F(InputListing, SkipsDevicesWithoutInputStreams) {
    World world;
    Device outputOnly = Input(0x11, "out", "Cuffie");
    outputOnly.inputBuffers = 0;
    Device tooSmall = Input(0x12, "small", "Piccolo");
    tooSmall.configurationSize = 16;
    Device noChannels = Input(0x13, "silent", "Muto");
    noChannels.inputChannels = 0;
    world.devices = {outputOnly, tooSmall, noChannels};
    EXPECT_EQ(List(world), Line("silent", "Muto"));
}

TEST_F(InputListing, SkipsDevicesWhoseQueriesFail) {
    World world;
    world.devices = {Input(0x11, "a", "A"), Input(0x12, "b", "B"), Input(0x13, "c", "C"), Input(0x14, "d", "D"),
                     Input(0x15, "e", "E"), Input(0x16, "f", "F")};
    world.failures["size slay@0x11"] = kAudioHardwareUnknownPropertyError;
    world.failures["get slay@0x12"] = kAudioHardwareUnspecifiedError;
    world.failures["get uid @0x13"] = kAudioHardwareUnspecifiedError;
    world.nullResults.insert("get uid @0x14");
    world.failures["get lnam@0x15"] = kAudioHardwareUnspecifiedError;
    EXPECT_EQ(List(world), Line("f", "F"));
    // The UID read before the failing name read is given back.
    EXPECT_EQ(scripted::CallsStartingWith({"CFRelease"}),
              (std::vector<std::string>{"CFRelease uid@0x15", "CFRelease lnam@0x16", "CFRelease uid@0x16"}));
}

TEST_F(InputListing, ANullNameSkipsTheDeviceAndReleasesItsUid) {
    World world;
    world.devices = {Input(0x11, "a", "A")};
    world.nullResults.insert("get lnam@0x11");
    EXPECT_EQ(List(world), "");
    EXPECT_EQ(scripted::CallsStartingWith({"CFRelease"}), (std::vector<std::string>{"CFRelease uid@0x11"}));
}

TEST_F(InputListing, ANameWithoutTextGivesAnEmptyLastField) {
    World world;
    Device noText = Input(0x11, "a", "A");
    noText.nameHasText = false;
    world.devices = {noText, Input(0x12, "b", "")};
    EXPECT_EQ(List(world), "INPUT\tYQ==\t\nINPUT\tYg==\t\n");
}

TEST_F(InputListing, ZeroSlotsAreSkippedAndTheRestListed) {
    World world;
    world.devices = {Input(0x11, "a", "A"), Input(0x12, "b", "B")};
    world.deviceList = std::vector<AudioObjectID>{0x11, 0, 0x12};
    EXPECT_EQ(List(world), Line("a", "A") + Line("b", "B"));

    // A read that fills fewer entries than the size query promised.
    world.deviceList = std::vector<AudioObjectID>{0x11, 0x12, 0x11};
    world.deviceListReadCount = 1;
    EXPECT_EQ(List(world), Line("a", "A"));
}

TEST_F(InputListing, TheSameDeviceIsListedAsOftenAsThePlatformListsIt) {
    World world;
    world.devices = {Input(0x11, "a", "A")};
    world.deviceList = std::vector<AudioObjectID>{0x11, 0x11};
    EXPECT_EQ(List(world), Line("a", "A") + Line("a", "A"));
}

}  // namespace
}  // namespace quorbel
