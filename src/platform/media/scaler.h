#pragma once
// The one libswscale set-up for every picture conversion above the codec library: which flags a
// conversion gets, which colour details a source's tags give, and a context that keeps both from
// call to call. Source reading, the engine's pixel transfer and the image-file writer all scale
// through it, so the same picture comes out the same in each.

#include <cstdint>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "platform/media/pixel_buffer.h"

struct SwsContext;

namespace qm {

// Whether a format holds Y'CbCr samples (matrix and range apply to it).
bool isYCbCrFormat(AVPixelFormat format);

// libswscale's colour-space code for a matrix: BT.709 where the tags do not say.
int scalerColorspace(ColorMatrix matrix);

// The format libswscale should be given: it wants the full-range flag, not the old JPEG formats.
AVPixelFormat scalerFormat(AVPixelFormat format);

// The flags for a conversion between these formats and sizes: same-size RGB to RGB is a repack
// (nearest sample, exact); everything else bicubic, which at large reductions widens its filter
// and still averages the covered area. Measured by bench/scaler_quality against area averaging
// and bilinear at 25 % to 150 %: bicubic is closest to an anti-aliased resample of the lossless
// original at every ratio, the same size (chroma only) included: 2 to 9 dB better at a quarter
// size for about twice area's time there, a tenth more time at the same size.
// Exact rounding and full chroma interpolation always: without them the table-driven converter
// is more than a level off on average and halves chroma detail on the way to packed RGB.
int scalerFlags(AVPixelFormat source, int sourceWidth, int sourceHeight, AVPixelFormat destination,
                int destinationWidth, int destinationHeight);

class Scaler {
public:
    struct Geometry {
        int sourceWidth = 0, sourceHeight = 0;
        AVPixelFormat sourceFormat = AV_PIX_FMT_NONE;
        int destinationWidth = 0, destinationHeight = 0;
        AVPixelFormat destinationFormat = AV_PIX_FMT_NONE;
        int flags = 0;
        // 1: the caller's thread; 0: sliced over the processor's threads.
        int threads = 1;
        bool operator==(const Geometry&) const = default;
    };
    struct Colour {
        int sourceSpace = 0, sourceRange = 0, destinationSpace = 0, destinationRange = 0;
        bool operator==(const Colour&) const = default;
    };

    // A conversion of `geometry` from formats as our buffers name them (the JPEG Y'CbCr formats
    // included), with the flags scalerFlags gives.
    static Geometry geometryFor(int sourceWidth, int sourceHeight, AVPixelFormat source, int destinationWidth,
                                int destinationHeight, AVPixelFormat destination, int threads = 1);
    // Y'CbCr sources by their tags' matrix and range (unsaid range: full for the JPEG formats,
    // else video range); output in BT.709, full range for RGB and the JPEG formats.
    static Colour colourFor(AVPixelFormat source, const ColorTags& sourceTags, AVPixelFormat destination);

    Scaler() = default;
    ~Scaler();
    Scaler(const Scaler&) = delete;
    Scaler& operator=(const Scaler&) = delete;

    // Ready for `geometry` (formats as scalerFormat gives them) with `colour` set. The context is
    // made anew only when the geometry changes. The library's cached-context call is no use here:
    // it compares against values the scaler adjusts while it initialises (flags it forces,
    // formats it swaps), so it quietly replaces a context that is still right and the colour
    // details set on it go. Throws MediaError("pixel transfer", ...).
    void prepare(const Geometry& geometry, const Colour& colour);

    // Converts a whole picture of the prepared geometry; every destination row must come out.
    void scale(const uint8_t* const source[4], const int sourceStrides[4], uint8_t* const destination[4],
               const int destinationStrides[4]);

private:
    SwsContext* context_ = nullptr;
    Geometry geometry_;
    // The ranges the context was made for: the library picks a plain copy between equal Y'CbCr
    // formats at its making and keeps it whatever ranges are set later.
    int madeSourceRange_ = 0, madeDestinationRange_ = 0;
    Colour applied_;
    bool colourSet_ = false;
};

}  // namespace qm
