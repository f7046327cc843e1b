#include "pump/PumpTestSupport.h"

#include <cstring>

#include "capture/Capture.h"

namespace quorbel::test {

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
    std::memcpy(frames.data(), bytes.data(), frames.size() * 4);
    return frames;
}

}  // namespace quorbel::test
