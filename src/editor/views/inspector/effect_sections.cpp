#include "editor/views/inspector/effect_sections.h"

#include <cmath>

#include <QCheckBox>
#include <QColorDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include "editor/editor_model.h"
#include "editor/views/inspector/curve_editor.h"
#include "editor/views/inspector/inspector_form.h"
#include "editor/views/inspector/transform_property_row.h"
#include "platform/desktop/icons.h"
#include "view_kit/form_style.h"

namespace qm {

ClipEffects effectsOf(const EditorModel& model, const QUuid& clipID) {
    const auto transform = model.transform(clipID);
    return transform ? transform->effects : ClipEffects{};
}

bool isIdentityCurve(const ToneCurve& curve) {
    for (const Vec2& p : curve.points)
        if (!(std::abs(p.x - p.y) < 0.000001)) return false;
    return true;
}

namespace {

struct SwitchedSection {
    QCheckBox* toggle;
    QPushButton* reset;
    QLabel* description;
    QWidget* controls;
    QVBoxLayout* content;
};

// The shared shape: the switch, a flexible space and "Reset" on top; a description or controls.
SwitchedSection switchedSection(QWidget* owner, const QString& title, const QString& toggleName,
                                const QString& resetName, const QString& description) {
    auto* column = new QVBoxLayout(owner);
    column->setContentsMargins(0, 4, 0, 8);
    column->setSpacing(6);
    auto* header = new QHBoxLayout;
    SwitchedSection s;
    s.toggle = new QCheckBox(title);
    s.toggle->setObjectName(toggleName);
    QFont bold = s.toggle->font();
    bold.setBold(true);
    s.toggle->setFont(bold);
    header->addWidget(s.toggle);
    header->addStretch(1);
    s.reset = captionButton(QObject::tr("Reset"), resetName);
    header->addWidget(s.reset);
    column->addLayout(header);
    s.description = captionText(description);
    column->addWidget(s.description);
    s.controls = new QWidget;
    s.content = new QVBoxLayout(s.controls);
    s.content->setContentsMargins(0, 0, 0, 0);
    s.content->setSpacing(6);
    column->addWidget(s.controls);
    return s;
}

void showSwitched(bool on, QPushButton* reset, QLabel* description, QWidget* controls) {
    reset->setVisible(on);
    description->setVisible(!on);
    controls->setVisible(on);
}

QPixmap swatch(const RGBColor& colour) {
    QPixmap pixmap(34, 18);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0, 0, 0, 128), 1));
    p.setBrush(QColor::fromRgbF(float(colour.r), float(colour.g), float(colour.b)));
    p.drawRoundedRect(QRectF(0.5, 0.5, 33, 17), 3, 3);
    return pixmap;
}

}  // namespace

KeyingSection::KeyingSection(EditorModel& model, QUuid clipID, QWidget* parent)
    : QWidget(parent), model_(model), clipID_(clipID) {
    const auto s = switchedSection(this, tr("Chroma Key"), QStringLiteral("chromaKey"), QStringLiteral("resetKeying"),
                                   tr("Removes a green or blue screen background."));
    toggle_ = s.toggle;
    reset_ = s.reset;
    description_ = s.description;
    controls_ = s.controls;
    connect(toggle_, &QCheckBox::clicked, this, [this](bool on) {
        editClipTransform(model_, clipID_, true, [on](ClipTransform& t) { t.effects.keyEnabled = on; });
    });
    connect(reset_, &QPushButton::clicked, this, [this] { model_.resetKeying(clipID_); });

    auto* colourRow = new QHBoxLayout;
    colourRow->setSpacing(8);
    colourRow->addWidget(new QLabel(tr("Key Color")));
    colourRow->addStretch(1);
    eyedropper_ = new QToolButton;
    eyedropper_->setObjectName(QStringLiteral("eyedropper"));
    eyedropper_->setAutoRaise(true);
    eyedropper_->setToolTip(tr("Click, then click the background in the viewer to sample it"));
    connect(eyedropper_, &QToolButton::clicked, this,
            [this] { model_.setIsPickingKeyColor(!model_.isPickingKeyColor()); });
    colourRow->addWidget(eyedropper_);
    well_ = new QToolButton;
    well_->setObjectName(QStringLiteral("keyColor"));
    well_->setIconSize(QSize(34, 18));
    connect(well_, &QToolButton::clicked, this, &KeyingSection::openColorDialog);
    colourRow->addWidget(well_);
    s.content->addLayout(colourRow);
    const TransformProperty properties[] = {TransformProperty::keyTolerance, TransformProperty::keySoftness,
                                            TransformProperty::keySpill};
    for (int i = 0; i < 3; ++i) {
        rows_[i] = new TransformPropertyRow(model_, clipID_, properties[i], false);
        s.content->addWidget(rows_[i]);
    }
    matte_ = new QCheckBox(tr("Show Matte"));
    matte_->setObjectName(QStringLiteral("showMatte"));
    matte_->setToolTip(tr("Preview only: white is kept, black is removed. Exports always show the result."));
    connect(matte_, &QCheckBox::clicked, this, [this](bool on) {
        editClipTransform(model_, clipID_, true, [on](ClipTransform& t) { t.effects.showMatte = on; });
    });
    s.content->addWidget(matte_);
    refresh();
}

KeyingSection::~KeyingSection() {
    if (dialog_ && dialogChanged_) model_.endGesture();
}

void KeyingSection::refresh() {
    const ClipEffects effects = effectsOf(model_, clipID_);
    {
        const QSignalBlocker block(toggle_);
        toggle_->setChecked(effects.keyEnabled);
    }
    showSwitched(effects.keyEnabled, reset_, description_, controls_);
    if (!effects.keyEnabled) return;
    const bool picking = model_.isPickingKeyColor();
    if (eyedropper_->property("qmActive") != QVariant(picking)) {
        eyedropper_->setProperty("qmActive", picking);
        eyedropper_->setIcon(QIcon(symbolPixmap(QStringLiteral("eyedropper"), 16,
                                                picking ? accentColor(this) : palette().color(QPalette::WindowText))));
    }
    const QString colourKey = QString::asprintf("%.6f %.6f %.6f", effects.keyColor.r, effects.keyColor.g,
                                                effects.keyColor.b);
    if (well_->property("qmColour").toString() != colourKey) {
        well_->setProperty("qmColour", colourKey);
        well_->setIcon(QIcon(swatch(effects.keyColor)));
    }
    for (auto* row : rows_) row->refresh();
    const QSignalBlocker block(matte_);
    matte_->setChecked(effects.showMatte);
}

void KeyingSection::openColorDialog() {
    if (dialog_ || !model_.transform(clipID_)) return;
    dialogStart_ = effectsOf(model_, clipID_).keyColor;
    dialogChanged_ = false;
    dialog_ = new QColorDialog(this);
    dialog_->setOption(QColorDialog::DontUseNativeDialog);
    dialog_->setOption(QColorDialog::ShowAlphaChannel, false);
    dialog_->setCurrentColor(QColor::fromRgbF(float(dialogStart_.r), float(dialogStart_.g), float(dialogStart_.b)));
    // Applied live; the whole session is one step, and Cancel puts the colour back.
    connect(dialog_, &QColorDialog::currentColorChanged, this, &KeyingSection::colorChosen);
    connect(dialog_, &QColorDialog::finished, this,
            [this](int result) { closeColorDialog(result == QDialog::Accepted); });
    dialog_->open();
}

void KeyingSection::colorChosen(const QColor& colour) {
    const QColor rgb = colour.toRgb();
    if (!rgb.isValid()) return;
    if (!model_.transform(clipID_)) return;
    if (!dialogChanged_) model_.beginGesture();
    dialogChanged_ = true;
    const RGBColor value{rgb.redF(), rgb.greenF(), rgb.blueF()};
    editClipTransform(model_, clipID_, false, [&](ClipTransform& t) { t.effects.keyColor = value; });
}

void KeyingSection::closeColorDialog(bool accepted) {
    if (dialogChanged_) {
        if (!accepted)
            editClipTransform(model_, clipID_, false, [&](ClipTransform& t) { t.effects.keyColor = dialogStart_; });
        model_.endGesture();
    }
    dialogChanged_ = false;
    dialog_->deleteLater();
    dialog_ = nullptr;
}

ColorSection::ColorSection(EditorModel& model, QUuid clipID, QWidget* parent)
    : QWidget(parent), model_(model), clipID_(clipID) {
    const auto s = switchedSection(this, tr("Color Correction"), QStringLiteral("colorCorrection"),
                                   QStringLiteral("resetColor"), tr("Exposure, contrast, saturation and curves."));
    toggle_ = s.toggle;
    reset_ = s.reset;
    description_ = s.description;
    controls_ = s.controls;
    connect(toggle_, &QCheckBox::clicked, this, [this](bool on) {
        editClipTransform(model_, clipID_, true, [on](ClipTransform& t) { t.effects.colorEnabled = on; });
    });
    connect(reset_, &QPushButton::clicked, this, [this] { model_.resetColorCorrection(clipID_); });
    const TransformProperty properties[] = {TransformProperty::exposure, TransformProperty::contrast,
                                            TransformProperty::saturation};
    for (int i = 0; i < 3; ++i) {
        rows_[i] = new TransformPropertyRow(model_, clipID_, properties[i], false);
        s.content->addWidget(rows_[i]);
    }
    auto* curvesRow = new QHBoxLayout;
    curvesRow->addWidget(new QLabel(tr("Curves")));
    curvesRow->addStretch(1);
    resetCurve_ = captionButton(tr("Reset Curve"), QStringLiteral("resetCurve"));
    connect(resetCurve_, &QPushButton::clicked, this, [this] {
        editClipTransform(model_, clipID_, true, [](ClipTransform& t) { t.effects.curve = ToneCurve{}; });
    });
    curvesRow->addWidget(resetCurve_);
    s.content->addLayout(curvesRow);
    curve_ = new CurveEditor;
    curve_->setObjectName(QStringLiteral("curve"));
    curve_->onChange = [this](const ToneCurve& curve, bool first) {
        if (!model_.transform(clipID_)) return;
        beginGestureIfFirst(model_, first);
        editClipTransform(model_, clipID_, false, [&](ClipTransform& t) { t.effects.curve = curve; });
    };
    curve_->onEnd = [this] { model_.endGesture(); };
    s.content->addWidget(curve_, 0, Qt::AlignLeft);
    refresh();
}

void ColorSection::refresh() {
    const ClipEffects effects = effectsOf(model_, clipID_);
    {
        const QSignalBlocker block(toggle_);
        toggle_->setChecked(effects.colorEnabled);
    }
    showSwitched(effects.colorEnabled, reset_, description_, controls_);
    if (!effects.colorEnabled) return;
    for (auto* row : rows_) row->refresh();
    resetCurve_->setVisible(!isIdentityCurve(effects.curve));
    curve_->setCurve(effects.curve);
}

}  // namespace qm
