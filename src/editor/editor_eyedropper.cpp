// The key-colour eyedropper: the selected clip's source frame that the viewer shows, read by a
// reader of its own on a worker, sampled under the click and stored as the clip's key colour.

#include "editor/editor_eyedropper.h"

#include <QPromise>
#include <QThreadPool>

#include "editor/editor_model.h"
#include "editor/editor_preview.h"
#include "engine/media_frame_reader.h"
#include "platform/system/model_support.h"

namespace qm {

std::optional<QPointF> pictureAt(const Clip& clip, const MediaItem& media, int W, int H, double t, QPointF canvas,
                                 QSizeF picture) {
    const QTransform placement = picture.isEmpty() || picture == QSizeF(media.width, media.height)
                                     ? clipPlacement(clip, media.width, media.height, t, W, H)
                                     : clipPlacement(clip, picture.width(), picture.height(), t, W, H,
                                                     QSizeF(media.width, media.height));
    bool invertible = false;
    const QTransform inverse = placement.inverted(&invertible);
    if (!invertible) return std::nullopt;
    return inverse.map(canvas);
}

QFuture<void> EditorModel::pickKeyColor(QPointF canvasPoint) {
    setIsPickingKeyColor(false);
    const auto clip = selectedClip();
    const MediaItem* item = clip ? project_.mediaItem(clip->mediaID) : nullptr;
    if (!clip || item == nullptr || !infos_.contains(item->id)) return QtFuture::makeReadyFuture();
    const double tg = playhead_ - clip->start + clip->sourceIn;
    const auto point = pictureAt(*clip, *item, project_.width, project_.height, tg, canvasPoint);
    if (!point) return QtFuture::makeReadyFuture();
    const double tf = clipTimeAtPlayhead(*clip);
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    workers()->start([this, media = *item, info = infos_.value(item->id), tf, id = clip->id, promise,
                      placed = *clip, W = project_.width, H = project_.height, tg, canvasPoint] {
        std::optional<RGBColor> color;
        try {
            MediaFrameReader reader(toPath(media.path), info);
            if (const auto frame = reader.frame(tf)) {
                // A picture of another size than the medium's is fitted by its own.
                const auto at = pictureAt(placed, media, W, H, tg, canvasPoint, QSizeF(frame->width(), frame->height()));
                if (at) color = readPixelColor(*frame, at->x(), at->y());
            }
        } catch (const std::exception&) {
            // An unreadable frame picks nothing.
        }
        postTo(this, [this, color, id, promise] {
            if (color) {
                if (auto t = transform(id)) {
                    t->effects.keyColor = *color;
                    updateClip(id, true, [&](Clip& c) {
                        c.transform = *t;
                        c.opacity = 1.0;
                    });
                }
            }
            promise->finish();
        });
    });
    return promise->future();
}

}  // namespace qm
