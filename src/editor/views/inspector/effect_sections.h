#pragma once
// The clip inspector's chroma-key and colour-correction sections. Each is headed by its switch;
// while off it shows a one-line description, while on its controls.

#include <QUuid>
#include <QWidget>

#include "editor/model/clip_transform.h"

class QCheckBox;
class QColorDialog;
class QLabel;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace qm {

class CurveEditor;
class EditorModel;
class TransformPropertyRow;

// The shared shape: the switch, a flexible space and "Reset" on top; below, a description while
// off, the controls while on.
class EffectSection : public QWidget {
    Q_OBJECT

protected:
    EffectSection(EditorModel& model, QUuid clipID, const QString& title, const QString& toggleName,
                  const QString& resetName, const QString& description);
    // Shows the switch's state and the part that goes with it.
    void showSwitched(bool on);

    EditorModel& model_;
    QUuid clipID_;
    QCheckBox* toggle_;
    QPushButton* reset_;
    QLabel* description_;
    QWidget* controls_;
    QVBoxLayout* content_;
};

class KeyingSection : public EffectSection {
    Q_OBJECT

public:
    KeyingSection(EditorModel& model, QUuid clipID, QWidget* parent = nullptr);
    ~KeyingSection() override;
    void refresh();
    // The key colour's dialog while it is open.
    QColorDialog* colorDialog() const { return dialog_; }

private:
    void openColorDialog();
    void colorChosen(const QColor& colour);
    void closeColorDialog(bool accepted);

    QToolButton* eyedropper_;
    QToolButton* well_;
    TransformPropertyRow* rows_[3];
    QCheckBox* matte_;
    QColorDialog* dialog_ = nullptr;
    RGBColor dialogStart_;
    bool dialogChanged_ = false;
};

class ColorSection : public EffectSection {
    Q_OBJECT

public:
    ColorSection(EditorModel& model, QUuid clipID, QWidget* parent = nullptr);
    void refresh();
    CurveEditor* curveEditor() const { return curve_; }

private:
    TransformPropertyRow* rows_[3];
    QPushButton* resetCurve_;
    CurveEditor* curve_;
};

// The effects of the clip's stored or default transform; the defaults when neither exists.
ClipEffects effectsOf(const EditorModel& model, const QUuid& clipID);
// Every point within 1e-6 of the diagonal (no points counts too).
bool isIdentityCurve(const ToneCurve& curve);

}  // namespace qm
