#include "editor/views/inspector/transform_property_row.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QToolButton>

#include "editor/editor_model.h"
#include "editor/frame_grid.h"
#include "editor/views/inspector/inspector_form.h"
#include "editor/views/inspector/scrub_field.h"
#include "platform/desktop/icons.h"
#include "view_kit/form_style.h"

namespace qm {

namespace {

struct FieldStyle {
    double step;
    int decimals;
    const char* suffix;
};

FieldStyle fieldStyle(TransformProperty property) {
    switch (property) {
    case TransformProperty::anchor:
    case TransformProperty::position:
        return {1, 1, ""};
    case TransformProperty::scale:
    case TransformProperty::rotation:
        return {0.5, 1, property == TransformProperty::scale ? "%" : "\u00B0"};
    case TransformProperty::exposure:
        return {0.02, 2, " EV"};
    case TransformProperty::contrast:
        return {0.5, 0, ""};
    default:
        return {0.5, 0, "%"};
    }
}

QToolButton* symbolButton(const QString& name) {
    auto* button = new QToolButton;
    button->setAutoRaise(true);
    button->setObjectName(name);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

}  // namespace

void beginGestureIfFirst(EditorModel& model, bool first) {
    if (first) model.beginGesture();
}

TransformPropertyRow::TransformPropertyRow(EditorModel& model, QUuid clipID, TransformProperty property, bool compact,
                                           QWidget* parent)
    : QWidget(parent), model_(model), clipID_(clipID), property_(property), compact_(compact) {
    const QString raw = QString::fromLatin1(rawValue(property).data(), qsizetype(rawValue(property).size()));
    const QFont callout = calloutFont(font());
    setFont(callout);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);

    stopwatch_ = symbolButton(raw + QStringLiteral(".stopwatch"));
    connect(stopwatch_, &QToolButton::clicked, this, [this] { model_.toggleAnimation(property_, clipID_); });
    row->addWidget(stopwatch_);

    name_ = new QPushButton;
    name_->setObjectName(raw + QStringLiteral(".name"));
    name_->setFlat(true);
    name_->setFocusPolicy(Qt::NoFocus);
    name_->setStyleSheet(QStringLiteral("QPushButton { text-align: left; border: none; padding: 0; }"));
    const int nameWidth = compact ? 58 : 76;
    name_->setFixedWidth(nameWidth);
    const QString title = tr(displayName(property));
    name_->setText(QFontMetrics(callout).elidedText(title, Qt::ElideRight, nameWidth));
    name_->setToolTip(tr("Select all keyframes of this property and show it in the Graph Editor"));
    connect(name_, &QPushButton::clicked, this, [this] { model_.showPropertyInGraphEditor(property_, clipID_); });
    row->addWidget(name_);
    row->addStretch(1);
    row->addSpacing(2);

    const FieldStyle style = fieldStyle(property);
    const int fieldWidth = compact ? 46 : 54;
    const int components = isVectorProperty(property) ? 2 : 1;
    for (int i = 0; i < components; ++i) {
        auto* field = new ScrubField(style.step, style.decimals, QString::fromUtf8(style.suffix), fieldWidth);
        field->setObjectName(raw + (components == 1 ? QStringLiteral(".value") : i == 0 ? QStringLiteral(".x")
                                                                                        : QStringLiteral(".y")));
        if (components == 1)
            field->onChange = [this](double v, bool first) { writeScalar(v, first); };
        else
            field->onChange = [this, i](double v, bool first) { writePair(i, v, first); };
        field->onEnd = [&model = model_] { model.endGesture(); };
        fields_[i] = field;
        row->addWidget(field);
        if (i == 0 && property == TransformProperty::scale) {
            link_ = symbolButton(raw + QStringLiteral(".link"));
            link_->setToolTip(tr("Constrain Proportions"));
            connect(link_, &QToolButton::clicked, this, [this] { model_.setUniformScale(clipID_, !uniform_); });
            row->addWidget(link_);
        }
    }

    navigation_ = new QWidget;
    auto* nav = new QHBoxLayout(navigation_);
    nav->setContentsMargins(0, 0, 0, 0);
    nav->setSpacing(1);
    previous_ = symbolButton(raw + QStringLiteral(".previous"));
    keyframe_ = symbolButton(raw + QStringLiteral(".keyframe"));
    next_ = symbolButton(raw + QStringLiteral(".next"));
    previous_->setFixedWidth(12);
    next_->setFixedWidth(12);
    for (QToolButton* b : {previous_, keyframe_, next_}) nav->addWidget(b);
    const auto jump = [this](bool forward) {
        if (const auto clip = model_.clip(clipID_)) model_.jumpToPropertyKeyframe(*clip, property_, forward);
    };
    connect(previous_, &QToolButton::clicked, this, [jump] { jump(false); });
    connect(next_, &QToolButton::clicked, this, [jump] { jump(true); });
    connect(keyframe_, &QToolButton::clicked, this, [this] { model_.toggleKeyframeAtPlayhead(clipID_, property_); });
    row->addWidget(navigation_);
    placeholder_ = new QWidget;
    placeholder_->setFixedSize(40, 1);
    row->addWidget(placeholder_);
    refresh();
}

void TransformPropertyRow::setIcon(QToolButton* button, const char* symbol, bool active, int size) {
    // Icons are drawn only when their look changes: a refresh runs on every step of a drag.
    const QString key = QString::fromLatin1(symbol) + (active ? QStringLiteral("+") : QStringLiteral("-"));
    if (button->property("qmIcon").toString() == key) return;
    button->setProperty("qmIcon", key);
    button->setIcon(
        QIcon(symbolPixmap(QString::fromLatin1(symbol), size, active ? accentColor(this) : secondaryColor(this))));
    button->setIconSize(QSize(size, size));
}

void TransformPropertyRow::refresh() {
    const auto clip = model_.clip(clipID_);
    const auto transform = model_.transform(clipID_);
    const bool animated = transform && transform->isPropertyAnimated(property_);
    const double t = clip ? model_.clipTimeAtPlayhead(*clip) : 0.0;
    const bool hasKey = transform && transform->hasKeyframe(property_, t, halfFrame(model_.project().frameRate));

    setIcon(stopwatch_, animated ? "stopwatch.fill" : "stopwatch", animated, 14);
    const QString tip = animated ? tr("Stopwatch on: changes add keyframes. Click to remove all keyframes.")
                                 : tr("Turn on the stopwatch to animate this property");
    if (stopwatch_->toolTip() != tip) stopwatch_->setToolTip(tip);

    const bool graphed = model_.graphProperty() == property_ && model_.selectedClipID() == clipID_;
    if (name_->property("qmActive").toBool() != graphed || !name_->property("qmActive").isValid()) {
        name_->setProperty("qmActive", graphed);
        QPalette palette = name_->palette();
        palette.setColor(QPalette::ButtonText, graphed ? accentColor(this) : palette.color(QPalette::WindowText));
        name_->setPalette(palette);
    }

    for (ScrubField* field : fields_)
        if (field) field->setVisible(transform.has_value());
    if (link_) link_->setVisible(transform.has_value());
    if (transform) {
        const TransformValue value = transform->valueOf(property_, t);
        if (const auto* pair = std::get_if<Vec2>(&value)) {
            shown_ = *pair;
            fields_[0]->setValue(pair->x);
            fields_[1]->setValue(pair->y);
        } else {
            fields_[0]->setValue(std::get<double>(value));
        }
        uniform_ = transform->uniformScale;
        if (link_) setIcon(link_, uniform_ ? "link" : "link.badge.plus", uniform_, 9);
    }

    navigation_->setVisible(transform && animated);
    placeholder_->setVisible(!(transform && animated));
    if (transform && animated) {
        setIcon(previous_, "chevron.left", false, 8);
        setIcon(next_, "chevron.right", false, 8);
        setIcon(keyframe_, hasKey ? "diamond.fill" : "diamond", hasKey, 9);
        const QString keyTip = hasKey ? tr("Remove keyframe") : tr("Add keyframe");
        if (keyframe_->toolTip() != keyTip) keyframe_->setToolTip(keyTip);
    }
}

void TransformPropertyRow::writeScalar(double value, bool first) {
    beginGestureIfFirst(model_, first);
    model_.setPropertyValue(property_, clipID_, value, false);
}

void TransformPropertyRow::writePair(int component, double value, bool first) {
    const auto clip = model_.clip(clipID_);
    if (!clip) return;
    if (first) gestureStart_ = shown_;
    Vec2 pair = shown_;
    if (property_ == TransformProperty::scale && uniform_) {
        // The ratio of the pair at the gesture's start; with 0 there the other component stays.
        const Vec2 base = gestureStart_;
        if (component == 0)
            pair = {value, base.x != 0 ? value * base.y / base.x : shown_.y};
        else
            pair = {base.y != 0 ? value * base.x / base.y : shown_.x, value};
    } else if (component == 0) {
        pair.x = value;
    } else {
        pair.y = value;
    }
    const double t = model_.clipTimeAtPlayhead(*clip);
    const double tolerance = halfFrame(model_.project().frameRate);
    if (!model_.transform(clipID_)) return;
    beginGestureIfFirst(model_, first);
    editClipTransform(model_, clipID_, false, [&](ClipTransform& transform) {
        Animatable<Vec2>& animatable = transform.vector(property_);
        if (animatable.keyframes.empty())
            animatable.value = pair;
        else
            animatable.setKeyframe(t, pair, tolerance);
    });
}

}  // namespace qm
