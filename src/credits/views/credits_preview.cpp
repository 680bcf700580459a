#include "credits/views/credits_preview.h"

#include <algorithm>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QPainter>

#include "credits/views/form_controls.h"
#include "platform/desktop/icons.h"

namespace qm {

QRectF creditsPictureArea(const QRectF& insetArea, int64_t width, int64_t height) {
    const double aspect = double(std::max<int64_t>(width, 1)) / double(std::max<int64_t>(height, 1));
    const double w = insetArea.width(), h = insetArea.height();
    const double fittedHeight = w / aspect;
    QSizeF size = fittedHeight > h ? QSizeF(h * aspect, h) : QSizeF(w, fittedHeight);
    size = QSizeF(std::max(size.width(), 1.0), std::max(size.height(), 1.0));
    return QRectF(insetArea.center().x() - size.width() / 2, insetArea.center().y() - size.height() / 2, size.width(),
                  size.height());
}

CreditsPreview::CreditsPreview(CreditsModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setAcceptDrops(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    for (auto signal : {&CreditsModel::previewChanged, &CreditsModel::settingsChanged, &CreditsModel::headImageChanged,
                        &CreditsModel::tailImageChanged, &CreditsModel::stripChanged})
        connect(&model_, signal, this, qOverload<>(&QWidget::update));
}

QRectF CreditsPreview::pictureArea() const {
    const QRectF inset = QRectF(rect()).adjusted(kInset, kInset, -kInset, -kInset);
    return creditsPictureArea(inset, model_.settings().width, model_.settings().height);
}

bool CreditsPreview::showsPlaceholder() const { return !model_.hasContent(); }

void CreditsPreview::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor::fromRgbF(0.08f, 0.08f, 0.08f));
    const QRectF area = pictureArea();
    if (model_.settings().background != CreditsSettings::Background::transparent) p.fillRect(area, Qt::black);
    const QImage& frame = model_.preview();
    if (!frame.isNull()) {
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        // The painter's fast scaling paths are for its native pixel order; one conversion per
        // frame costs less than scaling from another order (an unscaled copy needs none).
        const bool unscaled = area.size().toSize() == frame.size() && area.topLeft().toPoint() == area.topLeft();
        if (unscaled || frame.format() == QImage::Format_ARGB32_Premultiplied)
            p.drawImage(area, frame);
        else
            p.drawImage(area, frame.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    }
    if (showsPlaceholder()) {
        // The preview is dark in every desktop theme: its secondary texts are a light grey.
        const QColor secondary = QColor::fromRgbF(1, 1, 1, 0.55f);
        const int symbol = 40;
        const QString text = tr("Drop a Word or PDF credits list, plus opening and closing pictures");
        QFont font = p.font();
        const QFontMetrics metrics(font);
        const QRect textBox = metrics.boundingRect(QRect(0, 0, std::max(width() - 4 * kInset, 100), 1000),
                                                   Qt::AlignHCenter | Qt::TextWordWrap, text);
        const int total = symbol + 8 + textBox.height();
        const int top = (height() - total) / 2;
        p.drawPixmap(QPoint((width() - symbol) / 2, top),
                     symbolPixmap(QStringLiteral("text.below.photo"), symbol, secondary));
        p.setPen(secondary);
        p.drawText(QRect((width() - textBox.width()) / 2, top + symbol + 8, textBox.width(), textBox.height()),
                   Qt::AlignHCenter | Qt::TextWordWrap, text);
    }
}

void CreditsPreview::dragEnterEvent(QDragEnterEvent* event) {
    if (!FileRow::localFiles(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CreditsPreview::dropEvent(QDropEvent* event) {
    const QStringList files = FileRow::localFiles(event->mimeData());
    if (files.isEmpty()) return;
    event->acceptProposedAction();
    model_.openFile(files, CreditsModel::Slot::automatic);
}

}  // namespace qm
