// Measurements of an s16le stereo stream read as it arrives (the tool's
// standard output, or parec's): holes in a continuous signal, its pace
// against the host clock, burst onsets and when they reached the reader.
// Shared by the integration tests and the bench probe.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/ChildProcess.h"

namespace quorbel::test {

// A hole is a run of at least this many all-zero frames. A sine at -6 dBFS
// (above 1 Hz) rounds to zero on at most one frame in a row, two where a
// resampler holds a frame; a longer run is never the tone's own.
inline constexpr std::uint64_t kHoleFrames = 4;

// Blocks of the tool's pumps: rate / 50 frames.
inline double FramesPerBlock(double rate) { return rate / 50.0; }

struct Hole {
    std::uint64_t frame = 0;  // where it starts
    std::uint64_t frames = 0;
};
inline double HoleMs(const Hole& hole, double rate) { return double(hole.frames) * 1000.0 / rate; }

// Holes after the first sound; a run still open when the stream is cut
// is not one.
class HoleFinder {
public:
    explicit HoleFinder(std::uint64_t minFrames = kHoleFrames) : minFrames_(minFrames) {}
    void feed(std::span<const std::int16_t> stereo);
    const std::vector<Hole>& holes() const { return holes_; }
    std::optional<std::uint64_t> firstSound() const { return firstSound_; }

private:
    std::uint64_t minFrames_;
    std::uint64_t frame_ = 0;
    std::uint64_t run_ = 0;
    std::optional<std::uint64_t> firstSound_;
    std::vector<Hole> holes_;
};

// Frames received against rate * time since an origin. Being ahead is the
// writer's doing; being behind may also be a slow reader's, or the whole
// machine's: a stall holds up writer and reader alike, and the blocks missed
// follow at once. So behind is also taken where each second's count stood
// best, which a stall the writer makes up within the second does not reach,
// while a writer that falls behind for good does.
class PaceTracker {
public:
    PaceTracker(double rate, std::int64_t originNs) : rate_(rate), originNs_(originNs) {}
    void add(std::uint64_t frames, std::int64_t arrivalNs);
    double aheadFrames() const { return ahead_; }
    double behindFrames() const { return behind_; }
    double caughtUpBehindFrames() const { return std::max(caughtUpBehind_, -secondBest_); }
    // The rate the frames came at (least squares, from the second second
    // on), in ppm against `rate`; 0 until there are enough points.
    double ratePpm() const;

private:
    double rate_;
    std::int64_t originNs_;
    std::uint64_t frames_ = 0;
    double ahead_ = 0;
    double behind_ = 0;
    std::int64_t second_ = -1;  // since the origin, of the latest delivery
    double secondBest_ = 0;     // the most ahead (least behind) in that second
    double caughtUpBehind_ = 0;
    // Running least-squares fit of frames over seconds.
    double count_ = 0, meanT_ = 0, meanF_ = 0, coMoment_ = 0, spread_ = 0;
};

// Onsets of tone bursts at one frequency, found with a 2 ms single-bin DFT
// every few frames; a burst must end (stay quiet for 5 ms) before the next.
class OnsetDetector {
public:
    OnsetDetector(double rate, double frequency, double levelDbfs);
    void feed(std::span<const std::int16_t> stereo);
    // Frame positions, with the window's delay taken off.
    const std::vector<double>& onsets() const { return onsets_; }
    // The first frame of each burst that reached the reader: the first
    // non-zero frame when the burst came out of exact silence, else the
    // frame where it was found. For timing arrivals, which must never be
    // looked up in a delivery that came before the burst.
    const std::vector<std::uint64_t>& soundOnsets() const { return soundOnsets_; }
    double frequency() const { return frequency_; }

private:
    double amplitude() const;
    void step(double amplitude);

    double frequency_;
    double expected_;
    std::size_t window_;
    std::vector<double> cosines_, sines_, history_;
    std::size_t head_ = 0;
    std::uint64_t frame_ = 0;
    double previous_ = 0;
    bool active_ = false;
    std::uint64_t quietFrames_ = 0;
    std::uint64_t quietLimit_;
    std::vector<double> onsets_;
    std::vector<std::uint64_t> soundOnsets_;
    std::uint64_t zeroRun_ = 0;
    std::optional<std::uint64_t> lastSilentFrame_;
};

// When each frame reached the reader.
class ArrivalLog {
public:
    void add(std::uint64_t endFrame, std::int64_t arrivalNs);
    std::optional<std::int64_t> arrivalOf(std::uint64_t frame) const;
    // Frames per delivery and the gaps between deliveries (ms), for how
    // bursty a source is.
    std::vector<double> deliveryFrames() const;
    std::vector<double> deliveryGapsMs() const;
    // The longest wait for a delivery that came between fromNs and toNs.
    double longestGapMs(std::int64_t fromNs, std::int64_t toNs) const;

private:
    std::vector<std::uint64_t> ends_;
    std::vector<std::int64_t> times_;
};

struct AnalysisOptions {
    std::uint64_t holeFrames = kHoleFrames;
    std::vector<double> eventFrequencies;
    double eventDbfs = -6.0;
};

// Everything above, for one stream.
class StreamAnalysis {
public:
    StreamAnalysis(double rate, std::int64_t originNs, const AnalysisOptions& options);
    void feed(std::string_view bytes, std::int64_t arrivalNs);

    double rate;
    std::uint64_t frames = 0;
    std::optional<std::int64_t> firstSoundNs;  // arrival of the first non-zero frame
    HoleFinder holes;
    PaceTracker pace;
    std::vector<OnsetDetector> events;
    ArrivalLog arrivals;

private:
    std::string carry_;  // a partial frame
};

// A hole and when its first frame reached the reader.
struct SeenHole {
    Hole hole;
    std::int64_t arrivalNs = 0;
};
// The holes of `mine` that `other`, reading the same signal, does not show
// within toleranceNs of it, or shows shorter by more than a millisecond: a
// hole both show was in the signal itself (the server's), the rest, or the
// rest of it, is the writer's of `mine`.
std::vector<SeenHole> HolesNotIn(const StreamAnalysis& mine, const StreamAnalysis& other, std::int64_t toleranceNs);

// The FORMAT line that opens the tool's output, and whatever came with it.
struct FormatHeader {
    bool ok = false;
    std::uint32_t rate = 0;
    std::int64_t arrivalNs = 0;
    std::string rest;
    std::string line;
};
FormatHeader ReadFormatHeader(ChildProcess& tool, Millis timeout);

struct Drops {
    std::uint64_t system = 0;
    std::uint64_t microphone = 0;
};
// BUFFER_DROPS and MICROPHONE_BUFFER_DROPS from the tool's standard error.
Drops ParseDrops(const std::string& standardError);

double Percentile(std::vector<double> values, double fraction);

// Each onset's delay from its burst's host time: the latest whole multiple
// of periodNs before its arrival (bursts must be further apart than that).
std::vector<double> OnsetLatenciesMs(const OnsetDetector& events, const ArrivalLog& arrivals, std::int64_t periodNs);

// Onsets of b minus the nearest onsets of a, over the run.
struct OffsetSummary {
    std::size_t pairs = 0;
    double startMs = 0;      // median of the first five
    double maxChangeMs = 0;  // largest departure from the start
    double endChangeMs = 0;  // median of the last five, less the start
    std::vector<std::pair<double, double>> series;  // (seconds into the run, offset ms)
};
OffsetSummary PairOffsets(const OnsetDetector& a, const OnsetDetector& b, double rate, double maxApartMs);

}  // namespace quorbel::test
