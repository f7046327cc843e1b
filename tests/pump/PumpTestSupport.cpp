#include "pump/PumpTestSupport.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>
#include <sstream>
#include <thread>
#include <utility>

#include "capture/Capture.h"

namespace quorbel::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kFragmentFrames = 480;
constexpr Millis kAnchorLead{5};  // time for the feeder thread to start
constexpr long long kNever = 1'000'000'000;  // microseconds: a lateness or stop that cannot be judged

void Report(const std::string& text) {
    if (write(3, text.data(), text.size()) < 0) {
        _exit(99);
    }
}

std::atomic<long long> gHoldNs{0};

// Runs on the pump's thread: a nap the pump cannot see coming.
void HoldThisThread(int) {
    const int saved = errno;
    const long long ns = gHoldNs.load();
    timespec left{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
    errno = saved;
}

// Sends the pump's thread its hold at its time after the anchor.
void HoldPump(pthread_t pump, const PumpHold& hold, Clock::time_point anchor, Micros& worst) {
    std::this_thread::sleep_until(anchor + hold.at);
    gHoldNs.store(std::chrono::duration_cast<std::chrono::nanoseconds>(hold.length).count());
    pthread_kill(pump, SIGUSR2);
    worst = std::max(worst, std::chrono::duration_cast<Micros>(Clock::now() - anchor - hold.at));
}

void AwaitTaken(const StopWhenTaken& stop) {
    while (stop.ring->readPos.load() < stop.bytes && !gStopRequested.load()) {
        std::this_thread::sleep_for(Micros(100));
    }
}

}  // namespace

ChildProcess RunPump(const std::function<void()>& body) {
    return ChildProcess::Function([body] {
        gStopRequested.store(false);
        InstallStopSignals();
        body();
        return 0;
    });
}

std::unique_ptr<CaptureStream> StreamAt(double rate) {
    auto stream = std::make_unique<CaptureStream>();
    ResetCaptureStream(*stream);
    stream->format.mSampleRate = rate;
    stream->format.mFormatID = kAudioFormatLinearPCM;
    return stream;
}

void Queue(CaptureStream& stream, const std::vector<StereoFrame>& frames) {
    if (!frames.empty() && !stream.ring.append(frames.data(), frames.size() * sizeof(StereoFrame))) {
        std::abort();
    }
}

std::vector<StereoFrame> CountingFrames(int first, int count) {
    std::vector<StereoFrame> frames;
    for (int i = 0; i < count; ++i) {
        frames.push_back({std::int16_t(first + i), std::int16_t(-(first + i))});
    }
    return frames;
}

std::vector<StereoFrame> ToFrames(const std::string& bytes) {
    std::vector<StereoFrame> frames(bytes.size() / 4);
    if (!frames.empty()) {  // an empty vector's data() may be null, which memcpy may not get
        std::memcpy(frames.data(), bytes.data(), frames.size() * 4);
    }
    return frames;
}

std::vector<StereoFrame> Placed(const std::vector<StereoFrame>& sound, std::size_t at, std::size_t size) {
    std::vector<StereoFrame> frames(size, StereoFrame{0, 0});
    for (std::size_t i = 0; i < sound.size() && at + i < size; ++i) {
        frames[at + i] = sound[i];
    }
    return frames;
}

std::vector<StereoFrame> Joined(std::vector<StereoFrame> head, const std::vector<StereoFrame>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::vector<StereoFrame> Sounding(const std::vector<StereoFrame>& frames) {
    std::vector<StereoFrame> sounding;
    std::copy_if(frames.begin(), frames.end(), std::back_inserter(sounding),
                 [](const StereoFrame& frame) { return frame.left != 0 || frame.right != 0; });
    return sounding;
}

std::size_t FirstSound(const std::vector<StereoFrame>& frames) {
    const auto first = std::find_if(frames.begin(), frames.end(),
                                    [](const StereoFrame& frame) { return frame.left != 0 || frame.right != 0; });
    return std::size_t(first - frames.begin());
}

std::vector<Delivery> Fragments(std::size_t ring, const std::vector<StereoFrame>& frames) {
    std::vector<Delivery> deliveries;
    for (std::size_t at = 0; at < frames.size(); at += kFragmentFrames) {
        const auto end = frames.begin() + std::ptrdiff_t(std::min(at + kFragmentFrames, frames.size()));
        const Micros due = Millis(5) + Millis(10) * (at / kFragmentFrames);
        deliveries.push_back({due, ring, std::vector<StereoFrame>(frames.begin() + std::ptrdiff_t(at), end)});
    }
    return deliveries;
}

void DelayBlock(std::vector<Delivery>& deliveries, std::size_t ring, int block, Micros late, std::size_t held,
                bool emptyAtDeadline) {
    const Micros due = Millis(20) * block + late;
    const int first = 2 * block - 1 - int(held / kFragmentFrames) - (emptyAtDeadline ? 1 : 0);
    int fragment = 0;
    for (Delivery& delivery : deliveries) {
        if (delivery.ring == ring && fragment++ >= first) {
            delivery.at = std::max(delivery.at, due);
        }
    }
}

void HoldDeliveries(std::vector<Delivery>& deliveries, Micros from, Micros until) {
    for (Delivery& delivery : deliveries) {
        if (delivery.at >= from) {
            delivery.at = std::max(delivery.at, until);
        }
    }
}

std::string Describe(const HeldUp& row) {
    return "hold at " + std::to_string(row.holdAt.count()) + " us, audio held from " +
           std::to_string(row.heldFrom.count()) + " us";
}

void RunFed(const std::vector<ByteRing*>& rings, std::vector<Delivery> deliveries,
            const std::function<void()>& pump, std::optional<StopWhenTaken> stop, std::optional<PumpHold> hold) {
    std::stable_sort(deliveries.begin(), deliveries.end(),
                     [](const Delivery& a, const Delivery& b) { return a.at < b.at; });
    if (hold) {
        std::signal(SIGUSR2, HoldThisThread);
    }
    const pthread_t pumpThread = pthread_self();
    const auto anchor = Clock::now() + kAnchorLead;
    Micros worst{0};
    Micros stoppedAt{kNever};
    std::thread feeder([&] {
        for (const Delivery& delivery : deliveries) {
            if (hold && hold->at <= delivery.at) {
                HoldPump(pumpThread, *std::exchange(hold, std::nullopt), anchor, worst);
            }
            std::this_thread::sleep_until(anchor + delivery.at);
            if (gStopRequested.load()) {
                return;
            }
            if (!rings[delivery.ring]->append(delivery.frames.data(), delivery.frames.size() * sizeof(StereoFrame))) {
                std::abort();
            }
            worst = std::max(worst, std::chrono::duration_cast<Micros>(Clock::now() - anchor - delivery.at));
        }
        if (hold) {
            HoldPump(pumpThread, *hold, anchor, worst);
        }
        if (stop) {
            AwaitTaken(*stop);
            HandleSignal(SIGTERM);
            stoppedAt = std::chrono::duration_cast<Micros>(Clock::now() - anchor);
        }
    });
    std::this_thread::sleep_until(anchor);
    const auto startLateness = std::chrono::duration_cast<Micros>(Clock::now() - anchor);
    pump();
    feeder.join();
    worst = std::max(worst, startLateness);
    Report(std::to_string(worst.count()) + " " + std::to_string(stoppedAt.count()));
}

FedRun ReadFedRun(ChildProcess& child, std::size_t bytes) {
    FedRun run;
    run.out = ToFrames(child.readStdout(bytes, kPumpTimeout));
    child.closeStdout();
    child.wait(kPumpTimeout);
    long long worst = 0, stoppedAt = 0;
    std::istringstream report(child.readReport(kPumpTimeout));
    if (!(report >> worst >> stoppedAt)) {
        worst = stoppedAt = kNever;
    }
    run.worstLateness = Micros(worst);
    run.stoppedAt = Micros(stoppedAt);
    return run;
}

FedRun PunctualRun(const std::function<FedRun()>& run, Micros tolerance) {
    FedRun result = run();
    for (int again = 0; again < 2 && result.worstLateness >= tolerance; ++again) {
        result = run();
    }
    return result;
}

std::vector<double> ArrivalDelays(ChildProcess& child, std::size_t blockBytes, std::size_t blocks, double periodMs,
                                  std::string& pcm) {
    std::vector<double> delays;
    Clock::time_point first;
    for (std::size_t k = 0; k < blocks; ++k) {
        const std::string block = child.readStdout(blockBytes, kPumpTimeout);
        const auto now = Clock::now();
        if (block.size() < blockBytes) {
            break;
        }
        first = k == 0 ? now : first;
        pcm += block;
        delays.push_back(std::chrono::duration<double, std::milli>(now - first).count() - double(k) * periodMs);
    }
    return delays;
}

void ExpectEmptyBlocksOnTime(ChildProcess& child, const std::vector<StereoFrame>& sound) {
    std::string pcm;
    const std::vector<double> delays = ArrivalDelays(child, 960 * sizeof(StereoFrame), 60, 20.0, pcm);
    ReadFedRun(child, 0);
    ASSERT_EQ(delays.size(), 60u);
    EXPECT_EQ(ToFrames(pcm), Placed(sound, 0, 960 * 60));
    // The least delay over many blocks is what the pump adds; a busy machine only adds to each.
    const double empty = *std::min_element(delays.begin() + 2, delays.end());
    EXPECT_LT(empty - delays[0], 4.0);
    const double elapsed = delays[59] - delays[1] + 58 * 20.0;
    EXPECT_GT(elapsed, 58 * 20.0 - 50);  // never ahead of the pace
    EXPECT_LT(elapsed, 2 * 58 * 20.0 + 1000);
}

}  // namespace quorbel::test
