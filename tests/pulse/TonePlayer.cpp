// quorbel_tone_player SINK RATE FREQUENCY DBFS SECONDS
// Plays a stereo sine (both channels alike, s16le) into SINK and nowhere
// else: the stream may not be moved, so it stays put when the default sink
// changes (the server moves every other stream on the old default along) and
// ends when its sink goes. Exits 0 when the tone has been played, 1 otherwise.
#include <pulse/pulseaudio.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <numbers>
#include <vector>

namespace {

struct Tone {
    double step = 0;       // radians per frame
    double amplitude = 0;  // in sample units
    double phase = 0;
    std::uint64_t framesLeft = 0;
    pa_mainloop_api* api = nullptr;
    int status = 1;
};

void Write(pa_stream* stream, std::size_t bytes, void* userdata) {
    auto* tone = static_cast<Tone*>(userdata);
    const std::size_t frames = std::min<std::uint64_t>(bytes / 4, tone->framesLeft);
    std::vector<std::int16_t> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        samples[2 * i] = samples[2 * i + 1] = std::int16_t(std::lround(tone->amplitude * std::sin(tone->phase)));
        tone->phase = std::fmod(tone->phase + tone->step, 2 * std::numbers::pi);
    }
    pa_stream_write(stream, samples.data(), samples.size() * 2, nullptr, 0, PA_SEEK_RELATIVE);
    tone->framesLeft -= frames;
    if (tone->framesLeft == 0) {
        pa_stream_set_write_callback(stream, nullptr, nullptr);
        tone->status = 0;
        tone->api->quit(tone->api, 0);
    }
}

void StreamState(pa_stream* stream, void* userdata) {
    auto* tone = static_cast<Tone*>(userdata);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        tone->api->quit(tone->api, 1);  // the sink went, or the server
    }
}

struct Start {
    Tone* tone;
    const char* sink;
    pa_sample_spec sample;
};

void ContextState(pa_context* context, void* userdata) {
    auto* start = static_cast<Start*>(userdata);
    const pa_context_state_t state = pa_context_get_state(context);
    if (!PA_CONTEXT_IS_GOOD(state)) {
        start->tone->api->quit(start->tone->api, 1);
        return;
    }
    if (state != PA_CONTEXT_READY) {
        return;
    }
    pa_stream* stream = pa_stream_new(context, "Quorbel test tone", &start->sample, nullptr);
    pa_stream_set_state_callback(stream, StreamState, start->tone);
    pa_stream_set_write_callback(stream, Write, start->tone);
    if (pa_stream_connect_playback(stream, start->sink, nullptr, PA_STREAM_DONT_MOVE, nullptr, nullptr) < 0) {
        start->tone->api->quit(start->tone->api, 1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s SINK RATE FREQUENCY DBFS SECONDS\n", argv[0]);
        return 2;
    }
    const auto rate = std::uint32_t(std::strtoul(argv[2], nullptr, 10));
    Tone tone;
    tone.step = 2 * std::numbers::pi * std::strtod(argv[3], nullptr) / rate;
    tone.amplitude = std::pow(10.0, std::strtod(argv[4], nullptr) / 20.0) * 32767.0;
    tone.framesLeft = std::uint64_t(std::strtod(argv[5], nullptr) * rate);
    pa_mainloop* mainloop = pa_mainloop_new();
    tone.api = pa_mainloop_get_api(mainloop);
    Start start{&tone, argv[1], {PA_SAMPLE_S16LE, rate, 2}};
    pa_context* context = pa_context_new(tone.api, "Quorbel test tone");
    pa_context_set_state_callback(context, ContextState, &start);
    pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    int result = 1;
    pa_mainloop_run(mainloop, &result);
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(mainloop);
    return tone.status;
}
