#include "platform/media/mono_resampler.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "platform/media/ffmpeg_internal.h"
#include "platform/media/media_error.h"

namespace qm {

struct MonoResampler::Context {
    ffmpeg::SwrPtr swr;
};

MonoResampler::MonoResampler(int inputRate, int outputRate)
    : inputRate_(inputRate), outputRate_(outputRate), context_(std::make_unique<Context>()) {
    if (inputRate < 1 || outputRate < 1) throw MediaError("audio conversion", "unsupported sample rate");
    reset();
}

MonoResampler::~MonoResampler() = default;

void MonoResampler::reset() {
    SwrContext* raw = nullptr;
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    int rc = swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_FLT, outputRate_, &mono, AV_SAMPLE_FMT_FLT, inputRate_, 0,
                                 nullptr);
    if (rc < 0) throw MediaError::fromCode("audio conversion", rc);
    context_->swr.reset(raw);
    av_opt_set(raw, "resampler", "soxr", 0);
    av_opt_set_double(raw, "precision", 20, 0);  // soxr's high quality
    rc = swr_init(raw);
    if (rc < 0) {
        context_->swr.reset();
        throw MediaError::fromCode("audio conversion", rc);
    }
}

void MonoResampler::convert(const float* input, int count, std::vector<float>& out) {
    if (count <= 0) return;
    inputSamples_ += count;
    SwrContext* swr = context_->swr.get();
    const int capacity = swr ? swr_get_out_samples(swr, count) : -1;
    if (capacity >= 0) {
        const size_t at = out.size();
        out.resize(at + size_t(capacity));
        uint8_t* dst = reinterpret_cast<uint8_t*>(out.data() + at);
        const uint8_t* src = reinterpret_cast<const uint8_t*>(input);
        const int got = swr_convert(swr, &dst, capacity, &src, count);
        if (got >= 0) {
            out.resize(at + size_t(got));
            outputSamples_ += got;
            return;
        }
        out.resize(at);
    }
    // The run becomes silence up to where the input now reaches, and the converter starts over.
    const long long due = inputSamples_ * outputRate_ / inputRate_;
    if (due > outputSamples_) {
        out.insert(out.end(), size_t(due - outputSamples_), 0.0f);
        outputSamples_ = due;
    }
    try {
        reset();
    } catch (const MediaError&) {
        context_->swr.reset();
    }
}

void MonoResampler::flush(std::vector<float>& out) {
    SwrContext* swr = context_->swr.get();
    if (!swr) return;
    const int capacity = swr_get_out_samples(swr, 0);
    if (capacity <= 0) return;
    const size_t at = out.size();
    out.resize(at + size_t(capacity));
    uint8_t* dst = reinterpret_cast<uint8_t*>(out.data() + at);
    const int got = swr_convert(swr, &dst, capacity, nullptr, 0);
    out.resize(at + size_t(std::max(got, 0)));
    outputSamples_ += std::max(got, 0);
}

}  // namespace qm
