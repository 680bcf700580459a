#include "view_kit/wheel_guard.h"

#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QScrollBar>
#include <QWheelEvent>

namespace qm {

namespace {

class WheelOnlyWhenFocused : public QObject {
public:
    explicit WheelOnlyWhenFocused(QAbstractScrollArea* area) : QObject(area), area_(area) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* picker = static_cast<QWidget*>(watched);
        if (event->type() != QEvent::Wheel || picker->hasFocus()) return false;
        const auto* wheel = static_cast<QWheelEvent*>(event);
        QWidget* viewport = area_->viewport();
        QWheelEvent scroll(picker->mapTo(viewport, wheel->position()), wheel->globalPosition(), wheel->pixelDelta(),
                           wheel->angleDelta(), wheel->buttons(), wheel->modifiers(), wheel->phase(),
                           wheel->inverted(), wheel->source());
        QCoreApplication::sendEvent(viewport, &scroll);
        event->setAccepted(scroll.isAccepted());
        return true;
    }

private:
    QAbstractScrollArea* area_;
};

}  // namespace

void takeWheelOnlyWhenFocused(QAbstractScrollArea* area) {
    auto* guard = new WheelOnlyWhenFocused(area);
    QList<QWidget*> pickers;
    for (auto* w : area->findChildren<QComboBox*>()) pickers.append(w);
    for (auto* w : area->findChildren<QAbstractSpinBox*>()) pickers.append(w);
    for (auto* w : area->findChildren<QAbstractSlider*>()) {
        if (!qobject_cast<QScrollBar*>(w)) pickers.append(w);
    }
    for (QWidget* picker : pickers) {
        picker->setFocusPolicy(Qt::StrongFocus);  // not WheelFocus: a passing wheel must not focus it
        picker->installEventFilter(guard);
    }
}

}  // namespace qm
