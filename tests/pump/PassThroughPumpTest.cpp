#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "capture/Capture.h"
#include "pump/Pump.h"
#include "pump/PumpTestSupport.h"

namespace quorbel {
namespace {

using test::ChildProcess;
using test::kPumpTimeout;
using Clock = std::chrono::steady_clock;

Clock::time_point At(std::int64_t ns) { return Clock::time_point(std::chrono::nanoseconds(ns)); }
double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

TEST(PassThroughGeometry, OneFiftiethOfASecondAndAtLeastOneFrame) {
    struct Row {
        std::uint32_t rate, frames;
        std::size_t bytes;
        std::uint64_t periodNs;
    };
    for (const Row& row : {Row{48000, 960, 3840, 20'000'000}, Row{44100, 882, 3528, 20'000'000},
                           Row{11025, 220, 880, 19'954'648}, Row{99, 1, 4, 10'101'010}, Row{49, 1, 4, 20'408'163},
                           Row{1, 1, 4, 1'000'000'000}, Row{4294967295u, 85899345, 343597380, 19'999'999}}) {
        const BlockGeometry geometry = PassThroughGeometry(row.rate);
        EXPECT_EQ(geometry.frames, row.frames) << row.rate;
        EXPECT_EQ(geometry.bytes, row.bytes) << row.rate;
        EXPECT_EQ(geometry.periodNs, row.periodNs) << row.rate;
    }
}

TEST(RoundedRate, RoundsHalvesAwayFromZeroAndRefusesWhatDoesNotFit) {
    EXPECT_EQ(RoundedRate(44100.0), 44100u);
    EXPECT_EQ(RoundedRate(44099.5), 44100u);
    EXPECT_EQ(RoundedRate(48000.49), 48000u);
    EXPECT_EQ(RoundedRate(0.5), 1u);
    EXPECT_EQ(RoundedRate(0.49), 0u);
    EXPECT_EQ(RoundedRate(-44100.0), 0u);
    EXPECT_EQ(RoundedRate(4294967295.0), 4294967295u);
    EXPECT_EQ(RoundedRate(4294967296.0), 0u);
    EXPECT_EQ(RoundedRate(std::numeric_limits<double>::quiet_NaN()), 0u);
    EXPECT_EQ(RoundedRate(std::numeric_limits<double>::infinity()), 0u);
}

// Runs the pump at rate over a ring that already holds frames.
ChildProcess RunPassThrough(std::uint32_t rate, const std::vector<StereoFrame>& queued = {}) {
    return test::RunPump([rate, queued] {
        auto stream = test::StreamAt(rate);
        test::Queue(*stream, queued);
        PassThroughPump(*stream, rate);
    });
}

TEST(PassThroughPump, SilenceWhenNothingArrives) {
    ChildProcess child = RunPassThrough(48000);
    const std::string out = child.readStdout(3840 * 10, kPumpTimeout);
    EXPECT_EQ(out, std::string(3840 * 10, '\0'));
    child.closeStdout();
    const test::ExitResult exit = child.wait(kPumpTimeout);
    EXPECT_TRUE(exit.exited) << "killed by signal " << exit.signal;  // the gone reader stops it, not SIGPIPE
    EXPECT_EQ(exit.code, 0);
}

TEST(PassThroughPump, BlocksTakeAtMostOneBlockAndPadWithSilence) {
    // After whole blocks the last part opens its block (once the grace is
    // over); a source that is just starting gets its silence first instead,
    // and keeps its reserve back for the next block.
    for (int queuedFrames : {960 * 2 + 480, int(test::kReserve) + 300}) {
        SCOPED_TRACE(queuedFrames);
        const auto queued = test::CountingFrames(1, queuedFrames);
        ChildProcess child = RunPassThrough(48000, queued);
        const auto frames = test::ToFrames(child.readStdout(3840 * 4, kPumpTimeout));
        ASSERT_EQ(frames.size(), 960u * 4);
        EXPECT_EQ(frames, test::Placed(queued, test::StartLead(std::size_t(queuedFrames)), frames.size()));
    }
}

TEST(PassThroughPump, AStopBeforeTheStartWritesNothing) {
    ChildProcess child = test::RunPump([] {
        auto stream = test::StreamAt(48000);
        test::Queue(*stream, test::CountingFrames(1, 100));
        gStopRequested.store(true);
        PassThroughPump(*stream, 48000);
    });
    EXPECT_EQ(child.readStdoutUntilEof(kPumpTimeout), "");
    EXPECT_EQ(child.wait(kPumpTimeout).code, 0);
}

TEST(PassThroughPump, AStopDuringTheSleepWritesNoFurtherBlock) {
    // At one frame per second the pump spends its time asleep.
    ChildProcess child = RunPassThrough(1, test::CountingFrames(1, 10));
    EXPECT_EQ(test::ToFrames(child.readStdout(4, kPumpTimeout)), (std::vector<StereoFrame>{{1, -1}}));
    child.sendSignal(SIGTERM);
    EXPECT_EQ(child.readStdoutUntilEof(kPumpTimeout), "");
    EXPECT_EQ(child.wait(kPumpTimeout).code, 0);
}

TEST(PassThroughPump, KeepsItsRateOverSeconds) {
    for (std::uint32_t rate : {44100u, 99u}) {
        SCOPED_TRACE(rate);
        ChildProcess child = RunPassThrough(rate);
        const BlockGeometry geometry = PassThroughGeometry(rate);
        ASSERT_EQ(child.readStdout(geometry.bytes, kPumpTimeout).size(), geometry.bytes);  // block 0, at once
        const auto start = Clock::now();
        const std::size_t blocks = rate == 99 ? 200 : 100;  // two seconds
        ASSERT_EQ(child.drainStdout(blocks * geometry.bytes, kPumpTimeout), blocks * geometry.bytes);
        const double elapsed = SecondsSince(start);
        const double expected = double(blocks) * double(geometry.periodNs) / 1e9;
        // Never ahead of schedule; the upper bound only guards against a stuck pump.
        EXPECT_GT(elapsed, expected - 0.05);
        EXPECT_LT(elapsed, expected * 2 + 1);
    }
}

TEST(PassThroughPump, MissedBlocksFollowWithoutSleepingAfterAStall) {
    ChildProcess child = test::RunPump([] {
        fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096);  // one block in flight at most
        auto stream = test::StreamAt(48000);
        PassThroughPump(*stream, 48000);
    });
    ASSERT_EQ(child.drainStdout(3840 * 5, kPumpTimeout), 3840u * 5);
    const auto stallStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const int missed = int(SecondsSince(stallStart) / 0.020);
    const int catchUp = missed - 5;  // leave room for what the pipe held
    const auto start = Clock::now();
    ASSERT_EQ(child.drainStdout(std::size_t(catchUp) * 3840, kPumpTimeout), std::size_t(catchUp) * 3840);
    // Paced, these blocks would take catchUp * 20 ms.
    EXPECT_LT(SecondsSince(start), catchUp * 0.020 / 2);
}

// ---- The grace for late fragments --------------------------------------------

using test::FedRun;
using test::kPunctual;
using test::Micros;
using test::Millis;

constexpr std::size_t kBlockBytes = 3840;

// A 48 kHz run of a counting source: `prefill` frames queued before the
// start, `fed` more in 10 ms fragments, each late block short at its deadline
// (or empty) until `late` after it.
FedRun FedPassThrough(int prefill, int fed, const std::vector<int>& lateBlocks, Micros late, std::size_t blocks,
                      bool emptyAtDeadline = false) {
    ChildProcess child = test::RunPump([=] {
        auto stream = test::StreamAt(48000);
        test::Queue(*stream, test::CountingFrames(1, prefill));
        auto deliveries = test::Fragments(0, test::CountingFrames(prefill + 1, fed));
        for (int block : lateBlocks) {
            test::DelayBlock(deliveries, 0, block, late, test::kFirstReserve, emptyAtDeadline);
        }
        test::RunFed({&stream->ring}, deliveries, [&] { PassThroughPump(*stream, 48000); });
    });
    return test::ReadFedRun(child, blocks * kBlockBytes);
}

TEST(PassThroughPumpGrace, AFragmentLateWithinTheGraceLeavesNoHole) {
    // A source running from the first block; one that starts mid-block and
    // whose very next block is late; and a running source whose ring is
    // empty at a deadline, its audio having ended exactly with a block.
    struct Row {
        int prefill;
        std::vector<int> lateBlocks;
        bool emptyAtDeadline;
    };
    for (const Row& row : {Row{960 + int(test::kReserve), {3, 6}, false}, Row{int(test::kReserve) + 300, {1, 4}, false},
                           Row{960 + int(test::kReserve), {3, 6}, true}}) {
        SCOPED_TRACE(testing::Message() << row.prefill << (row.emptyAtDeadline ? ", empty at the deadline" : ""));
        const auto sound = test::CountingFrames(1, row.prefill + 480 * 16);
        const FedRun run = test::PunctualRun(
            [&] { return FedPassThrough(row.prefill, 480 * 16, row.lateBlocks, Millis(2), 11, row.emptyAtDeadline); },
            kPunctual);
        ASSERT_EQ(run.out.size(), 960u * 11);
        EXPECT_EQ(test::Sounding(run.out), sound);  // whatever the timing
        if (run.worstLateness < kPunctual) {
            EXPECT_EQ(run.out, test::Placed(sound, test::StartLead(std::size_t(row.prefill)), run.out.size()));
        }
    }
}

TEST(PassThroughPumpGrace, AFragmentLaterThanTheGraceIsPaddedAndLosesNothing) {
    // 50 ms late: block 3 goes out with half its audio, then silence until
    // the fragment and those held up behind it come; nothing is dropped.
    const auto sound = test::CountingFrames(1, 960 + 480 * 16);
    bool padded = false;
    for (int attempt = 0; attempt < 3 && !padded; ++attempt) {  // only a stalled pump could miss the gap
        const FedRun run = FedPassThrough(960, 480 * 16, {3}, Millis(50), 14);
        ASSERT_EQ(run.out.size(), 960u * 14);
        EXPECT_EQ(test::Sounding(run.out), sound);
        padded = run.out != test::Placed(sound, test::StartLead(960), run.out.size());
    }
    EXPECT_TRUE(padded);
}

TEST(PassThroughPumpGrace, APumpHeldUpWaitsForTheAudioHeldUpWithIt) {
    const int prefill = 960 + int(test::kReserve);
    const auto sound = test::CountingFrames(1, prefill + 480 * 16);
    for (const test::HeldUp& row : test::kHeldUp) {
        SCOPED_TRACE(test::Describe(row));
        const FedRun run = test::PunctualRun(
            [&] {
                ChildProcess child = test::RunPump([&] {
                    auto stream = test::StreamAt(48000);
                    test::Queue(*stream, {sound.begin(), sound.begin() + prefill});
                    auto deliveries = test::Fragments(0, {sound.begin() + prefill, sound.end()});
                    test::HoldDeliveries(deliveries, row.heldFrom, row.heldUntil);
                    test::RunFed({&stream->ring}, deliveries, [&] { PassThroughPump(*stream, 48000); },
                                 std::nullopt, test::PumpHold{row.holdAt, Millis(30)});
                });
                return test::ReadFedRun(child, 14 * kBlockBytes);
            },
            kPunctual);
        ASSERT_EQ(run.out.size(), 960u * 14);
        EXPECT_EQ(test::Sounding(run.out), sound);  // whatever the timing
        if (run.worstLateness < kPunctual) {
            EXPECT_EQ(run.out, test::Placed(sound, 0, run.out.size()));
        }
    }
}

TEST(PassThroughPumpGrace, ASourceThatStopsIsWaitedForOnceAndThePaceHolds) {
    // A whole block and the reserve, then nothing: the reserve's block waits
    // out the grace for the rest. Or two whole blocks: the empty block after
    // them waits. Either way every empty block after that goes out at its
    // deadline, not a grace later.
    for (int frames : {960 + int(test::kReserve), 960 * 2}) {
        SCOPED_TRACE(frames);
        const auto sound = test::CountingFrames(1, frames);
        ChildProcess child = test::RunPump([&] {
            auto stream = test::StreamAt(48000);
            test::Queue(*stream, sound);
            test::RunFed({&stream->ring}, {}, [&] { PassThroughPump(*stream, 48000); });
        });
        test::ExpectEmptyBlocksOnTime(child, sound);
    }
}

// Runs of silence between the first and the last sound.
int SilencesInside(const std::vector<StereoFrame>& frames) {
    int silences = 0;
    const std::size_t last = frames.size() - test::FirstSound({frames.rbegin(), frames.rend()});
    for (std::size_t i = test::FirstSound(frames) + 1; i < last; ++i) {
        const bool silent = frames[i].left == 0 && frames[i].right == 0;
        const bool wasSilent = frames[i - 1].left == 0 && frames[i - 1].right == 0;
        silences += silent && !wasSilent;
    }
    return silences;
}

// A 48 kHz run of a counting source, a whole block and the reserve queued at
// the start and `fragments` more fed, of a server that stalls and then skips
// the audio it missed (PipeWire does): at each of `stalls`, `skipped`
// fragments never come, and the rest come on time. Also the sound that did come.
struct SkippingRun {
    FedRun run;
    std::vector<StereoFrame> sound;
};
SkippingRun RunSkipping(int fragments, const std::vector<int>& stalls, int skipped, std::size_t blocks) {
    const int prefill = 960 + int(test::kReserve);
    const auto fed = test::CountingFrames(prefill + 1, 480 * fragments);
    const auto isSkipped = [&](int fragment) {
        return std::any_of(stalls.begin(), stalls.end(),
                           [&](int at) { return fragment >= at && fragment < at + skipped; });
    };
    SkippingRun result{{}, test::CountingFrames(1, prefill)};
    for (int fragment = 0; fragment < fragments; ++fragment) {
        if (!isSkipped(fragment)) {
            const auto from = fed.begin() + 480 * fragment;
            result.sound.insert(result.sound.end(), from, from + 480);
        }
    }
    result.run = test::PunctualRun(
        [&] {
            ChildProcess child = test::RunPump([&] {
                auto stream = test::StreamAt(48000);
                test::Queue(*stream, test::CountingFrames(1, prefill));
                auto deliveries = test::Fragments(0, fed);
                for (int fragment = fragments - 1; fragment >= 0; --fragment) {
                    if (isSkipped(fragment)) {
                        deliveries.erase(deliveries.begin() + fragment);
                    }
                }
                test::RunFed({&stream->ring}, deliveries, [&] { PassThroughPump(*stream, 48000); });
            });
            return test::ReadFedRun(child, blocks * kBlockBytes);
        },
        kPunctual);
    return result;
}

TEST(PassThroughPumpGrace, ASourceHeldUpOnceIsCoveredTheNextTime) {
    // Fragments 4 to 6 never come, nor do 22 to 24. The first stall outlasts
    // the reserve and the grace: block 3 goes out with half its audio. The
    // source then starts again keeping 20 ms back instead of 10 (its silence
    // takes those 10 ms more), and the same stall at block 12 is covered: a
    // block whole at its deadline, and the next ones whole within the grace.
    const auto [run, sound] = RunSkipping(40, {4, 22}, 3, 24);
    ASSERT_EQ(run.out.size(), 960u * 24);
    EXPECT_EQ(test::Sounding(run.out), sound);  // whatever the timing
    if (run.worstLateness < kPunctual) {
        const std::size_t beforeHole = 960 * 3 + 480;
        const std::vector<StereoFrame> head(sound.begin(), sound.begin() + std::ptrdiff_t(beforeHole));
        const std::vector<StereoFrame> rest(sound.begin() + std::ptrdiff_t(beforeHole), sound.end());
        EXPECT_EQ(SilencesInside(run.out), 1);
        EXPECT_EQ(run.out, test::Joined(head, test::Placed(rest, 480 + 960 + 480, run.out.size() - beforeHole)));
    }
}

TEST(PassThroughPumpGrace, HoldUpsGrowTheReserveTo30MsAtMost) {
    // Four stalls that skip 50 ms each, more than any reserve covers: each
    // leaves a hole. The reserve grows by 10 ms at the first two and no
    // further, so the run ends 20 ms later than the audio it lost: the
    // silence inside is what was skipped and those 20 ms.
    const auto [run, sound] = RunSkipping(90, {4, 24, 44, 64}, 5, 50);
    ASSERT_EQ(run.out.size(), 960u * 50);
    EXPECT_EQ(test::Sounding(run.out), sound);  // whatever the timing
    if (run.worstLateness < kPunctual) {
        EXPECT_EQ(SilencesInside(run.out), 4);
        const std::size_t lastSound = run.out.size() - test::FirstSound({run.out.rbegin(), run.out.rend()});
        EXPECT_EQ(lastSound - sound.size(), 4 * 5 * 480 + 960);
    }
}

TEST(PassThroughPumpGrace, AStopDuringTheGraceEndsTheRunWithNoFurtherBlock) {
    // Block 1 finds half its audio after a whole block 0 and waits; the stop
    // comes as soon as it has taken that half.
    const auto sound = test::CountingFrames(1, 960 + 480);
    for (int attempt = 0; attempt < 3; ++attempt) {
        ChildProcess child = test::RunPump([&] {
            auto stream = test::StreamAt(48000);
            test::Queue(*stream, sound);
            test::RunFed({&stream->ring}, {}, [&] { PassThroughPump(*stream, 48000); },
                         test::StopWhenTaken{&stream->ring, sound.size() * sizeof(StereoFrame)});
        });
        ASSERT_EQ(test::ToFrames(child.readStdout(kBlockBytes, kPumpTimeout)), test::Placed(sound, 0, 960));
        const auto start = Clock::now();
        const FedRun rest = test::ReadFedRun(child, std::string::npos);
        EXPECT_LT(SecondsSince(start), 0.5);
        EXPECT_TRUE(rest.out.empty() || rest.out == test::Placed({sound.begin() + 960, sound.end()}, 0, 960));
        if (rest.stoppedAt < Millis(20) + kLateFragmentGrace) {  // before the grace was over
            EXPECT_TRUE(rest.out.empty());
            return;
        }
    }
}

}  // namespace
}  // namespace quorbel

namespace quorbel {
namespace {

// The reports of a second of blocks that all hold `held` frames (running or not).
std::vector<std::optional<std::uint32_t>> Seconds(BacklogWatch& watch, int seconds, std::size_t held,
                                                  bool running = true) {
    std::vector<std::optional<std::uint32_t>> told;
    for (int block = 0; block < 50 * seconds; ++block) {
        if (const auto frames = WatchBacklog(watch, running, held, 480)) {
            told.push_back(frames);
        }
    }
    return told;
}

// What a source held while it settled in is its own; what queued later is
// told, a second at a time, and a silent second tells nothing.
TEST(BacklogWatch, TellsWhatQueuedAfterTheSourceSettledIn) {
    BacklogWatch watch;
    EXPECT_TRUE(Seconds(watch, 5, 480 + 300).empty());
    EXPECT_EQ(Seconds(watch, 1, 480 + 300), (std::vector<std::optional<std::uint32_t>>{0u}));
    EXPECT_EQ(Seconds(watch, 2, 480 + 300 + 2000), (std::vector<std::optional<std::uint32_t>>{2000u, 2000u}));
    EXPECT_TRUE(Seconds(watch, 1, 0, false).empty());
    EXPECT_EQ(Seconds(watch, 1, 100), (std::vector<std::optional<std::uint32_t>>{0u})) << "below the usual is none";
}

// At 48 kHz, in milliseconds: what goes of a backlog, second after second.
std::vector<std::uint32_t> LetGo(const std::vector<std::pair<std::uint32_t, std::optional<std::uint32_t>>>& seconds) {
    BacklogWatch watch;
    std::vector<std::uint32_t> told;
    for (const auto& [backlog, peer] : seconds) {
        const auto peerFrames = peer ? std::optional<std::uint32_t>(*peer * 48) : std::nullopt;
        told.push_back(BacklogToLetGo(watch, backlog * 48, peerFrames, 48000) / 48);
    }
    return told;
}

// Alone, a source keeps a backlog of tens of milliseconds (it absorbs the
// next stall); a larger one goes all the way. In a mix, what puts a source
// behind its peer goes from 5 ms on, down to the peer's level.
TEST(BacklogWatch, LetsGoALargeBacklogOrWhatPutsASourceBehindItsPeer) {
    using Told = std::vector<std::uint32_t>;
    EXPECT_EQ(LetGo({{30, {}}, {41, {}}, {30, {}}, {3, {}}, {2, {}}, {30, {}}}), (Told{0, 41, 30, 3, 0, 0}));
    EXPECT_EQ(LetGo({{4, 0}, {12, 2}, {6, 2}, {4, 2}, {30, 30}}), (Told{0, 10, 4, 0, 0}));
    EXPECT_EQ(LetGo({{12, {}}, {12, 0}, {12, {}}}), (Told{0, 12, 0})) << "a silent peer holds nobody back";
    EXPECT_EQ(LetGo({{50, 45}, {45, 45}, {1, 0}}), (Told{50, 45, 0})) << "alone or not, 40 ms is too much";
}

// At 48 kHz with a 480-frame reserve: what a lone source tells its device
// after each second whose blocks all left it holding the given frames (0
// frames: a second it did not run throughout).
std::vector<std::int32_t> ToldAlone(BacklogWatch& watch, const std::vector<std::size_t>& heldPerSecond,
                                    bool keepCover = true) {
    std::vector<std::int32_t> told;
    for (const std::size_t held : heldPerSecond) {
        for (int block = 0; block < 50; ++block) {
            const bool running = held > 0 || block > 0;
            if (WatchBacklog(watch, running, held, 480)) {
                told.push_back(SurplusToTell(watch, 48000, keepCover));
            }
        }
    }
    return told;
}

// A source alone that keeps less than its reserve second after second is
// built up by what it lacks, until that is no more than 2 ms; one short
// second (a late fragment), a shortfall of 3 ms or less, or a second it did
// not run throughout asks for nothing. A backlog is let go as before.
TEST(BacklogWatch, BuildsUpALoneSourceLeftShortOfItsReserve) {
    using Told = std::vector<std::int32_t>;
    BacklogWatch watch;
    EXPECT_TRUE(ToldAlone(watch, {480, 480, 480, 480, 480}).empty());
    EXPECT_EQ(ToldAlone(watch, {100, 480, 200, 200, 200, 250, 390}), (Told{0, 0, 0, 0, -280, -230, 0}))
        << "goes on until the shortfall is within 2 ms";
    EXPECT_EQ(ToldAlone(watch, {480, 340, 340, 340, 340}), (Told{0, 0, 0, 0, 0})) << "3 ms short is not short";
    EXPECT_EQ(ToldAlone(watch, {300, 300, 0, 300, 300, 300}), (Told{0, 0, 0, 0, 0, -180})) << "a gap starts over";
    EXPECT_EQ(ToldAlone(watch, {480 + 2400}), (Told{2400}));
}

// Held up lately, a lone source keeps what queued behind its hole, up to
// 40 ms, to cover the next hold-up; settled, it lets go of more than 5 ms
// down to 2 ms, at once.
TEST(BacklogWatch, ALoneSourceKeepsCoverOnlyWhileItIsBeingHeldUp) {
    using Told = std::vector<std::int32_t>;
    BacklogWatch watch;
    ASSERT_TRUE(ToldAlone(watch, {480, 480, 480, 480, 480}).empty());
    EXPECT_EQ(ToldAlone(watch, {480 + 1440, 480 + 1440}, true), (Told{0, 0}));
    EXPECT_EQ(ToldAlone(watch, {480 + 1440, 480 + 480, 480 + 96, 480 + 96}, false), (Told{1440, 480, 0, 0}));
    EXPECT_EQ(ToldAlone(watch, {480 + 240, 480 + 241}, false), (Told{0, 241})) << "from more than 5 ms";
}

// Alone, a source has no place to keep: a lump its first deliveries brought
// is latency like a backlog that queued later, kept as cover up to 40 ms
// while it is being held up, and let go once it has settled.
TEST(BacklogWatch, ALoneSourceLetsGoWhatItHeldAsItSettledIn) {
    using Told = std::vector<std::int32_t>;
    BacklogWatch lump;
    ASSERT_TRUE(ToldAlone(lump, {480 + 2880, 480 + 2880, 480 + 2880, 480 + 2880, 480 + 2880}).empty());
    EXPECT_EQ(ToldAlone(lump, {480 + 2880, 480 + 1000, 480 + 90}), (Told{2880, 1000, 0}));
    BacklogWatch small;
    ASSERT_TRUE(ToldAlone(small, {480 + 960, 480 + 960, 480 + 960, 480 + 960, 480 + 960}).empty());
    EXPECT_EQ(ToldAlone(small, {480 + 960}, true), (Told{0})) << "20 ms is cover while held up";
    EXPECT_EQ(ToldAlone(small, {480 + 960, 480 + 500}, false), (Told{960, 500}));
}

// A lone source's reserve, block by block at 48 kHz (480 frames to start
// with, a 480-frame step, 1440 at most).
struct ReserveRun {
    StartReserve reserve = StartReserveAt(48000);
    bool running = false;

    // Blocks that end in audio (or not); the reserve each started with.
    void blocks(int count, bool endsInAudio) {
        for (int i = 0; i < count; ++i) {
            const std::size_t startWith = ReserveToStartWith(reserve);
            NoteBlock(reserve, running, endsInAudio, startWith);
            running = endsInAudio;
        }
    }
};

// Dry for up to three blocks inside its audio is a hold-up: the source
// starts again a step further back, up to 30 ms. Each minute it then runs
// throughout gives a step back, down to where it began; running dry again
// starts the minute over. A longer quiet is a source that stopped, and
// changes nothing. Only the very first start keeps a millisecond less.
TEST(StartReserve, GrowsAtEachHoldUpAndShrinksAStepEachSettledMinute) {
    ReserveRun run;
    EXPECT_EQ(KeptBackAtStart(run.reserve), 432u);
    run.blocks(100, true);
    EXPECT_EQ(run.reserve.frames, 480u);
    EXPECT_FALSE(HeldUpLately(run.reserve));
    run.blocks(4, false);
    EXPECT_EQ(KeptBackAtStart(run.reserve), 480u);
    run.blocks(100, true);
    EXPECT_EQ(run.reserve.frames, 480u) << "a stop is no hold-up";
    for (int holdUp = 0; holdUp < 3; ++holdUp) {
        run.blocks(3, false);
        run.blocks(100, true);
    }
    EXPECT_EQ(run.reserve.frames, 1440u);
    EXPECT_TRUE(HeldUpLately(run.reserve));
    run.blocks(2899, true);
    EXPECT_EQ(run.reserve.frames, 1440u);
    run.blocks(1, true);
    EXPECT_EQ(run.reserve.frames, 960u) << "a minute after the hold-up";
    EXPECT_FALSE(HeldUpLately(run.reserve));
    run.blocks(1, false);
    run.blocks(2999, true);
    EXPECT_EQ(run.reserve.frames, 1440u) << "held up again: the minute starts over";
    run.blocks(1, true);
    EXPECT_EQ(run.reserve.frames, 960u);
    run.blocks(3000 * 3, true);
    EXPECT_EQ(run.reserve.frames, 480u) << "never below where it began";
}

// A source whose 480-frame fragments come on its own clock, 300 ppm slow and
// with the rate made good (as the platform's clock lock does), read by 20 ms
// blocks for 40 seconds: what its queue holds after each block sweeps
// through a whole fragment as the fragments' times drift against the
// deadlines, and holds steady on its pace.
TEST(HeldOnPace, HoldsSteadyWhileTheFragmentsDriftAgainstTheBlocks) {
    constexpr double kStretch = 1.0 + 300e-6;
    constexpr std::int64_t kStartNs = 1'000'000'000;
    std::size_t rawLow = SIZE_MAX, rawHigh = 0, paceLow = SIZE_MAX, paceHigh = 0;
    std::uint64_t delivered = 0, newestNs = 0;
    std::uint64_t consumed = 0;
    std::int64_t fragment = 0;
    for (std::int64_t block = 2; block <= 2000; ++block) {  // from 40 ms: two fragments kept
        const std::int64_t deadlineNs = kStartNs + block * 20'000'000;
        for (;; ++fragment) {
            const auto cameNs = kStartNs + std::int64_t(double(fragment) * 10'000'000.0 * kStretch);
            if (cameNs > deadlineNs) {
                break;
            }
            delivered = std::uint64_t(double(fragment + 1) * 480.0 * kStretch);
            newestNs = std::uint64_t(cameNs);
        }
        consumed += 960;
        ASSERT_GE(delivered, consumed) << block;
        const std::size_t held = delivered - consumed;
        const std::size_t onPace = HeldOnPace(held, newestNs, 48000, At(deadlineNs));
        rawLow = std::min(rawLow, held), rawHigh = std::max(rawHigh, held);
        paceLow = std::min(paceLow, onPace), paceHigh = std::max(paceHigh, onPace);
    }
    EXPECT_GE(rawHigh - rawLow, 470u);
    EXPECT_LE(paceHigh - paceLow, 4u);
}

TEST(HeldOnPace, CountsNoTimeItDoesNotKnowAndNoQuietBeyondAFragmentOrTwo) {
    EXPECT_EQ(HeldOnPace(700, 0, 48000, At(5'000'000'000)), 700u) << "no time known";
    EXPECT_EQ(HeldOnPace(700, 5'000'000'000, 48000, At(4'000'000'000)), 700u) << "a time after now";
    EXPECT_EQ(HeldOnPace(700, 5'000'000'000, 48000, At(5'005'000'000)), 940u);
    EXPECT_EQ(HeldOnPace(700, 5'000'000'000, 44100, At(5'020'000'000)), 1582u);
    EXPECT_EQ(HeldOnPace(700, 5'000'000'000, 44100, At(5'500'000'000)), 1582u) << "a quiet is not the pace";
}

}  // namespace
}  // namespace quorbel
