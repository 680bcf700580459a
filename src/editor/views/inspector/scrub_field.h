#pragma once
// The numeric value field of the property rows: drag sideways to change the number (Shift ten
// times, Alt a tenth of the rate), click to type one.

#include <functional>
#include <optional>

#include <QString>
#include <QWidget>

#include "view_kit/drag_tracker.h"

class QLineEdit;

namespace qm {

// A typed number: only a finite decimal (sign, point, exponent), read with a point whatever the
// locale; the whole text must be the number.
std::optional<double> parseDecimal(const QString& text);
// The typed text less the unit and surrounding white space, as a number.
std::optional<double> parseScrubText(const QString& text, const QString& suffix);
// The value with `decimals` digits after the point, with a point whatever the locale.
QString formatDecimal(double value, int decimals);

class ScrubField : public QWidget {
    Q_OBJECT

public:
    ScrubField(double step, int decimals, QString suffix, int width, QWidget* parent = nullptr);
    // An unfinished drag ends its gesture.
    ~ScrubField() override;

    // (new value, first change of the gesture); the end closes a gesture (a drag's release, a
    // commit) and is called once per gesture that reported a change.
    std::function<void(double, bool)> onChange;
    std::function<void()> onEnd;

    double value() const { return value_; }
    void setValue(double value);
    QString displayText() const;
    bool isEditing() const;
    QLineEdit* editor() const { return editor_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void openEditor();
    void commit();
    void cancelEditing();
    void finishGesture();

    double value_ = 0;
    double step_;
    int decimals_;
    QString suffix_;
    DragTracker drag_{2.0};
    std::optional<double> dragStart_;
    bool reported_ = false;
    QLineEdit* editor_ = nullptr;
};

}  // namespace qm
