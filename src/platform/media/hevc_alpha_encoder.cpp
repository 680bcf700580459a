#include "platform/media/hevc_alpha_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>

#include "platform/media/media_capabilities.h"
#include "platform/media/media_error.h"

#if QM_HAVE_X265_ALPHA
#include <x265.h>
#endif

namespace qm {

namespace {

constexpr uint8_t kNalVps = 32, kNalSps = 33, kNalPps = 34, kNalPrefixSei = 39;

// Reads the bits of an RBSP (emulation-prevention bytes removed) for the few SPS fields we need.
class BitReader {
public:
    explicit BitReader(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    uint32_t bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (pos_ >= bytes_.size() * 8) throw MediaError("video input", "the stream's SPS is cut short");
            v = (v << 1) | ((bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
            ++pos_;
        }
        return v;
    }
    void skip(size_t n) {
        if (pos_ + n > bytes_.size() * 8) throw MediaError("video input", "the stream's SPS is cut short");
        pos_ += n;
    }
    uint32_t ue() {
        int zeros = 0;
        while (bits(1) == 0)
            if (++zeros > 31) throw MediaError("video input", "the stream's SPS holds a bad number");
        return zeros == 0 ? 0 : (1u << zeros) - 1 + bits(zeros);
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    size_t pos_ = 0;
};

std::vector<uint8_t> rbspOf(std::span<const uint8_t> nal) {
    std::vector<uint8_t> out;
    out.reserve(nal.size());
    int zeros = 0;
    for (size_t i = 2; i < nal.size(); ++i) {  // past the two-byte NAL header
        const uint8_t b = nal[i];
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
    return out;
}

uint8_t nalType(std::span<const uint8_t> nal) { return static_cast<uint8_t>((nal[0] >> 1) & 0x3f); }
uint8_t nalLayer(std::span<const uint8_t> nal) { return static_cast<uint8_t>(((nal[0] & 1) << 5) | (nal[1] >> 3)); }

struct SpsFacts {
    uint8_t profileTierLevel[12]{};  // profile space/tier/idc, compatibility, constraints, level
    uint32_t maxSubLayersMinus1 = 0;
    bool temporalIdNested = false;
    uint32_t chromaFormat = 1;
    uint32_t lumaBitDepthMinus8 = 0;
    uint32_t chromaBitDepthMinus8 = 0;
};

SpsFacts readSps(std::span<const uint8_t> nal) {
    BitReader r(rbspOf(nal));
    SpsFacts f;
    r.bits(4);  // sps_video_parameter_set_id
    f.maxSubLayersMinus1 = r.bits(3);
    f.temporalIdNested = r.bits(1) != 0;
    for (auto& b : f.profileTierLevel) b = static_cast<uint8_t>(r.bits(8));
    // Sub-layer profile and level flags, then the sub-layers' own fields.
    bool profilePresent[8]{}, levelPresent[8]{};
    for (uint32_t i = 0; i < f.maxSubLayersMinus1; ++i) {
        profilePresent[i] = r.bits(1) != 0;
        levelPresent[i] = r.bits(1) != 0;
    }
    if (f.maxSubLayersMinus1 > 0)
        for (uint32_t i = f.maxSubLayersMinus1; i < 8; ++i) r.bits(2);
    for (uint32_t i = 0; i < f.maxSubLayersMinus1; ++i) {
        if (profilePresent[i]) r.skip(88);
        if (levelPresent[i]) r.skip(8);
    }
    r.ue();  // sps_seq_parameter_set_id
    f.chromaFormat = r.ue();
    if (f.chromaFormat == 3) r.bits(1);  // separate_colour_plane_flag
    r.ue();                              // width
    r.ue();                              // height
    if (r.bits(1) != 0) {                // conformance window
        r.ue();
        r.ue();
        r.ue();
        r.ue();
    }
    f.lumaBitDepthMinus8 = r.ue();
    f.chromaBitDepthMinus8 = r.ue();
    if (f.chromaFormat > 3 || f.lumaBitDepthMinus8 > 7 || f.chromaBitDepthMinus8 > 7)
        throw MediaError("video input", "the stream's SPS holds values out of range");
    return f;
}

void put16(std::vector<uint8_t>& out, size_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

}  // namespace

std::vector<uint8_t> hevcDecoderConfiguration(const std::vector<std::span<const uint8_t>>& nalUnits) {
    std::optional<SpsFacts> sps;
    for (const auto& nal : nalUnits)
        if (nal.size() > 2 && nalType(nal) == kNalSps && nalLayer(nal) == 0) {
            sps = readSps(nal);
            break;
        }
    if (!sps) throw MediaError("video input", "the stream has no base-layer SPS");

    std::vector<uint8_t> out;
    out.push_back(1);  // configurationVersion
    for (const uint8_t b : sps->profileTierLevel) out.push_back(b);
    out.push_back(0xf0);  // reserved, min_spatial_segmentation_idc 0
    out.push_back(0x00);
    out.push_back(0xfc);  // reserved, parallelismType 0 (unknown)
    out.push_back(static_cast<uint8_t>(0xfc | sps->chromaFormat));
    out.push_back(static_cast<uint8_t>(0xf8 | sps->lumaBitDepthMinus8));
    out.push_back(static_cast<uint8_t>(0xf8 | sps->chromaBitDepthMinus8));
    put16(out, 0);  // avgFrameRate unknown
    // constantFrameRate 0, numTemporalLayers, temporalIdNested, lengthSizeMinusOne 3
    out.push_back(static_cast<uint8_t>(((sps->maxSubLayersMinus1 + 1) << 3) | (sps->temporalIdNested ? 4 : 0) | 3));

    const uint8_t order[] = {kNalVps, kNalSps, kNalPps, kNalPrefixSei};
    uint8_t arrays = 0;
    const size_t arrayCountAt = out.size();
    out.push_back(0);
    for (const uint8_t type : order) {
        std::vector<std::span<const uint8_t>> ofType;
        for (const auto& nal : nalUnits)
            if (nal.size() > 2 && nalType(nal) == type) ofType.push_back(nal);
        if (ofType.empty()) continue;
        if (ofType.size() > 0xffff) throw MediaError("video input", "too many parameter sets");
        out.push_back(static_cast<uint8_t>(0x80 | type));  // array_completeness 1
        put16(out, ofType.size());
        for (const auto& nal : ofType) {
            if (nal.size() > 0xffff) throw MediaError("video input", "a parameter set is too long");
            put16(out, nal.size());
            out.insert(out.end(), nal.begin(), nal.end());
        }
        ++arrays;
    }
    out[arrayCountAt] = arrays;
    return out;
}

#if QM_HAVE_X265_ALPHA

namespace {

// x265's constant rate factor for a quality of 0...1: 40 - 30 * quality, so 0.65 gives 20.5, 0.85
// 14.5 and 0.95 11.5. The factor is logarithmic in the quantiser step, so a straight line spaces
// the qualities evenly in perceived terms: each 0.1 of quality is 3 steps, about 40 % more bits.
double hevcAlphaRateFactor(double quality) {
    const double q = std::isfinite(quality) ? std::clamp(quality, 0.0, 1.0) : 0.65;
    return 40.0 - 30.0 * q;
}

bool acceptsAlpha() {
    x265_param* p = x265_param_alloc();
    if (p == nullptr) return false;
    x265_param_default(p);
    const bool ok = x265_param_parse(p, "alpha", "1") == 0;
    x265_param_free(p);
    return ok;
}

}  // namespace

bool hevcAlphaEncoderAvailable() {
    static const bool available = acceptsAlpha();
    return available;
}

struct HevcAlphaEncoder::Impl {
    x265_param* param = nullptr;
    x265_encoder* encoder = nullptr;
    x265_picture* input = nullptr;
    x265_picture output[2]{};  // one per layer
    bool flushed = false;

    ~Impl() {
        if (encoder != nullptr) x265_encoder_close(encoder);
        if (input != nullptr) x265_picture_free(input);
        if (param != nullptr) x265_param_free(param);
    }

    std::vector<HevcAlphaPacket> run(x265_picture* in, const char* step) {
        std::vector<HevcAlphaPacket> packets;
        for (;;) {
            x265_nal* nals = nullptr;
            uint32_t count = 0;
            const int rc = x265_encoder_encode(encoder, &nals, &count, in, output);
            if (rc < 0) throw MediaError(step, "the HEVC alpha encoder failed");
            if (rc == 0 || count == 0) {
                if (in != nullptr || rc == 0) return packets;
                continue;
            }
            HevcAlphaPacket packet;
            size_t total = 0;
            for (uint32_t i = 0; i < count; ++i) total += nals[i].sizeBytes;
            packet.data.reserve(total);
            for (uint32_t i = 0; i < count; ++i)
                packet.data.insert(packet.data.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
            packet.pts = output[0].pts;
            packet.dts = output[0].dts;
            packet.key = output[0].sliceType == X265_TYPE_IDR || output[0].sliceType == X265_TYPE_I;
            packets.push_back(std::move(packet));
            // One call gives one access unit; while flushing, keep taking them until none is left.
            if (in != nullptr) return packets;
        }
    }
};

HevcAlphaEncoder::HevcAlphaEncoder(const HevcAlphaSettings& s) : impl_(std::make_unique<Impl>()) {
    if (!hevcAlphaEncoderAvailable()) throw MediaError("video input", "the HEVC encoder here has no alpha layer");
    if (s.width < 2 || s.height < 2 || s.width % 2 != 0 || s.height % 2 != 0)
        throw MediaError("video input", "HEVC with alpha needs even sides, not " + std::to_string(s.width) + " x " +
                                            std::to_string(s.height));
    Impl& w = *impl_;
    w.param = x265_param_alloc();
    if (w.param == nullptr) throw MediaError("video input", "Cannot allocate memory");
    if (x265_param_default_preset(w.param, "medium", nullptr) != 0)
        throw MediaError("video input", "the HEVC encoder refused its preset");
    x265_param* p = w.param;
    p->sourceWidth = s.width;
    p->sourceHeight = s.height;
    p->internalCsp = X265_CSP_I420;
    p->internalBitDepth = 8;
    if (s.rateNumerator > 0 && s.rateDenominator > 0) {
        p->fpsNum = static_cast<uint32_t>(s.rateNumerator);
        p->fpsDenom = static_cast<uint32_t>(s.rateDenominator);
    } else {
        p->fpsNum = 30;
        p->fpsDenom = 1;
    }
    // x265 needs at least one coding tree unit in each direction: smaller ones for small pictures.
    const int shorter = std::min(s.width, s.height);
    p->maxCUSize = shorter >= 64 ? 64 : shorter >= 32 ? 32 : 16;
    p->minCUSize = std::min<uint32_t>(p->minCUSize, p->maxCUSize);
    p->rc.rateControlMode = X265_RC_CRF;
    // x265 codes the alpha layer with the colour layer's quantiser, so one rate factor serves both:
    // the better of the two targets would leave no difference between the colour qualities.
    p->rc.rfConstant = hevcAlphaRateFactor(s.quality);
    if (s.maxKeyFrameInterval > 0) p->keyframeMax = s.maxKeyFrameInterval;
    // Every key frame an IDR picture, so a player that seeks to one shows it and what follows.
    p->bOpenGOP = 0;
    // Frame encoders stay parallel: setup patches x265 4.1, whose alpha layer advanced the rate
    // control's frame order a second time per picture, and whose encoder took a lookahead that came
    // back empty under load for the end of the stream; either let two frame encoders run the rate
    // control at once (a B picture then read another's references and crashed, and sizes varied).
    p->bAnnexB = 0;            // 4-byte lengths, as the movie's samples carry them
    p->bRepeatHeaders = 0;     // parameter sets live in the sample description only
    p->bEmitInfoSEI = 0;       // no encoder banner in the stream
    p->logLevel = X265_LOG_ERROR;
    p->vui.bEnableVideoSignalTypePresentFlag = 1;
    p->vui.videoFormat = 5;  // unspecified
    p->vui.bEnableVideoFullRangeFlag = 0;
    p->vui.bEnableColorDescriptionPresentFlag = 1;
    p->vui.colorPrimaries = 1;  // BT.709
    p->vui.transferCharacteristics = 1;
    p->vui.matrixCoeffs = 1;
    if (x265_param_parse(p, "alpha", "1") != 0) throw MediaError("video input", "the HEVC encoder here has no alpha layer");
    w.encoder = x265_encoder_open(p);
    if (w.encoder == nullptr) throw MediaError("video input", "the HEVC alpha encoder could not be opened");
    w.input = x265_picture_alloc();
    if (w.input == nullptr) throw MediaError("video input", "Cannot allocate memory");
    x265_picture_init(p, w.input);
    for (auto& out : w.output) x265_picture_init(p, &out);

    x265_nal* nals = nullptr;
    uint32_t count = 0;
    if (x265_encoder_headers(w.encoder, &nals, &count) < 0 || count == 0)
        throw MediaError("video input", "the HEVC alpha encoder gave no stream headers");
    std::vector<std::span<const uint8_t>> units;
    for (uint32_t i = 0; i < count; ++i) {
        // Each NAL unit carries its 4-byte length in front.
        if (nals[i].sizeBytes <= 4) continue;
        units.emplace_back(nals[i].payload + 4, nals[i].sizeBytes - 4);
    }
    hvcC_ = hevcDecoderConfiguration(units);
}

HevcAlphaEncoder::~HevcAlphaEncoder() = default;

std::vector<HevcAlphaPacket> HevcAlphaEncoder::encode(const PixelBuffer& picture, int64_t pts) {
    Impl& w = *impl_;
    if (w.flushed) throw MediaError("append", "the encoder has been flushed");
    if (picture.pixelFormat() != kPixelFormatYUVA420P || picture.width() != w.param->sourceWidth ||
        picture.height() != w.param->sourceHeight || picture.bytesPerRow(3) != picture.bytesPerRow(0))
        throw MediaError("append", "the picture does not match the HEVC alpha encoder");
    x265_picture& in = *w.input;
    // x265 reads the alpha plane at the luma plane's stride.
    for (int plane = 0; plane < 4; ++plane) {
        in.planes[plane] = const_cast<uint8_t*>(picture.data(plane));
        if (plane < 3) in.stride[plane] = static_cast<int>(picture.bytesPerRow(plane));
    }
    in.bitDepth = 8;
    in.colorSpace = X265_CSP_I420;
    in.pts = pts;
    in.sliceType = X265_TYPE_AUTO;
    return w.run(&in, "append");
}

std::vector<HevcAlphaPacket> HevcAlphaEncoder::flush() {
    Impl& w = *impl_;
    if (w.flushed) return {};
    w.flushed = true;
    return w.run(nullptr, "finish");
}

#else

bool hevcAlphaEncoderAvailable() { return false; }

struct HevcAlphaEncoder::Impl {};

HevcAlphaEncoder::HevcAlphaEncoder(const HevcAlphaSettings&) {
    throw MediaError("video input", "the HEVC encoder here has no alpha layer");
}
HevcAlphaEncoder::~HevcAlphaEncoder() = default;
std::vector<HevcAlphaPacket> HevcAlphaEncoder::encode(const PixelBuffer&, int64_t) {
    throw MediaError("append", "the HEVC encoder here has no alpha layer");
}
std::vector<HevcAlphaPacket> HevcAlphaEncoder::flush() { return {}; }

#endif

}  // namespace qm
