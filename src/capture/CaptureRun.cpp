// One capture run: permission, sources, announcement, pump, teardown. Setup
// failures print one message, release what exists and give 1; once the
// FORMAT line is out the result is 0, whatever stopped the run.
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "capture/Capture.h"
#include "cli/Cli.h"
#include "pump/Pump.h"

namespace quorbel {
namespace {

constexpr std::size_t kHugePage = 2u << 20;

struct FreeCaptureStream {
    void operator()(CaptureStream* stream) const {
        stream->~CaptureStream();
        ::operator delete(stream, std::align_val_t(kHugePage));
    }
};
using CaptureStreamPtr = std::unique_ptr<CaptureStream, FreeCaptureStream>;

// A record on memory the kernel can back with huge pages: zeroing 4 KiB pages
// one fault at a time cost a start-up some 15 ms on a virtual machine, while
// the ring must be touched before the audio thread writes to it. The record
// is zeroed when the run sets its sources up.
CaptureStreamPtr NewCaptureStream() {
    const std::size_t size = (sizeof(CaptureStream) + kHugePage - 1) / kHugePage * kHugePage;
    void* memory = ::operator new(size, std::align_val_t(kHugePage));
    madvise(memory, size, MADV_HUGEPAGE);  // a hint; without it, ordinary pages
    return CaptureStreamPtr(new (memory) CaptureStream);
}

// The handles and records of one run. The records never move while a
// callback holds their address; they live on the heap because together they
// are over 4 MiB.
struct CaptureRun {
    bool mixed = false;
    bool includeSystem = false;
    CaptureStreamPtr systemStream = NewCaptureStream();
    CaptureStreamPtr microphoneStream = NewCaptureStream();
    AudioObjectID tap = kAudioObjectUnknown;
    AudioObjectID aggregateDevice = kAudioObjectUnknown;
    AudioObjectID microphoneDevice = kAudioObjectUnknown;
    AudioDeviceIOProcID microphoneProc = nullptr;
    AudioDeviceIOProcID systemProc = nullptr;
};

void StopAndDestroy(AudioObjectID device, AudioDeviceIOProcID& proc) {
    if (proc != nullptr) {
        AudioDeviceStop(device, proc);
        AudioDeviceDestroyIOProcID(device, proc);
        proc = nullptr;
    }
}

// The aggregate device goes before the tap it wraps.
void DestroySystemObjects(CaptureRun& run) {
    if (run.aggregateDevice != kAudioObjectUnknown) {
        AudioHardwareDestroyAggregateDevice(run.aggregateDevice);
        run.aggregateDevice = kAudioObjectUnknown;
    }
    if (run.tap != kAudioObjectUnknown) {
        AudioHardwareDestroyProcessTap(run.tap);
        run.tap = kAudioObjectUnknown;
    }
}

// The system callback is the last thing started: the microphone's is running already.
bool StartSystemCallback(CaptureRun& run) {
    OSStatus status =
        AudioDeviceCreateIOProcID(run.aggregateDevice, CaptureIOProc, run.systemStream.get(), &run.systemProc);
    if (status == 0) {
        status = AudioDeviceStart(run.aggregateDevice, run.systemProc);
    }
    if (status == 0) {
        return true;
    }
    std::fprintf(stderr,
                 "Accesso all'audio di sistema non consentito o non disponibile. Abilita Calvetra in Impostazioni "
                 "di Sistema, Privacy e sicurezza, Registrazione schermo e audio di sistema. Dettaglio: %s\n",
                 OSStatusText(status).c_str());
    if (run.systemProc != nullptr) {
        AudioDeviceDestroyIOProcID(run.aggregateDevice, run.systemProc);  // never started
        run.systemProc = nullptr;
    }
    StopAndDestroy(run.microphoneDevice, run.microphoneProc);
    DestroySystemObjects(run);
    return false;
}

bool SetUpSources(CaptureRun& run, const std::string& microphoneUid) {
    ResetCaptureStream(*run.systemStream);
    if (run.includeSystem && !SetUpSystemSource(*run.systemStream, run.tap, run.aggregateDevice, !run.mixed)) {
        return false;
    }
    ResetCaptureStream(*run.microphoneStream);
    if (run.mixed && !SetUpMicrophoneSource(microphoneUid, *run.microphoneStream, run.microphoneDevice,
                                            run.microphoneProc)) {
        DestroySystemObjects(run);
        return false;
    }
    return !run.includeSystem || StartSystemCallback(run);
}

// A server hands a new stream its first fragment from a few to some 50 ms
// after it connects (measured on PulseAudio). Starting the pump's schedule
// once it is in (more than the pumps keep back of a starting source), rather
// than before, puts the first audio on standard output at once instead of
// at the next block; a source that has nothing to give costs no more than
// this wait.
constexpr auto kFirstAudioWait = std::chrono::milliseconds(100);

// PipeWire hands a new stream its first fragment with some 5 ms of silence
// ahead of the sound. A starting source keeps its reserve back from what it
// has, which would then be nearly all of that sound: it would go out a block
// (20 ms) later. Waiting for the next fragment puts it out 10 ms later; a
// source that is really silent costs no more than this wait.
constexpr auto kLeadingSilenceWait = std::chrono::milliseconds(15);

// The bytes queued after the ring's leading silence (zero bytes).
std::size_t SoundQueued(const ByteRing& ring) {
    std::vector<std::uint8_t> bytes(ring.filled());
    const auto end = bytes.begin() + std::ptrdiff_t(ring.peek(bytes.data(), bytes.size()));
    return std::size_t(end - std::find_if(bytes.begin(), end, [](std::uint8_t byte) { return byte != 0; }));
}

// More than the reserve queued; with soundOnly, leading silence does not count.
bool HasAudioToStart(const CaptureStream& stream, std::chrono::nanoseconds reserve, bool soundOnly = false) {
    const std::uint32_t rate = RoundedRate(stream.format.mSampleRate);
    const std::size_t queued = soundOnly ? SoundQueued(stream.ring) : stream.ring.filled();
    return queued > StartReserveFrames(rate, reserve) * sizeof(StereoFrame);
}

void AwaitFirstAudio(const CaptureRun& run) {
    const auto start = std::chrono::steady_clock::now();
    const auto reserve = run.mixed ? kMixedStartReserve : kStartReserve - kFirstStartSlack;
    const auto heard = [&run, reserve] {
        return (run.includeSystem && HasAudioToStart(*run.systemStream, reserve)) ||
               (run.mixed && HasAudioToStart(*run.microphoneStream, reserve));
    };
    std::optional<std::chrono::steady_clock::time_point> heardAt;
    for (auto now = start; now - start < kFirstAudioWait && !gStopRequested.load(std::memory_order_relaxed);
         now = std::chrono::steady_clock::now()) {
        if (heard()) {
            heardAt = heardAt.value_or(now);
            // A mix keeps its sources' places: it starts on whatever came.
            if (run.mixed || now - *heardAt >= kLeadingSilenceWait ||
                HasAudioToStart(*run.systemStream, reserve, true)) {
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void RunPump(CaptureRun& run, std::uint32_t rate) {
    if (run.mixed) {
        MixedPump(*run.systemStream, *run.microphoneStream, run.includeSystem);
    } else {
        PassThroughPump(*run.systemStream, rate);
    }
}

// Reverse order of creation. After a stop returns no callback runs, so the
// drop counters read afterwards are final.
void TearDown(CaptureRun& run, StdinWatcher& watcher, SourceNotices& notices) {
    StopSourceNotices(notices);
    StopAndDestroy(run.aggregateDevice, run.systemProc);
    StopAndDestroy(run.microphoneDevice, run.microphoneProc);
    DestroySystemObjects(run);
    StopStdinWatcher(watcher);
    PrintDropLines(run.mixed, run.systemStream->drops.load(std::memory_order_relaxed),
                   run.microphoneStream->drops.load(std::memory_order_relaxed));
}

}  // namespace

int Capture(bool mixed, const std::string& microphoneUid, bool includeSystem) {
    if (mixed && !MicrophoneAllowed(false)) {
        std::fputs(kMicrophoneAccessMessage, stderr);
        return 1;
    }
    gStopRequested.store(false, std::memory_order_relaxed);
    InstallStopSignals();
    CaptureRun run;
    run.mixed = mixed;
    run.includeSystem = includeSystem;
    if (!SetUpSources(run, microphoneUid)) {
        return 1;
    }
    const std::uint32_t rate = mixed ? kMixedRate : RoundedRate(run.systemStream->format.mSampleRate);
    PrintFormatLine(rate);
    PrintCaptureLine(rate);
    StdinWatcher watcher;
    StartStdinWatcher(watcher);
    SourceNotices notices;
    StartSourceNotices(notices, run.aggregateDevice, run.microphoneDevice);
    AwaitFirstAudio(run);
    RunPump(run, rate);
    TearDown(run, watcher, notices);
    return 0;
}

}  // namespace quorbel
