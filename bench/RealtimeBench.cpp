// What the audio thread costs: conversion in the IO callback next to a plain
// copy of the same bytes, and the ring's append and take.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "realtime/Realtime.h"

namespace quorbel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kFrames = 480;  // 10 ms at 48 kHz, a typical callback

AudioStreamBasicDescription Format(AudioFormatFlags flags, std::uint32_t bits, bool planar) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = 48000;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = flags | kAudioFormatFlagIsPacked | (planar ? kAudioFormatFlagIsNonInterleaved : 0);
    format.mBitsPerChannel = bits;
    format.mChannelsPerFrame = 2;
    format.mBytesPerFrame = (planar ? 1 : 2) * bits / 8;
    return format;
}

// Converts kFrames per call; reports frames per second and the time of one
// call relative to a memcpy of the same input bytes.
void Convert(benchmark::State& state, AudioStreamBasicDescription format) {
    const bool planar = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
    const std::uint32_t bufferBytes = kFrames * format.mBytesPerFrame;
    std::vector<std::uint8_t> left(bufferBytes), right(bufferBytes), copy(bufferBytes * 2);
    for (std::size_t i = 0; i < bufferBytes; ++i) {
        left[i] = std::uint8_t(i * 37);
        right[i] = std::uint8_t(i * 11);
    }
    if ((format.mFormatFlags & kAudioFormatFlagIsFloat) != 0) {  // in-range floats, like real audio
        for (std::size_t i = 0; i + 4 <= bufferBytes; i += 4) {
            const float sample = float(i % 2000) / 2000.0f - 0.5f;
            std::memcpy(&left[i], &sample, 4);
            std::memcpy(&right[i], &sample, 4);
        }
    }
    std::vector<std::uint8_t> storage(sizeof(AudioBufferList) + sizeof(AudioBuffer));
    auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
    list->mNumberBuffers = planar ? 2 : 1;
    AudioBuffer buffers[2] = {{1, bufferBytes, left.data()}, {1, bufferBytes, right.data()}};
    std::memcpy(list->mBuffers, buffers, sizeof buffers);
    auto stream = std::make_unique<CaptureStream>();
    ResetCaptureStream(*stream);
    stream->format = format;

    const auto start = Clock::now();
    for (auto _ : state) {
        CaptureIOProc(0, nullptr, list, nullptr, nullptr, nullptr, stream.get());
        stream->ring.readPos.store(stream->ring.writePos.load());  // keep room without copying out
    }
    const double convertSeconds = std::chrono::duration<double>(Clock::now() - start).count();

    const std::size_t inputBytes = bufferBytes * (planar ? 2 : 1);
    const auto copyStart = Clock::now();
    for (std::int64_t i = 0; i < state.iterations(); ++i) {
        std::memcpy(copy.data(), left.data(), bufferBytes);
        if (planar) {
            std::memcpy(copy.data() + bufferBytes, right.data(), bufferBytes);
        }
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    const double copySeconds = std::chrono::duration<double>(Clock::now() - copyStart).count();

    state.SetItemsProcessed(state.iterations() * kFrames);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(inputBytes));
    state.counters["x_memcpy"] = copySeconds > 0 ? convertSeconds / copySeconds : 0;
}

void BM_ConvertFloat32Interleaved(benchmark::State& state) { Convert(state, Format(kAudioFormatFlagIsFloat, 32, false)); }
void BM_ConvertInt16Interleaved(benchmark::State& state) {
    Convert(state, Format(kAudioFormatFlagIsSignedInteger, 16, false));
}
void BM_ConvertInt24Interleaved(benchmark::State& state) {
    Convert(state, Format(kAudioFormatFlagIsSignedInteger, 24, false));
}
void BM_ConvertFloat32NonInterleaved(benchmark::State& state) {
    Convert(state, Format(kAudioFormatFlagIsFloat, 32, true));
}
BENCHMARK(BM_ConvertFloat32Interleaved);
BENCHMARK(BM_ConvertInt16Interleaved);
BENCHMARK(BM_ConvertInt24Interleaved);
BENCHMARK(BM_ConvertFloat32NonInterleaved);

// One pump block (20 ms at 48 kHz) through the ring, wrapping as it goes.
void BM_RingAppendTake(benchmark::State& state) {
    auto ring = std::make_unique<ByteRing>();
    std::vector<std::uint8_t> block(3840, 7), out(3840);
    for (auto _ : state) {
        ring->append(block.data(), block.size());
        benchmark::DoNotOptimize(ring->take(out.data(), out.size()));
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * 3840);
}
BENCHMARK(BM_RingAppendTake);

}  // namespace
}  // namespace quorbel
