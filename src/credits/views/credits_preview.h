#pragma once
// The preview of the roll at the canvas's aspect ratio, and the drop target for the credits list
// and the pictures.

#include <QRectF>
#include <QWidget>

#include "credits/credits_model.h"

namespace qm {

// The picture area inside the inset area: the canvas's aspect fitted, centred, each side at
// least 1.
QRectF creditsPictureArea(const QRectF& insetArea, int64_t width, int64_t height);

class CreditsPreview : public QWidget {
    Q_OBJECT
public:
    static constexpr int kInset = 16;

    explicit CreditsPreview(CreditsModel& model, QWidget* parent = nullptr);

    QSize sizeHint() const override { return {640, 400}; }
    QSize minimumSizeHint() const override { return {240, 160}; }
    QRectF pictureArea() const;
    // Whether the placeholder is drawn.
    bool showsPlaceholder() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    CreditsModel& model_;
};

}  // namespace qm
