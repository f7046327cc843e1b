#include "StreamMeasure.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

#include "DriftDevices.h"
#include "PulseTestSupport.h"

namespace quorbel::test {
namespace {

constexpr double kNsPerSecond = 1e9;
constexpr double kWindowSeconds = 0.002;
constexpr std::uint64_t kHopFrames = 8;
constexpr double kQuietSeconds = 0.005;
// Crossing half the burst's amplitude marks an onset; a quarter, its end.
constexpr double kOnFraction = 0.5;
constexpr double kOffFraction = 0.25;

double Median(std::vector<double> values) { return Percentile(std::move(values), 0.5); }

}  // namespace

void HoleFinder::feed(std::span<const std::int16_t> stereo) {
    for (std::size_t i = 0; 2 * i + 1 < stereo.size(); ++i, ++frame_) {
        if (stereo[2 * i] == 0 && stereo[2 * i + 1] == 0) {
            ++run_;
            continue;
        }
        if (!firstSound_) {
            firstSound_ = frame_;
        } else if (run_ >= minFrames_) {
            holes_.push_back({frame_ - run_, run_});
        }
        run_ = 0;
    }
}

void PaceTracker::add(std::uint64_t frames, std::int64_t arrivalNs) {
    frames_ += frames;
    const double t = double(arrivalNs - originNs_) / kNsPerSecond;
    const double lead = double(frames_) - rate_ * t;
    ahead_ = std::max(ahead_, lead);
    behind_ = std::max(behind_, -lead);
    const auto second = std::int64_t(std::floor(t));
    if (second != second_) {
        if (second_ >= 0) {
            caughtUpBehind_ = std::max(caughtUpBehind_, -secondBest_);
        }
        second_ = second;
        secondBest_ = lead;
    }
    secondBest_ = std::max(secondBest_, lead);
    if (t < 1.0) {
        return;  // the start carries the server's first, buffered delivery
    }
    // Welford's update keeps the fit exact over long runs.
    count_ += 1;
    const double dt = t - meanT_;
    meanT_ += dt / count_;
    meanF_ += (double(frames_) - meanF_) / count_;
    coMoment_ += dt * (double(frames_) - meanF_);
    spread_ += dt * (t - meanT_);
}

double PaceTracker::ratePpm() const {
    if (count_ < 10 || spread_ <= 0) {
        return 0;
    }
    return (coMoment_ / spread_ / rate_ - 1.0) * 1e6;
}

OnsetDetector::OnsetDetector(double rate, double frequency, double levelDbfs)
    : frequency_(frequency),
      expected_(std::pow(10.0, levelDbfs / 20.0)),
      window_(std::size_t(std::lround(rate * kWindowSeconds))),
      history_(window_, 0.0),
      quietLimit_(std::uint64_t(rate * kQuietSeconds)) {
    for (std::size_t i = 0; i < window_; ++i) {
        const double phase = 2.0 * std::numbers::pi * frequency * double(i) / rate;
        cosines_.push_back(std::cos(phase));
        sines_.push_back(std::sin(phase));
    }
}

double OnsetDetector::amplitude() const {
    double re = 0, im = 0;
    for (std::size_t i = 0; i < window_; ++i) {
        const double x = history_[(head_ + i) % window_];
        re += x * cosines_[i];
        im -= x * sines_[i];
    }
    return 2.0 * std::hypot(re, im) / double(window_);
}

void OnsetDetector::step(double amplitude) {
    const double on = kOnFraction * expected_;
    if (!active_ && amplitude >= on) {
        // Where the amplitude crossed the mark, between this hop and the last;
        // it grows about linearly while the burst fills the window.
        const double rise = amplitude - previous_;
        const double into = rise > 0 ? std::clamp((on - previous_) / rise, 0.0, 1.0) : 1.0;
        const double crossing = double(frame_ - kHopFrames) + into * double(kHopFrames);
        onsets_.push_back(crossing - double(window_) * kOnFraction);
        const bool fromSilence = lastSilentFrame_ && frame_ - *lastSilentFrame_ <= window_;
        soundOnsets_.push_back(fromSilence ? *lastSilentFrame_ + 1 : frame_ - 1);
        active_ = true;
        quietFrames_ = 0;
    } else if (active_) {
        quietFrames_ = amplitude < kOffFraction * expected_ ? quietFrames_ + kHopFrames : 0;
        if (quietFrames_ >= quietLimit_) {
            active_ = false;
        }
    }
    previous_ = amplitude;
}

void OnsetDetector::feed(std::span<const std::int16_t> stereo) {
    for (std::size_t i = 0; 2 * i + 1 < stereo.size(); ++i) {
        // Silence is a run of zeros: a tone crosses zero on single frames.
        zeroRun_ = stereo[2 * i] == 0 && stereo[2 * i + 1] == 0 ? zeroRun_ + 1 : 0;
        if (zeroRun_ >= kHoleFrames) {
            lastSilentFrame_ = frame_;
        }
        history_[head_] = (double(stereo[2 * i]) + double(stereo[2 * i + 1])) / 65536.0;
        head_ = (head_ + 1) % window_;
        ++frame_;
        if (frame_ >= window_ && frame_ % kHopFrames == 0) {
            step(amplitude());
        }
    }
}

void ArrivalLog::add(std::uint64_t endFrame, std::int64_t arrivalNs) {
    ends_.push_back(endFrame);
    times_.push_back(arrivalNs);
}

std::optional<std::int64_t> ArrivalLog::arrivalOf(std::uint64_t frame) const {
    auto it = std::upper_bound(ends_.begin(), ends_.end(), frame);
    if (it == ends_.end()) {
        return std::nullopt;
    }
    return times_[std::size_t(it - ends_.begin())];
}

std::vector<double> ArrivalLog::deliveryFrames() const {
    std::vector<double> frames;
    for (std::size_t i = 1; i < ends_.size(); ++i) {
        frames.push_back(double(ends_[i] - ends_[i - 1]));
    }
    return frames;
}

std::vector<double> ArrivalLog::deliveryGapsMs() const {
    std::vector<double> gaps;
    for (std::size_t i = 1; i < times_.size(); ++i) {
        gaps.push_back(double(times_[i] - times_[i - 1]) / 1e6);
    }
    return gaps;
}

double ArrivalLog::longestGapMs(std::int64_t fromNs, std::int64_t toNs) const {
    double longest = 0;
    for (std::size_t i = 1; i < times_.size(); ++i) {
        if (times_[i] >= fromNs && times_[i] <= toNs) {
            longest = std::max(longest, double(times_[i] - times_[i - 1]) / 1e6);
        }
    }
    return longest;
}

std::vector<SeenHole> HolesNotIn(const StreamAnalysis& mine, const StreamAnalysis& other, std::int64_t toleranceNs) {
    constexpr double kSlackMs = 1.0;
    struct Theirs {
        std::int64_t arrivalNs;
        double ms;
    };
    std::vector<Theirs> theirs;
    for (const Hole& hole : other.holes.holes()) {
        if (auto seen = other.arrivals.arrivalOf(hole.frame)) {
            theirs.push_back({*seen, HoleMs(hole, other.rate)});
        }
    }
    std::vector<SeenHole> own;
    for (const Hole& hole : mine.holes.holes()) {
        const auto seen = mine.arrivals.arrivalOf(hole.frame);
        if (!seen) {
            continue;
        }
        const double ms = HoleMs(hole, mine.rate);
        const bool shared = std::any_of(theirs.begin(), theirs.end(), [&](const Theirs& t) {
            return t.arrivalNs >= *seen - toleranceNs && t.arrivalNs <= *seen + toleranceNs && t.ms >= ms - kSlackMs;
        });
        if (!shared) {
            own.push_back({hole, *seen});
        }
    }
    return own;
}

StreamAnalysis::StreamAnalysis(double rate_, std::int64_t originNs, const AnalysisOptions& options)
    : rate(rate_), holes(options.holeFrames), pace(rate_, originNs) {
    for (double frequency : options.eventFrequencies) {
        events.emplace_back(rate_, frequency, options.eventDbfs);
    }
}

void StreamAnalysis::feed(std::string_view bytes, std::int64_t arrivalNs) {
    carry_.append(bytes);
    const std::size_t whole = carry_.size() / 4 * 4;
    if (whole == 0) {
        return;
    }
    const std::vector<std::int16_t> samples = Samples(carry_.substr(0, whole));
    carry_.erase(0, whole);
    const std::span<const std::int16_t> stereo(samples);
    const bool silentSoFar = !holes.firstSound();
    holes.feed(stereo);
    if (silentSoFar && holes.firstSound()) {
        firstSoundNs = arrivalNs;
    }
    for (auto& detector : events) {
        detector.feed(stereo);
    }
    frames += whole / 4;
    pace.add(whole / 4, arrivalNs);
    arrivals.add(frames, arrivalNs);
}

FormatHeader ReadFormatHeader(ChildProcess& tool, Millis timeout) {
    FormatHeader header;
    const std::int64_t deadline = MonotonicNs() + std::chrono::nanoseconds(timeout).count();
    std::string text;
    bool ended = false;
    while (text.find('\n') == std::string::npos && !ended && MonotonicNs() < deadline) {
        text += tool.readStdoutAvailable(1 << 16, Millis(100), &ended);
    }
    header.arrivalNs = MonotonicNs();
    const auto newline = text.find('\n');
    if (newline == std::string::npos) {
        return header;
    }
    header.line = text.substr(0, newline);
    header.rest = text.substr(newline + 1);
    const auto fields = Split(header.line, '\t');
    if (fields.size() == 4 && fields[0] == "FORMAT" && fields[2] == "2" && fields[3] == "s16le") {
        header.rate = std::uint32_t(std::strtoul(fields[1].c_str(), nullptr, 10));
        header.ok = header.rate > 0;
    }
    return header;
}

Drops ParseDrops(const std::string& standardError) {
    Drops drops;
    for (const auto& line : Split(standardError, '\n')) {
        const auto fields = Split(line, '\t');
        if (fields.size() != 2) {
            continue;
        }
        if (fields[0] == "BUFFER_DROPS") {
            drops.system = std::strtoull(fields[1].c_str(), nullptr, 10);
        } else if (fields[0] == "MICROPHONE_BUFFER_DROPS") {
            drops.microphone = std::strtoull(fields[1].c_str(), nullptr, 10);
        }
    }
    return drops;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = std::size_t(std::lround(fraction * double(values.size() - 1)));
    return values[std::min(at, values.size() - 1)];
}

std::vector<double> OnsetLatenciesMs(const OnsetDetector& events, const ArrivalLog& arrivals, std::int64_t periodNs) {
    std::vector<double> latencies;
    for (std::uint64_t onset : events.soundOnsets()) {
        auto arrival = arrivals.arrivalOf(onset);
        if (!arrival) {
            continue;
        }
        const std::int64_t burst = *arrival / periodNs * periodNs;
        latencies.push_back(double(*arrival - burst) / 1e6);
    }
    return latencies;
}

OffsetSummary PairOffsets(const OnsetDetector& a, const OnsetDetector& b, double rate, double maxApartMs) {
    OffsetSummary summary;
    const auto& others = b.onsets();
    for (double onset : a.onsets()) {
        auto nearest = std::min_element(others.begin(), others.end(), [onset](double x, double y) {
            return std::abs(x - onset) < std::abs(y - onset);
        });
        if (nearest == others.end()) {
            break;
        }
        const double offsetMs = (*nearest - onset) * 1000.0 / rate;
        if (std::abs(offsetMs) <= maxApartMs) {
            summary.series.emplace_back(onset / rate, offsetMs);
        }
    }
    summary.pairs = summary.series.size();
    if (summary.pairs == 0) {
        return summary;
    }
    std::vector<double> first, last;
    for (std::size_t i = 0; i < summary.pairs; ++i) {
        (i < 5 ? first : last).push_back(summary.series[i].second);
    }
    summary.startMs = Median(first);
    for (const auto& [seconds, offset] : summary.series) {
        summary.maxChangeMs = std::max(summary.maxChangeMs, std::abs(offset - summary.startMs));
    }
    last = std::vector<double>(last.end() - std::ptrdiff_t(std::min<std::size_t>(5, last.size())), last.end());
    summary.endChangeMs = last.empty() ? 0 : Median(last) - summary.startMs;
    return summary;
}

}  // namespace quorbel::test
