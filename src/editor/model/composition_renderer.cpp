#include "editor/model/composition_renderer.h"

#include <QSet>

#include <memory>
#include <vector>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "core/conversion_error.h"
#include "editor/model/clip_effects.h"
#include "engine/media_frame_reader.h"
#include "platform/media/media_error.h"
#include "platform/media/pixel_buffer.h"
#include "platform/raster/blend_modes.h"
#include "platform/raster/parallel_rows.h"
#include "platform/raster/sampling.h"

namespace qm {

namespace {

SeparableBlend separable(BlendMode mode) {
    switch (mode) {
        case BlendMode::normal: return SeparableBlend::normal;
        case BlendMode::add: return SeparableBlend::add;
        case BlendMode::screen: return SeparableBlend::screen;
        case BlendMode::multiply: return SeparableBlend::multiply;
        case BlendMode::overlay: return SeparableBlend::overlay;
        case BlendMode::softLight: return SeparableBlend::softLight;
        case BlendMode::lighten: return SeparableBlend::lighten;
        case BlendMode::darken: return SeparableBlend::darken;
        case BlendMode::difference: return SeparableBlend::difference;
    }
    return SeparableBlend::normal;
}

void fillLayer(QImage& layer, uint16_t alpha) {
    const int w = layer.width();
    forEachRowBand(layer.height(), [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            auto* p = reinterpret_cast<uint16_t*>(layer.scanLine(y));
            for (int x = 0; x < w; ++x, p += 4) p[0] = 0, p[1] = 0, p[2] = 0, p[3] = alpha;
        }
    });
}

// Why a picture could not be read, in words, with what the library said after them.
std::string readFailure(const std::exception& e) {
    const auto* media = dynamic_cast<const MediaError*>(&e);
    const auto* conversion = dynamic_cast<const ConversionError*>(&e);
    std::string step = media ? media->step() : std::string();
    if (conversion && conversion->kind() == ConversionError::Kind::decodeFailed) step = "decode";
    const char* words = step == "decode"                             ? "its picture there can't be decoded"
                        : step == "read sample"                      ? "its data there can't be read"
                        : step == "open" || step == "read stream info" ? "the file can't be opened as a movie"
                                                                       : "its picture there can't be made";
    return std::string(words) + " (" + e.what() + ")";
}

std::string readFailure(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return readFailure(e);
    } catch (...) {
        return "its picture there can't be made";
    }
}

bool whole(double v) { return std::abs(v - std::round(v)) < 1e-6; }

// The size a w × h picture is drawn at when `place` only shrinks it and puts it on whole pixels
// (the preview of a fitted clip): the reader then scales it as it converts it, and it is blended
// as it comes. An empty size otherwise.
QSize shrunkOnPixels(const QTransform& place, double w, double h) {
    if (place.type() > QTransform::TxScale || !(place.m11() > 0) || !(place.m22() > 0)) return {};
    const double x0 = place.dx(), y0 = place.dy(), x1 = x0 + w * place.m11(), y1 = y0 + h * place.m22();
    if (!whole(x0) || !whole(y0) || !whole(x1) || !whole(y1)) return {};
    if (!(std::abs(x0) < kPainterReach && std::abs(y0) < kPainterReach)) return {};  // ints could not hold it
    const QSize size(int(std::lround(x1 - x0)), int(std::lround(y1 - y0)));
    if (size.width() < 1 || size.height() < 1 || size.width() > w || size.height() > h) return {};
    if (size.width() == int(w) && size.height() == int(h)) return {};
    return size;
}

// The steps of a clip's placement: minus the anchor, scaled, rotated (degrees), plus the position.
struct PlacementSteps {
    Vec2 anchor, scale, position;
    double rotation = 0;
};

PlacementSteps placementSteps(const Clip& clip, double w, double h, double ts, double W, double H, QSizeF medium) {
    double sx = W / std::max(w, 1.0), sy = H / std::max(h, 1.0);
    if (clip.fit == FitMode::fit) sx = sy = std::min(sx, sy);
    if (clip.fit == FitMode::fill) sx = sy = std::max(sx, sy);
    Vec2 anchor{std::trunc(w) * 0.5, std::trunc(h) * 0.5}, position{W * 0.5, H * 0.5}, scale{100, 100};
    double rotation = 0;
    if (clip.transform) {
        anchor = clip.transform->anchor.valueAt(ts);
        if (medium.width() > 0 && medium.height() > 0) anchor = {anchor.x * w / medium.width(), anchor.y * h / medium.height()};
        position = clip.transform->position.valueAt(ts);
        scale = clip.transform->scale.valueAt(ts);
        rotation = clip.transform->rotation.valueAt(ts);
    }
    return {anchor, {sx * scale.x / 100, sy * scale.y / 100}, position, rotation};
}

// A turn by `degrees`; not a number for a turn that is none, so that nothing is drawn with it.
QTransform turn(double degrees) {
    QTransform t;
    return std::isfinite(degrees) ? t.rotate(degrees) : QTransform(qQNaN(), qQNaN(), qQNaN(), qQNaN(), qQNaN(), qQNaN());
}

}  // namespace

QTransform clipPlacement(const Clip& clip, double w, double h, double ts, double W, double H, QSizeF medium) {
    const PlacementSteps p = placementSteps(clip, w, h, ts, W, H, medium);
    // QTransform composes left to right: the leftmost step applies first.
    return QTransform::fromTranslate(-p.anchor.x, -p.anchor.y) * QTransform::fromScale(p.scale.x, p.scale.y) * turn(p.rotation) *
           QTransform::fromTranslate(p.position.x, p.position.y);
}

QTransform clipPlacementInverse(const Clip& clip, double w, double h, double ts, double W, double H, QSizeF medium) {
    const PlacementSteps p = placementSteps(clip, w, h, ts, W, H, medium);
    // Built from the steps rather than by inverting the placement: a picture scaled by 1e308 has
    // no finite placement, yet every canvas point of it lies within reach of its anchor.
    return QTransform::fromTranslate(-p.position.x, -p.position.y) * turn(-p.rotation) *
           QTransform::fromScale(1.0 / p.scale.x, 1.0 / p.scale.y) * QTransform::fromTranslate(p.anchor.x, p.anchor.y);
}

std::array<QPointF, 4> clipLayerTransform(const Clip& clip, const MediaItem& media, double t, double canvasWidth,
                                          double canvasHeight) {
    const double w = media.width, h = media.height;
    const QTransform m = clipPlacement(clip, w, h, t - clip.start + clip.sourceIn, canvasWidth, canvasHeight);
    return {m.map(QPointF(0, 0)), m.map(QPointF(w, 0)), m.map(QPointF(w, h)), m.map(QPointF(0, h))};
}

MediaReadError::MediaReadError(QUuid mediaID, QString name, double seconds, std::string reason)
    : mediaID_(mediaID), name_(std::move(name)), seconds_(seconds), reason_(std::move(reason)) {
    char at[32];
    std::snprintf(at, sizeof at, "%.2f", seconds_);
    text_ = "\u201c" + name_.toStdString() + "\u201d can't be read at " + at + " s into the file, so the export was stopped: " +
            reason_;
}

CompositionRenderer::CompositionRenderer() = default;
CompositionRenderer::~CompositionRenderer() = default;

void CompositionRenderer::setReadAhead(double seconds) {
    std::lock_guard guard(lock_);
    readAhead_ = std::isfinite(seconds) && seconds > 0 ? seconds : 0;
}

void CompositionRenderer::clearReaders() {
    decltype(readers_) gone;
    {
        std::lock_guard guard(lock_);
        gone.swap(readers_);
    }
    // Their reads end here, outside the lock (a render may still hold some until its frame is done).
}

const MediaFrameReader* CompositionRenderer::reader(const QUuid& clipID) const {
    std::lock_guard guard(lock_);
    auto it = readers_.constFind(clipID);
    return it == readers_.cend() ? nullptr : (*it)->reader.get();
}

int CompositionRenderer::readerCount() const {
    std::lock_guard guard(lock_);
    return int(readers_.size());
}

QImage CompositionRenderer::render(const Project& project, const MediaInfos& infos, double t, QSize size, bool preview) {
    std::lock_guard rendering(renderLock_);
    QImage frame(std::max(size.width(), 1), std::max(size.height(), 1), kLayerFormat);
    fillLayer(frame, project.transparentBackground ? 0 : 65535);
    const double k = frame.width() / std::max(double(project.width), 1.0);
    std::vector<Layer> layers = visibleLayers(project, infos, t, k);
    const bool strict = strict_;
    fetchFrames(layers, strict);
    if (strict)
        for (const Layer& layer : layers)
            if (!layer.failure.empty()) {
                const MediaItem* media = project.mediaItem(layer.clip->mediaID);
                throw MediaReadError(layer.clip->mediaID, media ? media->name : QString(), layer.ts, layer.failure);
            }
    double spacing = 0;
    {
        std::lock_guard guard(lock_);
        spacing = readAhead_;
    }
    if (spacing > 0) readAhead(layers, spacing);
    compose(frame, layers, project, k, preview);
    // Once the frame is composed, so that the work does not compete with it.
    if (prepareNext_) prepareNext(layers);
    return frame;
}

std::vector<CompositionRenderer::Layer> CompositionRenderer::visibleLayers(const Project& project, const MediaInfos& infos,
                                                                           double t, double scale) {
    const double W = project.width, H = project.height;
    QSet<QUuid> drawable;
    std::vector<Layer> layers;  // bottom first
    std::lock_guard guard(lock_);
    for (auto track = project.tracks.rbegin(); track != project.tracks.rend(); ++track) {
        if (!track->isVisible) continue;
        const Clip* clip = track->clip(t);
        if (!clip) continue;
        const MediaItem* media = project.mediaItem(clip->mediaID);
        if (!media) continue;
        auto info = infos.constFind(clip->mediaID);
        if (info == infos.cend() || info->width <= 0 || info->height <= 0) continue;
        const double o = clip->effectiveOpacity(t);
        drawable.insert(clip->id);
        if (!(o > 0.001)) continue;
        const double ts = t - clip->start + clip->sourceIn;
        std::shared_ptr<ReaderSlot>& slot = readers_[clip->id];
        if (!slot) {
            try {
                slot = std::make_shared<ReaderSlot>();
                slot->reader = std::make_unique<MediaFrameReader>(media->path.toStdString(), *info);
            } catch (const std::exception& e) {
                readers_.remove(clip->id);  // tried again at the next render
                if (strict_) throw MediaReadError(media->id, media->name, ts, readFailure(e));
                continue;
            }
        }
        const QTransform place = clipPlacement(*clip, info->width, info->height, ts, W, H) * QTransform::fromScale(scale, scale);
        // Pictures with alpha are shrunk premultiplied, by the painter, or their edges would darken.
        const QSize shrunk = info->hasAlpha ? QSize() : shrunkOnPixels(place, info->width, info->height);
        const bool readsOwnSlot = std::none_of(layers.begin(), layers.end(), [&](const Layer& l) { return l.slot == slot; });
        // shrunkOnPixels has checked that the corner fits an int.
        const QPoint shrunkAt = shrunk.isEmpty() ? QPoint() : QPoint(int(std::lround(place.dx())), int(std::lround(place.dy())));
        layers.push_back({clip, slot, readsOwnSlot, ts, o, QSizeF(info->width, info->height), shrunk, shrunkAt, {}, {}});
    }
    for (auto it = readers_.begin(); it != readers_.end();) {
        if (drawable.contains(it.key()))
            ++it;
        else
            it = readers_.erase(it);
    }
    return layers;
}

void CompositionRenderer::fetchFrames(std::vector<Layer>& layers, bool strict) {
    // A frame read ahead for this very time is taken as it is, and so is its failure (the reader
    // stays failed after one, and would only say so).
    auto fetch = [strict](Layer& layer) {
        ReaderSlot& slot = *layer.slot;
        slot.preparing.wait();
        const auto check = [&] {
            if (strict && layer.failure.empty() && slot.reader->endedEarly(layer.ts))
                layer.failure = "the file ends before this frame";
        };
        if (slot.aheadTask.valid()) {
            slot.aheadTask.wait();
            PixelBufferRef early = std::move(slot.ahead);
            std::string failure = std::move(slot.aheadFailure);
            slot.aheadFailure.clear();
            if (std::abs(slot.aheadTime - layer.ts) < 1e-7 && slot.aheadSize == layer.shrunk) {
                if (early || !failure.empty()) {
                    layer.frame = std::move(early);
                    layer.failure = std::move(failure);
                    check();
                    return;
                }
            }
        }
        try {
            layer.frame = slot.reader->frame(layer.ts, layer.shrunk.width(), layer.shrunk.height());
        } catch (...) {
            layer.frame.reset();
            layer.failure = readFailure(std::current_exception());
        }
        check();
    };
    // Each layer's reader decodes and converts on a worker of the background pool; the first on
    // this thread.
    std::vector<PoolTask> pending;
    for (size_t i = 1; i < layers.size(); ++i)
        if (layers[i].readsOwnSlot) pending.emplace_back([&fetch, &layer = layers[i]] { fetch(layer); });
    if (!layers.empty()) fetch(layers[0]);
    for (PoolTask& task : pending) task.wait();
    for (Layer& layer : layers)
        if (!layer.readsOwnSlot)
            for (const Layer& first : layers)
                if (first.slot == layer.slot && first.readsOwnSlot) layer.frame = first.frame;
}

void CompositionRenderer::readAhead(std::vector<Layer>& layers, double seconds) {
    for (Layer& layer : layers) {
        const double next = layer.ts + seconds;
        if (!layer.readsOwnSlot || !(next < layer.clip->sourceIn + layer.clip->duration)) continue;
        ReaderSlot* slot = layer.slot.get();
        const QSize size = layer.shrunk;
        slot->aheadTime = next;
        slot->aheadSize = size;
        slot->aheadTask = PoolTask([slot, next, size] {
            try {
                slot->ahead = slot->reader->frame(next, size.width(), size.height());
            } catch (...) {
                slot->ahead.reset();
                slot->aheadFailure = readFailure(std::current_exception());
            }
        });
    }
}

void CompositionRenderer::prepareNext(std::vector<Layer>& layers) {
    for (Layer& layer : layers) {
        if (!layer.readsOwnSlot || layer.slot->aheadTask.valid()) continue;
        MediaFrameReader* reader = layer.slot->reader.get();
        const QSize size = layer.shrunk;
        layer.slot->preparing = PoolTask([reader, size] { reader->prepareNext(size.width(), size.height()); });
    }
}

void CompositionRenderer::compose(QImage& frame, const std::vector<Layer>& layers, const Project& project, double k,
                                  bool preview) {
    const double W = project.width, H = project.height;
    // Layers that come row by row are blended together in one pass; one drawn through the painter
    // first blends those before it.
    std::vector<RowLayer> rowLayers;
    std::vector<std::unique_ptr<ClipEffectChain>> chains;
    const auto blendRowLayers = [&] {
        blendLayersRows(frame, rowLayers);
        rowLayers.clear();
    };
    for (const Layer& layer : layers) {
        const Clip* clip = layer.clip;
        const double ts = layer.ts, o = layer.opacity;
        const PixelBufferRef& source = layer.frame;
        if (!source || source->pixelFormat() != kPixelFormatBGRA) continue;
        chains.push_back(std::make_unique<ClipEffectChain>(
            clip->transform ? ClipEffectSettings::make(*clip->transform, ts, preview) : ClipEffectSettings{}));
        const ClipEffectChain& chain = *chains.back();
        const float opacity = o >= 0.999 ? 1.0f : float(o);
        const SeparableBlend mode = separable(clip->blendMode);
        const double w = source->width(), h = source->height();
        // A picture the reader shrank to the size it is drawn at only moves.
        const bool shrunk = !layer.shrunk.isEmpty() && QSize(int(w), int(h)) == layer.shrunk;
        QTransform place = shrunk ? QTransform::fromTranslate(layer.shrunkAt.x(), layer.shrunkAt.y())
                                  : clipPlacement(*clip, w, h, ts, W, H, layer.medium) * QTransform::fromScale(k, k);
        // Worked out in double: a picture wholly off the frame is left out before anything becomes
        // an int. One reaching past the painter (magnified, far off, or without a finite placement
        // at all) is sampled through the inverse, finite wherever the picture can be seen.
        const PlacedEdges placed = placedEdges(place, w, h);
        const double fw = frame.width(), fh = frame.height();
        const bool finite = placed.within(fw, fh, qInf());
        if (finite && !placed.meets(fw, fh)) continue;
        const bool painted = placed.within(fw, fh, kPainterReach);
        if (painted && place.type() <= QTransform::TxTranslate && whole(place.dx()) && whole(place.dy())) {
            // Unscaled on whole pixels: the frame goes through the chain straight into the blend.
            const PixelBuffer& frameRef = *source;
            rowLayers.push_back({QRect(int(std::lround(place.dx())), int(std::lround(place.dy())), int(w), int(h)),
                               [&frameRef, &chain](int y, int x0, int x1, Rgba* out) {
                                   chain.frameRow(frameRef.data() + size_t(y) * frameRef.bytesPerRow() + 4 * size_t(x0),
                                                  x1 - x0, out);
                               },
                               mode, opacity});
            continue;
        }
        blendRowLayers();
        QImage picture = layerFromFrame(*source, chain);
        if (picture.isNull()) continue;
        if (scratch_.size() != frame.size()) scratch_ = makeLayer(frame.width(), frame.height());
        Area touched;
        if (painted) {
            // Below half size the painter's sampling would skip pixels: average the areas down first.
            const double scaleX = std::hypot(place.m11(), place.m12()), scaleY = std::hypot(place.m21(), place.m22());
            if (scaleX < 0.5 || scaleY < 0.5) {
                const int rw = scaleX < 0.5 ? std::max(1, int(std::lround(w * scaleX))) : int(w);
                const int rh = scaleY < 0.5 ? std::max(1, int(std::lround(h * scaleY))) : int(h);
                picture = downscaleArea(picture, rw, rh);
                place = QTransform::fromScale(w / rw, h / rh) * place;
            }
            touched = drawTransformed(scratch_, picture, place);
        } else {
            touched = drawSampled(scratch_, picture, QTransform::fromScale(1 / k, 1 / k) * clipPlacementInverse(*clip, w, h, ts, W, H, layer.medium));
        }
        blendLayer(frame, scratch_, QPoint(0, 0), mode, opacity, touched);
        clearLayerArea(scratch_, touched);
    }
    blendRowLayers();
}

void CompositionRenderer::draw(const QImage& composed, PixelBuffer& into, bool unpremultiply) {
    LayerStack stack;
    stack.base = &composed;
    const int w = std::min(composed.width(), into.width()), h = std::min(composed.height(), into.height());
    storeLayerStack(stack, w, h, into.data(), into.bytesPerRow(), StoreOrder::bgra,
                    unpremultiply ? StoreAlpha::straight : StoreAlpha::premultiplied);
}

QImage CompositionRenderer::previewImage(const QImage& composed) {
    QImage out(composed.size(), QImage::Format_RGBA8888_Premultiplied);
    LayerStack stack;
    stack.base = &composed;
    storeLayerStack(stack, out.width(), out.height(), out.bits(), size_t(out.bytesPerLine()), StoreOrder::rgba,
                    StoreAlpha::premultiplied);
    return out;
}

}  // namespace qm
