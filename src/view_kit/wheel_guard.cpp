#include "view_kit/wheel_guard.h"

#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QScrollBar>
#include <QWheelEvent>

namespace qm {

namespace {

// Set on a control while its focus came from a click or a drag (shared by every guard on it).
constexpr char kClicked[] = "qmFocusedByClick";

class WheelOnlyWhenFocused : public QObject {
public:
    explicit WheelOnlyWhenFocused(QAbstractScrollArea* area) : QObject(area), area_(area) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* picker = static_cast<QWidget*>(watched);
        if (event->type() == QEvent::FocusIn) {
            // A slider dragged or a picker clicked keeps the focus, with nothing to show for it: that
            // is no choice to turn it with the wheel. Focus coming back from a popup or another
            // window resumes what it was.
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason)
                picker->setProperty(kClicked, reason == Qt::MouseFocusReason);
            return false;
        }
        if (event->type() != QEvent::Wheel || (picker->hasFocus() && !picker->property(kClicked).toBool()))
            return false;
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
