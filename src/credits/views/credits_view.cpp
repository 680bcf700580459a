#include "credits/views/credits_view.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QTimer>
#include <QVBoxLayout>

#include "credits/views/chinese_choices_sheet.h"
#include "credits/views/credits_export_bar.h"
#include "credits/views/credits_preview.h"
#include "credits/views/credits_settings_panel.h"
#include "credits/views/credits_transport.h"
#include "view_kit/form_style.h"

namespace qm {

CreditsView::CreditsView(CreditsModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    panel_ = new CreditsSettingsPanel(model_);
    row->addWidget(panel_);
    row->addWidget(divider(Qt::Vertical));

    right_ = new QWidget;
    right_->setMinimumWidth(kRightColumnMinimum);
    auto* column = new QVBoxLayout(right_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    preview_ = new CreditsPreview(model_);
    column->addWidget(preview_, 1);
    column->addWidget(divider(Qt::Horizontal));
    transport_ = new CreditsTransport(model_, this);
    column->addWidget(transport_);
    column->addWidget(divider(Qt::Horizontal));
    exportBar_ = new CreditsExportBar(model_);
    column->addWidget(exportBar_);
    row->addWidget(right_, 1);

    connect(&model_, &CreditsModel::isReviewingChoicesChanged, this, &CreditsView::followReview);
    connect(&model_, &CreditsModel::errorMessageChanged, this, &CreditsView::followError);
    followReview();
    followError();
}

void CreditsView::followReview() {
    if (model_.isReviewingChoices() && !sheet_) {
        sheet_ = new ChineseChoicesSheet(model_, this);
        sheet_->setAttribute(Qt::WA_DeleteOnClose);
        // Closing the sheet any way (Done, Escape, the window's close button) ends the review.
        connect(sheet_, &QDialog::finished, &model_, [this] { model_.setIsReviewingChoices(false); });
        // An alert shown over the sheet goes with it; it comes back over the screen.
        connect(sheet_, &QObject::destroyed, this, [this] { QTimer::singleShot(0, this, &CreditsView::followError); });
        sheet_->open();
        // An alert already up stays in front of the sheet.
        if (alert_) alert_->raise();
    } else if (!model_.isReviewingChoices() && sheet_) {
        ChineseChoicesSheet* closing = sheet_;
        sheet_ = nullptr;
        closing->close();
    }
}

void CreditsView::followError() {
    const auto& message = model_.errorMessage();
    if (message && !alert_) {
        // Over the sheet while it is up, so it is not hidden behind it.
        QWidget* owner = sheet_ ? static_cast<QWidget*>(sheet_.data()) : this;
        alert_ = new QMessageBox(QMessageBox::Warning, tr("Can't use this file"), *message, QMessageBox::Ok, owner);
        alert_->setText(tr("Can't use this file"));
        alert_->setInformativeText(*message);
        alert_->setWindowModality(Qt::WindowModal);
        alert_->setAttribute(Qt::WA_DeleteOnClose);
        connect(alert_, &QMessageBox::finished, &model_, [this] { model_.setErrorMessage(std::nullopt); });
        alert_->open();
    } else if (message && alert_) {
        alert_->setInformativeText(*message);
    } else if (!message && alert_) {
        QMessageBox* closing = alert_;
        alert_ = nullptr;
        closing->close();
    }
}

}  // namespace qm
