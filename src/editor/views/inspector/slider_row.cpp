#include "editor/views/inspector/slider_row.h"

#include <algorithm>
#include <cmath>

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QVBoxLayout>

#include "view_kit/form_style.h"

namespace qm {

namespace {

// Tells its row where a press begins and ends, after the slider's own handling of each.
class GestureSlider : public QSlider {
public:
    GestureSlider(std::function<void()> pressed, std::function<void()> released)
        : QSlider(Qt::Horizontal), pressed_(std::move(pressed)), released_(std::move(released)) {}

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) pressed_();
        QSlider::mousePressEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        QSlider::mouseReleaseEvent(event);
        if (event->button() == Qt::LeftButton) released_();
    }

private:
    std::function<void()> pressed_;
    std::function<void()> released_;
};

}  // namespace

SliderRow::SliderRow(const QString& title, std::function<QString(double)> format, QWidget* parent)
    : QWidget(parent), format_(std::move(format)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    auto* line = new QHBoxLayout;
    titleLabel_ = new QLabel(title);
    valueLabel_ = new QLabel;
    QPalette secondary = valueLabel_->palette();
    secondary.setColor(QPalette::WindowText, secondaryColor(this));
    valueLabel_->setPalette(secondary);
    line->addWidget(titleLabel_);
    line->addStretch(1);
    line->addWidget(valueLabel_);
    column->addLayout(line);
    slider_ = new GestureSlider([this] { pressed_ = true; },
                                [this] {
                                    pressed_ = false;
                                    endGesture();
                                });
    slider_->setRange(0, kSteps);
    slider_->setSingleStep(kSteps / 100);
    slider_->setPageStep(kSteps / 10);
    slider_->setFocusPolicy(Qt::StrongFocus);
    column->addWidget(slider_);
    // Intent, never value signals: an action is a user's step, including each step of a drag.
    connect(slider_, &QSlider::actionTriggered, this, [this](int) { report(slider_->sliderPosition()); });
}

SliderRow::~SliderRow() {
    if (recorded_ && onEnd) onEnd();
}

QString SliderRow::title() const { return titleLabel_->text(); }

QPoint SliderRow::thumbCentre() const {
    QStyleOptionSlider option;
    option.initFrom(slider_);
    option.orientation = slider_->orientation();
    option.minimum = slider_->minimum();
    option.maximum = slider_->maximum();
    option.sliderPosition = slider_->sliderPosition();
    option.sliderValue = slider_->value();
    return slider_->style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, slider_).center();
}

void SliderRow::setValue(double value, double lower, double upper) {
    lower_ = lower;
    upper_ = std::max(upper, lower);
    const QString text = format_(value);
    if (valueLabel_->text() != text) valueLabel_->setText(text);
    if (slider_->isSliderDown()) return;  // the thumb is the user's while held
    const double span = upper_ - lower_;
    const double fraction = span > 0 && std::isfinite(value) ? std::clamp((value - lower_) / span, 0.0, 1.0) : 0.0;
    const QSignalBlocker block(slider_);
    slider_->setValue(int(std::lround(fraction * kSteps)));
}

void SliderRow::report(int position) {
    // Exact ends: the last step is the upper bound itself.
    const double v = position >= kSteps ? upper_ : position <= 0 ? lower_ : lower_ + (upper_ - lower_) * position / kSteps;
    const bool first = !recorded_;
    recorded_ = true;
    if (onChange) onChange(v, first);
    if (!pressed_) endGesture();  // a key or wheel step is a step of its own
}

void SliderRow::endGesture() {
    if (!recorded_) return;
    recorded_ = false;
    if (onEnd) onEnd();
}

}  // namespace qm
