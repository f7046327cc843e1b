// The libpulse backend called directly, in this process, against the private
// sound server: objects and properties, taps and aggregate devices, IO procs,
// status codes, and the connection's life.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <regex>
#include <set>
#include <thread>

#include "PulseTestSupport.h"
#include "platform/AudioPlatform.h"

namespace quorbel {
namespace {

using namespace std::chrono_literals;
using test::ScopedEnv;

AudioObjectPropertyAddress Address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

std::vector<AudioObjectID> Devices() {
    auto address = Address(kAudioHardwarePropertyDevices);
    std::uint32_t size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size), 0);
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    EXPECT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, ids.data()), 0);
    ids.resize(size / sizeof(AudioObjectID));
    return ids;
}

OSStatus ReadString(AudioObjectID object, AudioObjectPropertySelector selector, std::string& out) {
    auto address = Address(selector);
    CFStringRef string = nullptr;
    std::uint32_t size = sizeof string;
    OSStatus status = AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &string);
    if (status == 0) {
        EXPECT_EQ(size, sizeof string);
        EXPECT_NE(UTF8String(string), nullptr);
        out = UTF8String(string);
        CFRelease(string);
    }
    return status;
}

std::string StringOf(AudioObjectID object, AudioObjectPropertySelector selector) {
    std::string text;
    EXPECT_EQ(ReadString(object, selector, text), 0);
    return text;
}

AudioObjectID DeviceWithUid(const std::string& uid) {
    for (AudioObjectID id : Devices()) {
        if (StringOf(id, kAudioDevicePropertyDeviceUID) == uid) {
            return id;
        }
    }
    return kAudioObjectUnknown;
}

std::uint32_t InputConfigurationSize(AudioObjectID device) {
    auto address = Address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput);
    std::uint32_t size = 0;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size), 0);
    return size;
}

OSStatus InputFormat(AudioObjectID device, AudioStreamBasicDescription& format) {
    auto address = Address(kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeInput);
    std::uint32_t size = sizeof format;
    OSStatus status = AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &format);
    if (status == 0) {
        EXPECT_EQ(size, sizeof format);
    }
    return status;
}

// Closes the backend's connection so that the next call connects anew (for
// example to a server named by a changed PULSE_SERVER).
void ResetConnection() { objc_autoreleasePoolPop(objc_autoreleasePoolPush()); }

// What an IO proc saw.
struct Delivery {
    std::atomic<long> calls{0};
    std::atomic<long> frames{0};
    std::atomic<long> maxFramesPerCall{0};
    std::atomic<long> malformed{0};
    std::atomic<long> soundFrames{0};
    std::atomic<long> untimed{0};  // calls whose host time was missing or not when they came
    std::uint32_t bytesPerFrame = 4;
    AudioObjectID device = kAudioObjectUnknown;
};

// A host time of this call is the steady clock's, taken as the audio came:
// well within a generous 100 ms of the call.
bool TimedNow(const AudioTimeStamp* now) {
    if (now == nullptr || (now->mFlags & kAudioTimeStampHostTimeValid) == 0) {
        return false;
    }
    const auto nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    return now->mHostTime <= std::uint64_t(nowNs) && std::uint64_t(nowNs) - now->mHostTime < 100'000'000u;
}

OSStatus CountingProc(AudioObjectID device, const AudioTimeStamp* now, const AudioBufferList* input,
                      const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void* clientData) {
    auto* delivery = static_cast<Delivery*>(clientData);
    ++delivery->calls;
    if (!TimedNow(now)) {
        ++delivery->untimed;
    }
    if (device != delivery->device || input == nullptr || input->mNumberBuffers != 1 ||
        input->mBuffers[0].mNumberChannels != 2 || input->mBuffers[0].mData == nullptr ||
        input->mBuffers[0].mDataByteSize % delivery->bytesPerFrame != 0) {
        ++delivery->malformed;
        return 0;
    }
    long frames = long(input->mBuffers[0].mDataByteSize / delivery->bytesPerFrame);
    delivery->frames += frames;
    long seen = delivery->maxFramesPerCall;
    while (frames > seen && !delivery->maxFramesPerCall.compare_exchange_weak(seen, frames)) {
    }
    const auto* bytes = static_cast<const std::uint8_t*>(input->mBuffers[0].mData);
    for (long f = 0; f < frames; ++f) {
        for (std::uint32_t b = 0; b < delivery->bytesPerFrame; ++b) {
            if (bytes[std::size_t(f) * delivery->bytesPerFrame + b] != 0) {
                ++delivery->soundFrames;
                break;
            }
        }
    }
    return 0;
}

struct TapDevice {
    AudioObjectID tap = 0;
    AudioObjectID aggregate = 0;
};

TapDevice MakeTapDevice() {
    TapDevice made;
    CATapDescription description;
    description.stereoGlobal = true;
    description.name = "Tap under test";
    description.isPrivate = true;
    description.muteBehavior = CATapUnmuted;
    EXPECT_EQ(AudioHardwareCreateProcessTap(&description, &made.tap), 0);
    AggregateDeviceDescription aggregate;
    aggregate.name = "Aggregate under test";
    aggregate.uid = "com.quorbel.test." + NewUUIDString();
    aggregate.taps = {{StringOf(made.tap, kAudioTapPropertyUID), true}};
    aggregate.isPrivate = true;
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(&aggregate, &made.aggregate), 0);
    return made;
}

void DestroyTapDevice(const TapDevice& made) {
    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(made.aggregate), 0);
    EXPECT_EQ(AudioHardwareDestroyProcessTap(made.tap), 0);
}

struct BackendTest : ::testing::Test {
    void SetUp() override { ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run me under private-server.sh"; }
};

TEST_F(BackendTest, DevicesAreSourcesThenSinksWithStableIds) {
    auto ids = Devices();
    std::set<AudioObjectID> unique(ids.begin(), ids.end());
    EXPECT_EQ(unique.size(), ids.size());
    bool sinksBegun = false;
    std::set<std::string> sources, sinks;
    for (AudioObjectID id : ids) {
        EXPECT_GE(id, 0x100u);
        std::uint32_t size = InputConfigurationSize(id);
        std::string uid = StringOf(id, kAudioDevicePropertyDeviceUID);
        if (size == sizeof(AudioBufferList)) {
            EXPECT_FALSE(sinksBegun) << "source " << uid << " after a sink";
            sources.insert(uid);
        } else {
            EXPECT_EQ(size, offsetof(AudioBufferList, mBuffers)) << uid;
            sinksBegun = true;
            sinks.insert(uid);
        }
    }
    EXPECT_TRUE(sources.count("quorbel_out.monitor"));
    EXPECT_TRUE(sources.count("quorbel_mic_sink.monitor"));
    EXPECT_TRUE(sources.count("quorbel_mic"));
    EXPECT_TRUE(sinks.count("quorbel_out"));
    EXPECT_TRUE(sinks.count("quorbel_mic_sink"));
    EXPECT_EQ(Devices(), ids);
}

TEST_F(BackendTest, SourceAndSinkProperties) {
    AudioObjectID mic = DeviceWithUid("quorbel_mic");
    AudioObjectID sink = DeviceWithUid("quorbel_out");
    ASSERT_NE(mic, kAudioObjectUnknown);
    ASSERT_NE(sink, kAudioObjectUnknown);
    EXPECT_EQ(StringOf(mic, kAudioObjectPropertyName), "QuorbelMic");
    EXPECT_EQ(StringOf(sink, kAudioObjectPropertyName), "QuorbelOut");

    auto slay = Address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput);
    AudioBufferList list{};
    std::uint32_t size = sizeof list;
    ASSERT_EQ(AudioObjectGetPropertyData(mic, &slay, 0, nullptr, &size, &list), 0);
    EXPECT_EQ(size, sizeof list);
    EXPECT_EQ(list.mNumberBuffers, 1u);
    EXPECT_EQ(list.mBuffers[0].mNumberChannels, 2u);
    EXPECT_EQ(list.mBuffers[0].mDataByteSize, 0u);
    EXPECT_EQ(list.mBuffers[0].mData, nullptr);
    list = AudioBufferList{7, {}};
    size = sizeof list;
    ASSERT_EQ(AudioObjectGetPropertyData(sink, &slay, 0, nullptr, &size, &list), 0);
    EXPECT_EQ(size, offsetof(AudioBufferList, mBuffers));
    EXPECT_EQ(list.mNumberBuffers, 0u);

    AudioStreamBasicDescription format{};
    ASSERT_EQ(InputFormat(mic, format), 0);
    EXPECT_EQ(format.mSampleRate, 48000.0);
    EXPECT_EQ(format.mFormatID, kAudioFormatLinearPCM);
    // PipeWire's null sinks, and sources made from them, are float32 whatever was asked.
    const bool isFloat = test::OnPipeWire();
    const std::uint32_t bytes = isFloat ? 4 : 2;
    EXPECT_EQ(format.mFormatFlags,
              (isFloat ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) | kAudioFormatFlagIsPacked);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    EXPECT_EQ(format.mBitsPerChannel, 8 * bytes);
    EXPECT_EQ(format.mBytesPerFrame, 2 * bytes);
    EXPECT_EQ(format.mBytesPerPacket, 2 * bytes);
    EXPECT_EQ(format.mFramesPerPacket, 1u);
    ASSERT_EQ(InputFormat(DeviceWithUid("quorbel_out.monitor"), format), 0);
    EXPECT_EQ(format.mSampleRate, 44100.0);
    EXPECT_EQ(InputFormat(sink, format), kAudioHardwareBadDeviceError);

    auto defaultInput = Address(kAudioHardwarePropertyDefaultInputDevice);
    AudioObjectID id = 0;
    size = sizeof id;
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &defaultInput, 0, nullptr, &size, &id), 0);
    EXPECT_EQ(id, mic);
}

TEST_F(BackendTest, StatusCodes) {
    AudioObjectID mic = DeviceWithUid("quorbel_mic");
    auto uid = Address(kAudioDevicePropertyDeviceUID);
    std::uint32_t size = 8;
    CFStringRef string = nullptr;
    EXPECT_EQ(AudioObjectGetPropertyData(0x7777, &uid, 0, nullptr, &size, &string), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(0, &uid, 0, nullptr, &size), kAudioHardwareBadObjectError);
    auto bogus = Address(FourCharCode("zzzz"));
    EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &bogus, 0, nullptr, &size),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(mic, &bogus, 0, nullptr, &size), kAudioHardwareUnknownPropertyError);
    AudioObjectPropertyAddress element{kAudioDevicePropertyDeviceUID, kAudioObjectPropertyScopeGlobal, 3};
    EXPECT_EQ(AudioObjectGetPropertyDataSize(mic, &element, 0, nullptr, &size), kAudioHardwareUnknownPropertyError);
    auto globalFormat = Address(kAudioDevicePropertyStreamFormat);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(mic, &globalFormat, 0, nullptr, &size),
              kAudioHardwareUnknownPropertyError);
    size = 4;
    EXPECT_EQ(AudioObjectGetPropertyData(mic, &uid, 0, nullptr, &size, &string), kAudioHardwareBadPropertySizeError);
    auto format = Address(kAudioDevicePropertyStreamFormat, kAudioObjectPropertyScopeInput);
    AudioStreamBasicDescription description{};
    size = sizeof description - 1;
    EXPECT_EQ(AudioObjectGetPropertyData(mic, &format, 0, nullptr, &size, &description),
              kAudioHardwareBadPropertySizeError);
    EXPECT_NE(AudioObjectGetPropertyData(mic, &uid, 0, nullptr, nullptr, &string), 0);
}

TEST_F(BackendTest, DevicesListReadInPartHandsOutWholeIds) {
    auto address = Address(kAudioHardwarePropertyDevices);
    AudioObjectID ids[2] = {0, 0};
    std::uint32_t size = sizeof ids + 3;  // room for two and a bit
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size, ids), 0);
    EXPECT_EQ(size, sizeof ids);
    EXPECT_NE(ids[0], 0u);
}

TEST_F(BackendTest, TapAndAggregateDevice) {
    auto before = Devices();
    TapDevice made = MakeTapDevice();
    TapDevice other = MakeTapDevice();
    EXPECT_NE(StringOf(made.tap, kAudioTapPropertyUID), StringOf(other.tap, kAudioTapPropertyUID));
    EXPECT_EQ(StringOf(made.tap, kAudioObjectPropertyName), "Tap under test");
    EXPECT_EQ(StringOf(made.aggregate, kAudioObjectPropertyName), "Aggregate under test");
    EXPECT_EQ(StringOf(made.aggregate, kAudioDevicePropertyDeviceUID).rfind("com.quorbel.test.", 0), 0u);
    EXPECT_EQ(InputConfigurationSize(made.aggregate), sizeof(AudioBufferList));
    AudioStreamBasicDescription format{};
    ASSERT_EQ(InputFormat(made.aggregate, format), 0);
    EXPECT_EQ(format.mSampleRate, 44100.0);  // the default sink's rate
    EXPECT_EQ(format.mFormatFlags, kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    EXPECT_EQ(format.mBitsPerChannel, 32u);
    EXPECT_EQ(format.mBytesPerFrame, 8u);
    EXPECT_EQ(Devices(), before) << "taps and aggregate devices are private";

    AggregateDeviceDescription unknown;
    unknown.taps = {{"no-such-tap", true}};
    AudioObjectID id = 0;
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(&unknown, &id), kAudioHardwareBadObjectError);
    unknown.taps.clear();
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(&unknown, &id), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioHardwareDestroyProcessTap(made.aggregate), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(made.tap), kAudioHardwareBadObjectError);
    DestroyTapDevice(made);
    DestroyTapDevice(other);
    EXPECT_EQ(AudioHardwareDestroyProcessTap(made.tap), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(made.aggregate), kAudioHardwareBadObjectError);
    std::string text;
    EXPECT_EQ(ReadString(made.tap, kAudioTapPropertyUID, text), kAudioHardwareBadObjectError);
}

TEST_F(BackendTest, IOProcGetsTheTapsAudioAndNothingAfterStop) {
    auto player = test::PlayTone("quorbel_out", 44100, 1000.0, -6.0);
    TapDevice made = MakeTapDevice();
    Delivery delivery;
    delivery.device = made.aggregate;
    delivery.bytesPerFrame = 8;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(made.aggregate, CountingProc, &delivery, &proc), 0);
    ASSERT_NE(proc, nullptr);
    ASSERT_EQ(AudioDeviceStart(made.aggregate, proc), 0);
    EXPECT_EQ(AudioDeviceStart(made.aggregate, proc), 0) << "starting twice is harmless";
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(AudioDeviceStop(made.aggregate, proc), 0);
    long frames = delivery.frames;
    long calls = delivery.calls;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(delivery.calls, calls) << "a callback ran after stop returned";
    EXPECT_EQ(delivery.malformed, 0);
    EXPECT_EQ(delivery.untimed, 0);
    EXPECT_GT(frames, 44100 / 2);
    EXPECT_LT(frames, 44100 * 3);
    EXPECT_GT(delivery.soundFrames, 44100 / 4) << "the tone did not come through";
    EXPECT_LE(delivery.maxFramesPerCall, 16384);
    EXPECT_EQ(AudioDeviceStop(made.aggregate, proc), 0) << "stopping twice is harmless";
    EXPECT_EQ(AudioDeviceDestroyIOProcID(made.aggregate, proc), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(made.aggregate, proc), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioDeviceStop(made.aggregate, proc), kAudioHardwareBadObjectError);
    DestroyTapDevice(made);
}

TEST_F(BackendTest, MicrophoneIOProcInNativeFormat) {
    auto player = test::PlayTone("quorbel_mic_sink", 48000, 700.0, -6.0);
    AudioObjectID mic = DeviceWithUid("quorbel_mic");
    AudioStreamBasicDescription format{};
    ASSERT_EQ(InputFormat(mic, format), 0);
    Delivery delivery;
    delivery.device = mic;
    delivery.bytesPerFrame = format.mBytesPerFrame;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(mic, CountingProc, &delivery, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(mic, proc), 0);
    std::this_thread::sleep_for(1000ms);
    // Destroying a running IO proc stops it first.
    ASSERT_EQ(AudioDeviceDestroyIOProcID(mic, proc), 0);
    long calls = delivery.calls;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(delivery.calls, calls);
    EXPECT_EQ(delivery.malformed, 0);
    EXPECT_EQ(delivery.untimed, 0);
    EXPECT_GT(delivery.frames, 48000 / 4);
    EXPECT_GT(delivery.soundFrames, 48000 / 8);
}

TEST_F(BackendTest, IOProcsOnUnknownOrUnsuitableDevices) {
    Delivery delivery;
    AudioDeviceIOProcID proc = nullptr;
    EXPECT_EQ(AudioDeviceCreateIOProcID(0x7777, CountingProc, &delivery, &proc), kAudioHardwareBadObjectError);
    auto bogus = reinterpret_cast<AudioDeviceIOProcID>(std::uintptr_t(0xdead));
    AudioObjectID mic = DeviceWithUid("quorbel_mic");
    EXPECT_EQ(AudioDeviceStart(mic, bogus), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioDeviceStop(mic, bogus), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(mic, bogus), kAudioHardwareBadObjectError);
    EXPECT_EQ(AudioDeviceStop(mic, nullptr), kAudioHardwareBadObjectError);

    AudioObjectID sink = DeviceWithUid("quorbel_out");
    ASSERT_EQ(AudioDeviceCreateIOProcID(sink, CountingProc, &delivery, &proc), 0);
    EXPECT_EQ(AudioDeviceStart(sink, proc), kAudioHardwareBadDeviceError);
    EXPECT_EQ(AudioDeviceStop(mic, proc), kAudioHardwareBadObjectError) << "an ID belongs to its device";
    EXPECT_EQ(AudioDeviceDestroyIOProcID(sink, proc), 0);
    EXPECT_EQ(delivery.calls, 0);
}

TEST_F(BackendTest, OuterScopeEndStopsStreamsInnerDoesNot) {
    void* outer = objc_autoreleasePoolPush();
    void* inner = objc_autoreleasePoolPush();
    TapDevice made = MakeTapDevice();
    Delivery delivery;
    delivery.device = made.aggregate;
    delivery.bytesPerFrame = 8;
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(made.aggregate, CountingProc, &delivery, &proc), 0);
    ASSERT_EQ(AudioDeviceStart(made.aggregate, proc), 0);
    objc_autoreleasePoolPop(inner);
    long calls = delivery.calls;
    std::this_thread::sleep_for(300ms);
    EXPECT_GT(delivery.calls, calls) << "an inner scope closed the connection";
    objc_autoreleasePoolPop(outer);
    calls = delivery.calls;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(delivery.calls, calls) << "the outer scope left a stream running";
    // Objects outlive the connection, and the next call connects again.
    ASSERT_EQ(AudioDeviceStart(made.aggregate, proc), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_GT(delivery.calls, calls);
    EXPECT_EQ(AudioDeviceStop(made.aggregate, proc), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(made.aggregate, proc), 0);
    DestroyTapDevice(made);
}

TEST_F(BackendTest, WithoutAServer) {
    ResetConnection();
    {
        ScopedEnv server("PULSE_SERVER", "unix:/nonexistent-quorbel-test/native");
        CATapDescription description;
        description.stereoGlobal = true;
        description.muteBehavior = CATapUnmuted;
        AudioObjectID tap = 0;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(AudioHardwareCreateProcessTap(&description, &tap), kAudioHardwareNotRunningError);
        auto address = Address(kAudioHardwarePropertyDevices);
        std::uint32_t size = 0;
        EXPECT_EQ(AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size),
                  kAudioHardwareNotRunningError);
        // No server: authorized, so that the capture reports the clearer error.
        EXPECT_EQ(AVCaptureDeviceAuthorizationStatusForAudio(), AVAuthorizationStatusAuthorized);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
        ResetConnection();
    }
    EXPECT_FALSE(Devices().empty()) << "the backend did not connect again";
}

// Counts 'livn' notices; the backend calls it with its mainloop locked.
struct AliveNotices {
    std::atomic<int> calls{0};
};

OSStatus CountAliveNotice(AudioObjectID, std::uint32_t count, const AudioObjectPropertyAddress* addresses,
                          void* clientData) {
    if (count == 1 && addresses[0].mSelector == kAudioDevicePropertyDeviceIsAlive) {
        ++static_cast<AliveNotices*>(clientData)->calls;
    }
    return 0;
}

std::uint32_t Alive(AudioObjectID device) {
    auto address = Address(kAudioDevicePropertyDeviceIsAlive);
    std::uint32_t alive = 99, size = sizeof alive;
    EXPECT_EQ(AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &alive), 0);
    return alive;
}

template <typename Condition>
bool Eventually(Condition condition) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// The server goes away under a running IO proc: 'livn' says so, its
// listener is told, and the proc stops at once while the backend keeps
// trying to reconnect.
TEST_F(BackendTest, ALostServerIsToldAndNothingWaitsForItsReturn) {
    test::SecondServer server;
    ASSERT_FALSE(server.address.empty()) << "the second server did not start";
    ResetConnection();
    {
        ScopedEnv env("PULSE_SERVER", server.address);
        TapDevice made = MakeTapDevice();
        Delivery delivery;
        delivery.device = made.aggregate;
        delivery.bytesPerFrame = 8;
        AudioDeviceIOProcID proc = nullptr;
        ASSERT_EQ(AudioDeviceCreateIOProcID(made.aggregate, CountingProc, &delivery, &proc), 0);
        AliveNotices notices;
        auto alive = Address(kAudioDevicePropertyDeviceIsAlive);
        ASSERT_EQ(AudioObjectAddPropertyListener(made.aggregate, &alive, CountAliveNotice, &notices), 0);
        ASSERT_EQ(AudioDeviceStart(made.aggregate, proc), 0);
        ASSERT_TRUE(Eventually([&] { return delivery.calls > 0; }));
        EXPECT_EQ(Alive(made.aggregate), 1u);
        EXPECT_EQ(notices.calls, 0);

        server.stop();
        ASSERT_TRUE(Eventually([&] { return notices.calls > 0; })) << "the listener was not told";
        EXPECT_EQ(Alive(made.aggregate), 0u);
        std::this_thread::sleep_for(600ms);  // a few reconnect attempts
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(AudioDeviceStop(made.aggregate, proc), 0);
        EXPECT_EQ(AudioObjectRemovePropertyListener(made.aggregate, &alive, CountAliveNotice, &notices), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms) << "the stop waited for the server";
        const int told = notices.calls;
        const long calls = delivery.calls;
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(notices.calls, told);
        EXPECT_EQ(delivery.calls, calls);
        EXPECT_EQ(AudioObjectRemovePropertyListener(made.aggregate, &alive, CountAliveNotice, &notices),
                  kAudioHardwareBadObjectError);
        EXPECT_EQ(AudioDeviceDestroyIOProcID(made.aggregate, proc), 0);
        DestroyTapDevice(made);
        ResetConnection();
    }
    EXPECT_FALSE(Devices().empty()) << "the backend did not connect again";
}

// A server that refuses us: another user, no cookie, no anonymous access.
TEST_F(BackendTest, RefusedByTheServer) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    if (test::OnPipeWire()) {
        GTEST_SKIP() << "pipewire-pulse authenticates no client, so it has no way to refuse one";
    }
    test::SecondServer server(true);
    ASSERT_FALSE(server.address.empty()) << "the second server did not start";
    const std::string address = server.address;

    // libpulse refuses to work in a forked child, so the child runs this binary
    // afresh (see main) as another user, and reports on descriptor 3.
    auto child = test::ChildProcess::Function([&] {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            return 99;
        }
        setenv("PULSE_SERVER", address.c_str(), 1);
        setenv("HOME", "/nonexistent", 1);
        char name[] = "quorbel_pulse_tests";
        char flag[] = "--report-refusal";
        char* argv[] = {name, flag, nullptr};
        execv("/proc/self/exe", argv);
        return 98;
    });
    std::string report = child.readReport(20s);
    test::ExitResult exit = child.wait(5000ms);
    ASSERT_TRUE(exit.exited);
    ASSERT_EQ(exit.code, 0);
    EXPECT_EQ(report, std::to_string(AVAuthorizationStatusDenied) + " " +
                          std::to_string(kAudioDevicePermissionsError));
}

}  // namespace

// Run as `quorbel_pulse_tests --report-refusal` by RefusedByTheServer.
int ReportRefusal() {
    CATapDescription description;
    description.stereoGlobal = true;
    description.muteBehavior = CATapUnmuted;
    AudioObjectID tap = 0;
    OSStatus status = AudioHardwareCreateProcessTap(&description, &tap);
    std::string report =
        std::to_string(AVCaptureDeviceAuthorizationStatusForAudio()) + " " + std::to_string(status);
    return write(3, report.data(), report.size()) == ssize_t(report.size()) ? 0 : 1;
}

namespace {

TEST_F(BackendTest, Authorization) {
    EXPECT_EQ(AVCaptureDeviceAuthorizationStatusForAudio(), AVAuthorizationStatusAuthorized);
    int calls = 0;
    bool granted = false;
    AVCaptureDeviceRequestAccessForAudio([&](bool answer) {
        ++calls;
        granted = answer;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(granted);
}

TEST(PulseBackendPlain, NewUUIDStringIsRandomVersion4) {
    std::regex canonical("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        std::string uuid = NewUUIDString();
        EXPECT_TRUE(std::regex_match(uuid, canonical)) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(PulseBackendPlain, DispatchTime) {
    auto before = std::chrono::steady_clock::now();
    auto deadline = dispatch_time(DISPATCH_TIME_NOW, 1'000'000'000);
    auto after = std::chrono::steady_clock::now();
    EXPECT_GE(deadline, before + 1s);
    EXPECT_LE(deadline, after + 1s);
    EXPECT_EQ(dispatch_time(before, 5'000'000), before + 5ms);
}

TEST(PulseBackendPlain, StringsAreOwnedCopies) {
    EXPECT_EQ(UTF8String(nullptr), nullptr);
}

}  // namespace
}  // namespace quorbel

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--report-refusal") {
        return quorbel::ReportRefusal();
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
