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

EffectSection::EffectSection(EditorModel& model, QUuid clipID, const QString& title, const QString& toggleName,
                             const QString& resetName, const QString& description)
    : model_(model), clipID_(clipID) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 4, 0, 8);
    column->setSpacing(6);
    auto* header = new QHBoxLayout;
    toggle_ = new QCheckBox(title);
    toggle_->setObjectName(toggleName);
    QFont bold = toggle_->font();
    bold.setBold(true);
    toggle_->setFont(bold);
    header->addWidget(toggle_);
    header->addStretch(1);
    reset_ = captionButton(tr("Reset"), resetName);
    header->addWidget(reset_);
    column->addLayout(header);
    description_ = captionText(description);
    column->addWidget(description_);
    controls_ = new QWidget;
    content_ = new QVBoxLayout(controls_);
    content_->setContentsMargins(0, 0, 0, 0);
    content_->setSpacing(6);
    column->addWidget(controls_);
}

void EffectSection::showSwitched(bool on) {
    {
        const QSignalBlocker block(toggle_);
        toggle_->setChecked(on);
    }
    reset_->setVisible(on);
    description_->setVisible(!on);
    controls_->setVisible(on);
}

KeyingSection::KeyingSection(EditorModel& model, QUuid clipID, QWidget* parent)
    : EffectSection(model, clipID, tr("Chroma Key"), QStringLiteral("chromaKey"), QStringLiteral("resetKeying"),
                    tr("Removes a green or blue screen background.")) {
    setParent(parent);
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
    content_->addLayout(colourRow);
    const TransformProperty properties[] = {TransformProperty::keyTolerance, TransformProperty::keySoftness,
                                            TransformProperty::keySpill};
    for (int i = 0; i < 3; ++i) {
        rows_[i] = new TransformPropertyRow(model_, clipID_, properties[i], false);
        content_->addWidget(rows_[i]);
    }
    matte_ = new QCheckBox(tr("Show Matte"));
    matte_->setObjectName(QStringLiteral("showMatte"));
    matte_->setToolTip(tr("Preview only: white is kept, black is removed. Exports always show the result."));
    connect(matte_, &QCheckBox::clicked, this, [this](bool on) {
        editClipTransform(model_, clipID_, true, [on](ClipTransform& t) { t.effects.showMatte = on; });
    });
    content_->addWidget(matte_);
    refresh();
}

KeyingSection::~KeyingSection() {
    if (dialog_ && dialogChanged_) model_.endGesture();
}

void KeyingSection::refresh() {
    const ClipEffects effects = effectsOf(model_, clipID_);
    showSwitched(effects.keyEnabled);
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
    : EffectSection(model, clipID, tr("Color Correction"), QStringLiteral("colorCorrection"),
                    QStringLiteral("resetColor"), tr("Exposure, contrast, saturation and curves.")) {
    setParent(parent);
    connect(toggle_, &QCheckBox::clicked, this, [this](bool on) {
        editClipTransform(model_, clipID_, true, [on](ClipTransform& t) { t.effects.colorEnabled = on; });
    });
    connect(reset_, &QPushButton::clicked, this, [this] { model_.resetColorCorrection(clipID_); });
    const TransformProperty properties[] = {TransformProperty::exposure, TransformProperty::contrast,
                                            TransformProperty::saturation};
    for (int i = 0; i < 3; ++i) {
        rows_[i] = new TransformPropertyRow(model_, clipID_, properties[i], false);
        content_->addWidget(rows_[i]);
    }
    auto* curvesRow = new QHBoxLayout;
    curvesRow->addWidget(new QLabel(tr("Curves")));
    curvesRow->addStretch(1);
    resetCurve_ = captionButton(tr("Reset Curve"), QStringLiteral("resetCurve"));
    connect(resetCurve_, &QPushButton::clicked, this, [this] {
        editClipTransform(model_, clipID_, true, [](ClipTransform& t) { t.effects.curve = ToneCurve{}; });
    });
    curvesRow->addWidget(resetCurve_);
    content_->addLayout(curvesRow);
    curve_ = new CurveEditor;
    curve_->setObjectName(QStringLiteral("curve"));
    curve_->onChange = [this](const ToneCurve& curve, bool first) {
        if (!model_.transform(clipID_)) return;
        beginGestureIfFirst(model_, first);
        editClipTransform(model_, clipID_, false, [&](ClipTransform& t) { t.effects.curve = curve; });
    };
    curve_->onEnd = [&model = model_] { model.endGesture(); };
    content_->addWidget(curve_, 0, Qt::AlignLeft);
    refresh();
}

void ColorSection::refresh() {
    const ClipEffects effects = effectsOf(model_, clipID_);
    showSwitched(effects.colorEnabled);
    if (!effects.colorEnabled) return;
    for (auto* row : rows_) row->refresh();
    resetCurve_->setVisible(!isIdentityCurve(effects.curve));
    curve_->setCurve(effects.curve);
}

}  // namespace qm
