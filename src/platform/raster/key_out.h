#pragma once
// The key-out kernel: removes a white, black or coloured background from a picture per pixel
// and optionally recolours what stays.

#include <QImage>

namespace qm {

struct KeyOutParameters {
    float keyColor[3] = {0, 1, 0};
    // 1 removes white, 2 black, 3 the key colour; anything below 0.5 removes nothing.
    float mode = 0;
    float tolerance = 0;
    float softness = 0;
    // 1 gives every pixel the tint, 2 only neutral (grey) ones; below 0.5 keeps colours.
    float recolor = 0;
    float tint[3] = {1, 1, 1};
};

// Per pixel, on the straight colour c and alpha A of the picture:
// white: d = max(1 − c), colour un-blended from white, a = clamp((d − tol) / (1 − tol));
// black: d = max(c), colour c / d, same a; colour: a = smoothstep(tol, tol + soft, |c − key| / √3).
// Then recolouring, and the result premultiplied with alpha A × a. Returns a 16-bit
// premultiplied layer of the picture's size.
QImage keyOut(const QImage& image, const KeyOutParameters& parameters);

}  // namespace qm
