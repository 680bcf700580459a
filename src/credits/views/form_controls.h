#pragma once
// The small controls the End Credits settings panel builds its rows from. None keeps a value of
// its own beyond what it shows: the panel sets the model's value in and writes edits back.

#include <cstdint>
#include <initializer_list>
#include <optional>

#include <QColor>
#include <QLabel>
#include <QLineEdit>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "engine/rgb_color.h"

class QGroupBox;
class QHBoxLayout;
class QLabel;
class QMimeData;
class QPushButton;
class QSlider;
class QToolButton;
class QVBoxLayout;

namespace qm {

// Layout helpers of the settings panel's rows.
// A grey secondary text (in the caption font when `caption`).
QLabel* secondary(const QString& text, bool caption = false);
// A titled section whose rows go into *rows.
QGroupBox* section(const QString& title, QVBoxLayout** rows);
// The widgets side by side; nullptr stands for a flexible space.
QWidget* hbox(std::initializer_list<QWidget*> items, QHBoxLayout** layoutOut = nullptr);
// A plain column whose rows go into *rows.
QWidget* column(QVBoxLayout** rows);

// One line of text that loses its middle when it does not fit the width it is given.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    // `wraps`: the text wraps onto more lines instead of losing its middle (placeholders).
    void setFullText(const QString& text, bool wraps = false);
    const QString& fullText() const { return full_; }
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();
    QString full_;
    bool wraps_ = false;
};

// A chosen file with Choose… and Remove; a drop target for local files.
class FileRow : public QWidget {
    Q_OBJECT
public:
    explicit FileRow(const QString& placeholder, QWidget* parent = nullptr);

    // Empty: no file.
    void setPath(const QString& path);
    const QString& path() const { return path_; }

    // For tests.
    // The shown name; its full text is the file's name or the placeholder.
    ElidedLabel* nameLabel() const { return name_; }
    QLabel* iconLabel() const { return icon_; }
    QToolButton* removeButton() const { return remove_; }
    QPushButton* chooseButton() const { return choose_; }

    // The local files of a drop, in order (other URLs are left out).
    static QStringList localFiles(const QMimeData* data);

signals:
    void chooseClicked();
    void clearClicked();
    void filesDropped(const QStringList& paths);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QString placeholder_;
    QString path_;
    QLabel* icon_ = nullptr;
    ElidedLabel* name_ = nullptr;
    QToolButton* remove_ = nullptr;
    QPushButton* choose_ = nullptr;
};

// A title, a slider over a closed range and the value's text with its unit.
class LabeledSlider : public QWidget {
    Q_OBJECT
public:
    // Positions of the slider between the ends of the range; the ends map to the exact bounds.
    static constexpr int kSteps = 1000;

    LabeledSlider(const QString& title, double lower, double upper, const QString& unit, QWidget* parent = nullptr);

    void setValue(double value);
    double value() const { return value_; }

    QSlider* slider() const { return slider_; }
    QLabel* valueLabel() const { return valueText_; }
    QLabel* titleLabel() const { return title_; }

signals:
    void valueEdited(double value);

private:
    double lower_, upper_;
    QString unit_;
    double value_;
    QLabel* title_ = nullptr;
    QSlider* slider_ = nullptr;
    QLabel* valueText_ = nullptr;
};

// A compact field for a number in the user's locale without grouping. An entry is committed on
// Return or when the field loses focus, clamped into the range; text that does not read as a
// number changes nothing and the field shows the value again.
class NumberField : public QLineEdit {
    Q_OBJECT
public:
    NumberField(double lower, double upper, int decimals, QWidget* parent = nullptr);

    void setValue(double value);
    double value() const { return value_; }
    // The clamping of committed entries: below the range or not a number gives the lower bound.
    static double clampedEntry(double v, double lower, double upper);

signals:
    void valueEdited(double value);

protected:
    virtual QString textOf(double value) const;
    virtual std::optional<double> read(const QString& text) const;
    // Shows the value again after a change of the user's locale.
    void changeEvent(QEvent* event) override;

private:
    void commit();

    double lower_, upper_;
    int decimals_;
    double value_ = 0;
};

// A whole number in the same manner.
class IntField : public NumberField {
    Q_OBJECT
public:
    IntField(int64_t lower, int64_t upper, QWidget* parent = nullptr);

    void setIntValue(int64_t value) { setValue(double(value)); }

signals:
    void intEdited(int64_t value);

protected:
    QString textOf(double value) const override;
    std::optional<double> read(const QString& text) const override;
};

// A length in minutes and seconds (1:23) or seconds (83), 72 wide.
class ClockField : public NumberField {
    Q_OBJECT
public:
    ClockField(double lower, double upper, QWidget* parent = nullptr);

protected:
    QString textOf(double value) const override;
    std::optional<double> read(const QString& text) const override;
};

// A colour swatch that opens the colour dialog (no alpha) and writes whole sRGB colours.
class ColorWell : public QWidget {
    Q_OBJECT
public:
    ColorWell(const QString& title, QWidget* parent = nullptr);

    void setColor(const RGBColor& color);
    const RGBColor& color() const { return color_; }
    // What a colour picked in the dialog writes; an invalid colour writes nothing.
    void pick(const QColor& picked);

    QToolButton* swatch() const { return swatch_; }
    QLabel* titleLabel() const { return title_; }
    void setTitle(const QString& title);

signals:
    void colorEdited(const qm::RGBColor& color);

private:
    RGBColor color_{0, 0, 0};
    QLabel* title_ = nullptr;
    QToolButton* swatch_ = nullptr;
};

// A row of a form: a title at the left, the control at the right.
QWidget* formRow(const QString& title, QWidget* control, QLabel** titleOut = nullptr);

}  // namespace qm
