#include "editor/views/editor_view.h"

#include <utility>

#include <QFrame>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QSplitter>

#include "editor/editor_key_monitor.h"
#include "editor/editor_model.h"
#include "editor/views/inspector/inspector_view.h"
#include "editor/views/export_sheet.h"
#include "editor/views/sync_report_sheet.h"
#include "editor/views/media_bin.h"
#include "editor/views/timeline/timeline_view.h"
#include "editor/views/viewer_view.h"
#include "platform/system/desktop_services.h"

namespace qm {

namespace {

QFrame* dividerLine(QFrame::Shape shape, QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(shape);
    line->setFrameShadow(QFrame::Plain);
    line->setForegroundRole(QPalette::Mid);
    return line;
}

}  // namespace

EditorView::EditorView(EditorModel& model, QWidget* parent)
    : QWidget(parent),
      model_(model),
      keyMonitor_(new EditorKeyMonitor(this)),
      splitter_(new QSplitter(Qt::Vertical, this)),
      bin_(new MediaBinView(model, this)),
      viewer_(new ViewerView(model, this)),
      timeline_(new TimelineView(model, this)),
      inspector_(new InspectorView(model, this)),
      capsule_(new QFrame(this)),
      capsuleText_(new QLabel(capsule_)),
      capsuleBar_(new QProgressBar(capsule_)) {
    bin_->setFixedWidth(240);
    inspector_->setFixedWidth(330);

    auto* upper = new QWidget(splitter_);
    auto* row = new QHBoxLayout(upper);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(bin_);
    row->addWidget(dividerLine(QFrame::VLine, upper));
    row->addWidget(viewer_, 1);
    upper->setMinimumHeight(320);
    timeline_->setMinimumHeight(200);
    splitter_->addWidget(upper);
    splitter_->addWidget(timeline_);
    splitter_->setChildrenCollapsible(false);
    splitter_->setStretchFactor(0, 430);
    splitter_->setStretchFactor(1, 280);
    splitter_->setSizes({430, 280});

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(splitter_, 1);
    layout->addWidget(dividerLine(QFrame::VLine, this));
    layout->addWidget(inspector_);

    // The packaging capsule floats 10 below the top edge, centred.
    capsule_->setObjectName(QStringLiteral("packagingCapsule"));
    capsule_->setStyleSheet(QStringLiteral(
        "#packagingCapsule { background: palette(window); border: 1px solid palette(mid); border-radius: 16px; }"));
    capsuleBar_->setFixedWidth(140);
    capsuleBar_->setTextVisible(false);
    auto* capsuleRow = new QHBoxLayout(capsule_);
    capsuleRow->setContentsMargins(16, 10, 16, 10);
    capsuleRow->setSpacing(10);
    capsuleRow->addWidget(capsuleBar_);
    capsuleRow->addWidget(capsuleText_);
    capsule_->hide();

    connect(&model_, &EditorModel::importErrorsChanged, this, &EditorView::showImportErrors);
    connect(&model_, &EditorModel::saveFailed, this, [this] { saveFailed_ = true; });
    connect(&model_, &EditorModel::packageResultChanged, this, &EditorView::showPackageResult);
    connect(&model_, &EditorModel::packagingProgressChanged, this, &EditorView::showPackaging);
    connect(inspector_, &InspectorView::syncRequested, &model_, &EditorModel::syncClips);
    connect(&model_, &EditorModel::syncReportChanged, this, &EditorView::showSyncReport);
    connect(inspector_, &InspectorView::exportRequested, this, &EditorView::showExportSheet);
}

void EditorView::showExportSheet() {
    if (exportSheet_) {
        exportSheet_->raise();
        return;
    }
    exportSheet_ = new ExportSheet(model_, window());
    exportSheet_->setAttribute(Qt::WA_DeleteOnClose);
    connect(exportSheet_, &QDialog::finished, this, [this] {
        keepAlertsOf(exportSheet_);
        exportSheet_ = nullptr;
    });
    exportSheet_->open();
}

void EditorView::showSyncReport() {
    if (!model_.syncReport()) {
        if (syncSheet_) syncSheet_->close();
        return;
    }
    // A copy: the old sheet's handler would clear the model's report, and with it this new one.
    const SyncReport report = *model_.syncReport();
    if (QDialog* old = std::exchange(syncSheet_, nullptr)) {
        disconnect(old, &QDialog::finished, this, nullptr);
        keepAlertsOf(old);
        old->close();
    }
    syncSheet_ = new SyncReportSheet(report, window());
    syncSheet_->setAttribute(Qt::WA_DeleteOnClose);
    // However the sheet closes, the report is done with.
    connect(syncSheet_, &QDialog::finished, this, [this] {
        keepAlertsOf(syncSheet_);
        syncSheet_ = nullptr;
        model_.clearSyncReport();
    });
    syncSheet_->open();
    // An alert already up stays in front of the sheet.
    for (QMessageBox* alert : {importAlert_, packageAlert_})
        if (alert) alert->raise();
}

QString EditorView::packagingText(int done, int total) {
    return tr("Packaging… %1 of %2 files").arg(done).arg(total);
}

QString EditorView::packageMessage(const QString& url, const QStringList& missing) {
    const QString name = QFileInfo(url).fileName();
    if (missing.isEmpty())
        return tr("%1 holds the project and all its media. Move the whole package to another computer and open it there.")
            .arg(name);
    return tr("%1 was saved, but these files couldn't be found and weren't copied: %2")
        .arg(name, missing.join(QStringLiteral(", ")));
}

QMessageBox* EditorView::makeAlert(const QString& title) {
    // Over a sheet while one is up: an alert behind it could not be answered.
    QWidget* owner = exportSheet_ ? static_cast<QWidget*>(exportSheet_) : syncSheet_ ? syncSheet_ : window();
    auto* box = new QMessageBox(owner);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Warning);
    box->setText(title);
    return box;
}

void EditorView::keepAlertsOf(QWidget* sheet) {
    // The sheet is deleted once closed, and its child windows with it: an alert still unanswered
    // goes back over the window.
    for (QMessageBox* alert : {importAlert_, packageAlert_}) {
        if (!alert || alert->parentWidget() != sheet) continue;
        alert->setParent(window(), alert->windowFlags());
        alert->open();
    }
}

void EditorView::showImportErrors() {
    const QStringList& errors = model_.importErrors();
    const bool saveFailed = std::exchange(saveFailed_, false);
    if (errors.isEmpty()) {
        // Cleared elsewhere: the alert goes with its field.
        if (importAlert_) importAlert_->close();
        return;
    }
    if (!importAlert_) {
        importAlert_ = makeAlert(saveFailed ? tr("The project couldn't be saved") : tr("Some files couldn't be used"));
        importAlert_->setStandardButtons(QMessageBox::Ok);
        // However it closes, the errors have been seen.
        connect(importAlert_, &QMessageBox::finished, this, [this] {
            importAlert_ = nullptr;
            model_.clearImportErrors();
        });
        importAlert_->open();
    }
    importAlert_->setInformativeText(errors.join(QLatin1Char('\n')));
}

void EditorView::showPackageResult() {
    const auto& result = model_.packageResult();
    if (!result) {
        if (packageAlert_) packageAlert_->close();
        return;
    }
    if (!packageAlert_) {
        packageAlert_ = makeAlert(tr("Project packaged"));
        packageAlert_->setIcon(QMessageBox::Information);
        QPushButton* reveal = packageAlert_->addButton(tr("Show in File Manager"), QMessageBox::ActionRole);
        packageAlert_->addButton(QMessageBox::Ok);
        connect(packageAlert_, &QMessageBox::finished, this, [this, reveal] {
            const bool show = packageAlert_->clickedButton() == reveal;
            packageAlert_ = nullptr;
            if (show && model_.packageResult()) desktopServices().revealInFileManager({model_.packageResult()->url});
            model_.clearPackageResult();
        });
        packageAlert_->open();
    }
    packageAlert_->setInformativeText(packageMessage(result->url, result->missing));
}

void EditorView::showPackaging() {
    const auto& progress = model_.packagingProgress();
    capsule_->setVisible(progress.has_value());
    if (!progress) return;
    capsuleBar_->setRange(0, std::max(progress->total, 1));
    capsuleBar_->setValue(progress->done);
    capsuleText_->setText(packagingText(progress->done, progress->total));
    capsule_->adjustSize();
    capsule_->move((width() - capsule_->width()) / 2, 10);
    capsule_->raise();
}

void EditorView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    capsule_->move((width() - capsule_->width()) / 2, 10);
}

EditorView::~EditorView() { keyMonitor_->stop(); }

void EditorView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous()) return;
    keyMonitor_->start(&model_);
    model_.requestRender();
}

void EditorView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (event->spontaneous()) return;
    keyMonitor_->stop();
    model_.pause();
    bin_->clearSelection();
    // Leaving the mode takes the sheet away; an export already running goes on in the model.
    if (exportSheet_) exportSheet_->dismiss();
}

}  // namespace qm
