// The mixed pump's work per block: two refills, 2 x 960 sample-and-hold
// steps and the saturating sum (48 kHz system source, 44.1 kHz microphone).
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "pump/Pump.h"

namespace quorbel {
namespace {

void Feed(CaptureStream& stream, std::size_t frames) {
    std::vector<StereoFrame> block(frames, StereoFrame{1200, -1200});
    stream.ring.append(block.data(), block.size() * sizeof(StereoFrame));
}

void BM_MixedBlock(benchmark::State& state) {
    auto system = std::make_unique<CaptureStream>();
    auto microphone = std::make_unique<CaptureStream>();
    ResetCaptureStream(*system);
    ResetCaptureStream(*microphone);
    system->format.mSampleRate = 48000;
    microphone->format.mSampleRate = 44100;
    MixSource systemSource = MakeMixSource(*system);
    MixSource microphoneSource = MakeMixSource(*microphone);
    std::vector<StereoFrame> block(kMixedBlockFrames);
    for (auto _ : state) {
        state.PauseTiming();
        Feed(*system, 960);  // what 20 ms brings from each source
        Feed(*microphone, 882);
        state.ResumeTiming();
        BuildMixedBlock(systemSource, microphoneSource, true, block);
        benchmark::DoNotOptimize(block.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MixedBlock);

}  // namespace
}  // namespace quorbel
