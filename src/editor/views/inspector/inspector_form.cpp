#include "editor/views/inspector/inspector_form.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "editor/editor_model.h"
#include "view_kit/form_style.h"

namespace qm {

FormSection addSection(QVBoxLayout* form, const QString& title) {
    FormSection section;
    section.box = new QWidget;
    auto* column = new QVBoxLayout(section.box);
    column->setContentsMargins(0, 4, 0, 8);
    column->setSpacing(6);
    section.header = new QHBoxLayout;
    section.header->setSpacing(6);
    if (!title.isEmpty()) {
        auto* label = new QLabel(title);
        label->setObjectName(QStringLiteral("header"));
        QFont bold = label->font();
        bold.setBold(true);
        label->setFont(bold);
        label->setTextFormat(Qt::PlainText);
        section.header->addWidget(label, 1);
    }
    column->addLayout(section.header);
    section.content = new QVBoxLayout;
    section.content->setSpacing(6);
    column->addLayout(section.content);
    form->addWidget(section.box);
    return section;
}

QLabel* secondaryText(const QString& text) {
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, secondaryColor(label));
    label->setPalette(palette);
    return label;
}

QLabel* captionText(const QString& text) {
    auto* label = secondaryText(text);
    label->setFont(captionFont(label->font()));
    label->setWordWrap(true);
    return label;
}

QPushButton* namedButton(const QString& text, const QString& name) {
    auto* button = new QPushButton(text);
    button->setObjectName(name);
    return button;
}

QPushButton* captionButton(const QString& text, const QString& name) {
    auto* button = namedButton(text, name);
    button->setFlat(true);
    button->setFont(captionFont(button->font()));
    return button;
}

bool editClipTransform(EditorModel& model, const QUuid& clipID, bool undoable,
                       const std::function<void(ClipTransform&)>& change) {
    if (!model.clip(clipID)) return false;
    auto transform = model.transform(clipID);
    if (!transform) return false;
    change(*transform);
    model.updateClip(clipID, undoable, [&](Clip& c) {
        c.transform = *transform;
        c.opacity = 1;
    });
    return true;
}

MiddleElidedLabel::MiddleElidedLabel() {
    setTextFormat(Qt::PlainText);
    setMinimumWidth(1);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void MiddleElidedLabel::setFullText(const QString& text) {
    if (text == full_) return;
    full_ = text;
    setToolTip(text);
    elide();
}

void MiddleElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void MiddleElidedLabel::elide() { setTextIfChanged(this, fontMetrics().elidedText(full_, Qt::ElideMiddle, width())); }

void setTextIfChanged(QLabel* label, const QString& text) {
    if (label->text() != text) label->setText(text);
}

}  // namespace qm
