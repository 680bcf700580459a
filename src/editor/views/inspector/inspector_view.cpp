#include "editor/views/inspector/inspector_view.h"

#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QVBoxLayout>

#include "editor/editor_model.h"
#include "editor/views/inspector/clip_inspector.h"
#include "editor/views/inspector/project_inspector.h"
#include "platform/desktop/icons.h"
#include "view_kit/form_style.h"
#include "view_kit/wheel_guard.h"

namespace qm {

InspectorView::InspectorView(EditorModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    scroll_ = new QScrollArea;
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    column->addWidget(scroll_, 1);
    column->addWidget(divider(Qt::Horizontal));
    auto* footer = new QVBoxLayout;
    footer->setContentsMargins(12, 12, 12, 12);
    export_ = new QPushButton(symbolIcon(QStringLiteral("square.and.arrow.up")), tr("Export…"));
    export_->setObjectName(QStringLiteral("export"));
    export_->setDefault(true);
    export_->setMinimumHeight(32);
    export_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // Prominent: filled with the accent colour while it can be used; disabled, it looks disabled.
    QPalette prominent = export_->palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        prominent.setColor(group, QPalette::Button, accentColor(export_));
        prominent.setColor(group, QPalette::ButtonText, prominent.color(group, QPalette::HighlightedText));
    }
    export_->setPalette(prominent);
    connect(export_, &QPushButton::clicked, this, &InspectorView::exportRequested);
    footer->addWidget(export_);
    column->addLayout(footer);
    // The shortcut goes through the button, so it acts only while the button is enabled.
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_E), this);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, [this] {
        if (export_->isEnabled()) export_->click();
    });

    const auto changed = [this] { refresh(); };
    for (auto signal : {&EditorModel::projectChanged, &EditorModel::selectedClipIDChanged,
                        &EditorModel::playheadChanged, &EditorModel::ltcChanged, &EditorModel::syncStatusChanged,
                        &EditorModel::graphPropertyChanged, &EditorModel::isExportingChanged,
                        &EditorModel::isPickingKeyColorChanged})
        connect(&model_, signal, this, changed);
    refresh();
}

void InspectorView::install(QWidget* content) {
    QWidget* old = scroll_->takeWidget();
    scroll_->setWidget(content);
    takeWheelOnlyWhenFocused(scroll_);
    if (old) old->deleteLater();
}

void InspectorView::refresh() {
    const auto clip = model_.selectedClip();
    if (clip) {
        if (!clipInspector_ || clipInspector_->clipID() != clip->id) {
            projectInspector_ = nullptr;
            clipInspector_ = new ClipInspector(model_, clip->id);
            connect(clipInspector_, &ClipInspector::syncRequested, this, &InspectorView::syncRequested);
            connect(clipInspector_, &ClipInspector::rebuilt, this, [this] { takeWheelOnlyWhenFocused(scroll_); });
            install(clipInspector_);
        } else {
            clipInspector_->refresh();
        }
    } else if (!projectInspector_) {
        clipInspector_ = nullptr;
        projectInspector_ = new ProjectInspector(model_);
        install(projectInspector_);
    } else {
        projectInspector_->refresh();
    }
    export_->setEnabled(model_.project().duration() != 0 && !model_.isExporting());
}

}  // namespace qm
