#include "convert/views/preview_panel.h"

#include <cmath>

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "convert/conversion_queue.h"
#include "convert/preview_model.h"
#include "core/output_format.h"
#include "platform/desktop/icons.h"
#include "view_kit/form_style.h"

namespace qm {

namespace {
// The scrubber works in milliseconds.
constexpr double kScrubScale = 1000.0;
}  // namespace

QString previewTimeText(double seconds) {
    const double t = (std::isnan(seconds) || seconds < 0) ? 0.0 : std::min(seconds, 2147483647.0 * 60.0);
    // Rounded to hundredths before minutes are split off, so 59.996 reads 1:00.00, not 0:60.00.
    const auto hundredths = static_cast<long long>(std::llround(t * 100.0));
    return QString::asprintf("%lld:%02lld.%02lld", hundredths / 6000, hundredths / 100 % 60, hundredths % 100);
}

void paintCheckerboard(QPainter& painter, const QRect& area) {
    painter.fillRect(area, QColor::fromRgbF(0.82f, 0.82f, 0.82f));
    QPainterPath squares;
    for (int row = 0, y = 0; y < area.height(); ++row, y += 8)
        for (int x = (row % 2 == 0) ? 0 : 8; x < area.width(); x += 16)
            squares.addRect(area.x() + x, area.y() + y, 8, 8);
    painter.fillPath(squares, QColor::fromRgbF(0.68f, 0.68f, 0.68f));
}

// The 16:9 picture area: checkerboard and picture, or the placeholder text and a spinner.
class PictureView : public QWidget {
public:
    explicit PictureView(QWidget* parent) : QWidget(parent) {
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int w) const override { return static_cast<int>(std::lround(w * 9.0 / 16.0)); }
    QSize sizeHint() const override { return {316, heightForWidth(316)}; }

    QImage image;
    QString text;
    bool spinning = false;
    int spinnerPhase = 0;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QPainterPath clip;
        clip.addRoundedRect(bounds, 8, 8);
        p.save();
        p.setClipPath(clip);
        if (!image.isNull()) {
            paintCheckerboard(p, rect());
            const QSizeF fitted = QSizeF(image.size()).scaled(QSizeF(size()), Qt::KeepAspectRatio);
            const QRectF target((width() - fitted.width()) / 2, (height() - fitted.height()) / 2, fitted.width(),
                                fitted.height());
            p.setRenderHint(QPainter::SmoothPixmapTransform);
            p.drawImage(target, image);
        } else {
            p.fillRect(rect(), palette().color(QPalette::Window).darker(112));
            p.setPen(palette().color(QPalette::PlaceholderText));
            QFont f = font();
            f.setPointSizeF(f.pointSizeF() * 0.95);
            p.setFont(f);
            p.drawText(rect().adjusted(12, 12, -12, -12), Qt::AlignCenter | Qt::TextWordWrap, text);
            if (spinning) {
                // A small indeterminate spinner under the text.
                const QPointF c(width() / 2.0, height() / 2.0 + 22);
                p.setPen(QPen(palette().color(QPalette::Highlight), 2));
                p.drawArc(QRectF(c.x() - 7, c.y() - 7, 14, 14), spinnerPhase * 16, 270 * 16);
            }
        }
        p.restore();
        p.setPen(QPen(palette().color(QPalette::Mid), 1));
        p.drawPath(clip);
    }
};

PreviewPanel::PreviewPanel(ConversionQueue& queue, QWidget* parent) : QWidget(parent), model_(queue.preview()) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(8);

    picture_ = new PictureView(this);
    column->addWidget(picture_);

    auto* transport = new QHBoxLayout;
    transport->setSpacing(8);
    play_ = new QToolButton(this);
    play_->setAutoRaise(true);
    play_->setFixedWidth(16 + 8);
    transport->addWidget(play_);
    scrubber_ = new QSlider(Qt::Horizontal, this);
    transport->addWidget(scrubber_, 1);
    time_ = new QLabel(this);
    const QFont mono = digitsFont(font(), 0.85);
    time_->setFont(mono);
    time_->setForegroundRole(QPalette::PlaceholderText);
    transport->addWidget(time_);
    column->addLayout(transport);

    switch_ = new QWidget(this);
    auto* segments = new QHBoxLayout(switch_);
    segments->setContentsMargins(0, 0, 0, 0);
    segments->setSpacing(0);
    source_ = new QPushButton(tr("Source"), switch_);
    output_ = new QPushButton(tr("Output"), switch_);
    for (QPushButton* b : {source_, output_}) {
        b->setCheckable(true);
        b->setAutoExclusive(true);
        segments->addWidget(b, 1);
    }
    switch_->setAccessibleName(tr("Preview"));
    column->addWidget(switch_);

    connect(play_, &QToolButton::clicked, this, [this] {
        if (model_.isPlaying())
            model_.pause();
        else
            model_.play();
    });
    auto* space = new QShortcut(QKeySequence(Qt::Key_Space), this);
    space->setContext(Qt::WindowShortcut);
    connect(space, &QShortcut::activated, play_, [this] {
        if (play_->isEnabled()) play_->click();
    });
    connect(scrubber_, &QSlider::valueChanged, this, [this](int value) {
        if (updatingScrubber_) return;
        const double t = value / kScrubScale;
        model_.pause();
        model_.setTime(t);
        model_.seek(t);
    });
    connect(source_, &QPushButton::clicked, this, [this] { model_.setShowOutput(false); });
    connect(output_, &QPushButton::clicked, this, [this] { model_.setShowOutput(true); });

    for (auto signal : {&PreviewModel::imageChanged, &PreviewModel::timeChanged, &PreviewModel::durationChanged,
                        &PreviewModel::isPlayingChanged, &PreviewModel::isLoadingChanged,
                        &PreviewModel::messageChanged, &PreviewModel::showOutputChanged,
                        &PreviewModel::outputSettingsChanged})
        connect(&model_, signal, this, &PreviewPanel::refresh);

    // Keeps the spinner turning while it shows.
    auto* spinTimer = new QTimer(this);
    spinTimer->setInterval(60);
    connect(spinTimer, &QTimer::timeout, this, [this] {
        if (!picture_->spinning) return;
        picture_->spinnerPhase = (picture_->spinnerPhase + 30) % 360;
        picture_->update();
    });
    spinTimer->start();
    refresh();
}

QString PreviewPanel::placeholderText() const { return picture_->image.isNull() ? picture_->text : QString(); }

bool PreviewPanel::spinnerVisible() const { return picture_->spinning; }

void PreviewPanel::refresh() {
    picture_->image = model_.image();
    picture_->text = model_.message() ? *model_.message() : tr("Select a file to preview");
    picture_->spinning = model_.isLoading() && model_.image().isNull();
    picture_->update();

    const bool playing = model_.isPlaying();
    const bool hasDuration = model_.duration() != 0;
    play_->setIcon(symbolIcon(playing ? QStringLiteral("pause.fill") : QStringLiteral("play.fill")));
    play_->setToolTip(playing ? tr("Pause") : tr("Play"));
    play_->setEnabled(hasDuration);

    updatingScrubber_ = true;
    scrubber_->setRange(0, static_cast<int>(std::lround(std::max(0.01, model_.duration()) * kScrubScale)));
    scrubber_->setValue(static_cast<int>(std::lround(std::max(0.0, model_.time()) * kScrubScale)));
    scrubber_->setEnabled(hasDuration);
    updatingScrubber_ = false;
    time_->setText(previewTimeText(model_.time()));

    const bool gpu = isGPU(model_.outputSettings().format);
    (model_.showOutput() ? output_ : source_)->setChecked(true);
    switch_->setEnabled(gpu);
    switch_->setToolTip(gpu ? tr("Show the frame after Hap / DXV compression")
                            : tr("Output preview is available for Hap and DXV"));
}

}  // namespace qm
