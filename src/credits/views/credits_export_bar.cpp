#include "credits/views/credits_export_bar.h"

#include <cmath>

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>

#include "credits/views/clock_format.h"
#include "platform/desktop/icons.h"
#include "platform/system/desktop_services.h"
#include "view_kit/pickers.h"
#include "view_kit/form_style.h"

namespace qm {

bool isOfferedForCredits(OutputFormat format) { return isWritable(format); }

bool creditsAlphaWarningApplies(const CreditsSettings& settings, OutputFormat format) {
    return settings.background == CreditsSettings::Background::transparent && !supportsAlpha(format);
}

CreditsExportBar::CreditsExportBar(CreditsModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 10, 16, 10);
    row->setSpacing(12);

    auto* formatTitle = new QLabel(tr("Format"));
    row->addWidget(formatTitle);
    format_ = new QComboBox;
    format_->setFixedWidth(260 - formatTitle->sizeHint().width() - 6);
    fillOutputFormatPicker(format_, &isOfferedForCredits, UnofferedFormats::hidden);
    formatTitle->setBuddy(format_);
    row->addWidget(format_);
    connect(format_, &QComboBox::activated, this, [this](int index) {
        const auto format = pickerOption<OutputFormat>(format_, index);
        if (!format) return;
        ConversionSettings output = model_.output();
        output.format = *format;
        model_.setOutput(output);
    });

    alphaWarning_ = new QWidget;
    auto* warning = new QHBoxLayout(alphaWarning_);
    warning->setContentsMargins(0, 0, 0, 0);
    warning->setSpacing(4);
    auto* warningIcon = new QLabel;
    warningIcon->setPixmap(symbolPixmap(QStringLiteral("exclamationmark.triangle.fill"), 14, QColor(0xe6, 0x7e, 0x00)));
    warning->addWidget(warningIcon);
    auto* warningText = new QLabel(tr("No alpha: transparent areas become black"));
    warningText->setFont(captionFont(warningText->font()));
    warningText->setStyleSheet(QStringLiteral("color: #e67e00;"));
    warning->addWidget(warningText);
    row->addWidget(alphaWarning_);
    row->addStretch(1);

    progressRow_ = new QWidget;
    auto* progress = new QHBoxLayout(progressRow_);
    progress->setContentsMargins(0, 0, 0, 0);
    progress->setSpacing(12);
    progress_ = new QProgressBar;
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);
    progress_->setFixedWidth(140);
    progress->addWidget(progress_);
    percent_ = new QLabel;
    percent_->setFixedWidth(40);
    percent_->setFont(digitsFont(percent_->font()));
    progress->addWidget(percent_);
    cancel_ = new QPushButton(tr("Cancel"));
    progress->addWidget(cancel_);
    row->addWidget(progressRow_);
    connect(cancel_, &QPushButton::clicked, &model_, &CreditsModel::cancelExport);

    reveal_ = new QToolButton;
    reveal_->setAutoRaise(true);
    reveal_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    reveal_->setIcon(symbolIcon(QStringLiteral("checkmark.circle.fill")));
    reveal_->setText(tr("Show in File Manager"));
    row->addWidget(reveal_);
    connect(reveal_, &QToolButton::clicked, this,
            [this] { desktopServices().revealInFileManager({model_.exportResult()}); });

    error_ = new QLabel;
    error_->setStyleSheet(QStringLiteral("color: #d0312d;"));
    error_->setWordWrap(true);
    error_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    row->addWidget(error_, 2);

    export_ = new QPushButton(symbolIcon(QStringLiteral("square.and.arrow.up")), tr("Export…"));
    export_->setDefault(true);
    export_->setAutoDefault(false);
    QFont strong = export_->font();
    strong.setBold(true);
    export_->setFont(strong);
    row->addWidget(export_);
    connect(export_, &QPushButton::clicked, &model_, &CreditsModel::exportCredits);

    for (auto signal : {&CreditsModel::outputChanged, &CreditsModel::settingsChanged, &CreditsModel::isExportingChanged,
                        &CreditsModel::exportProgressChanged, &CreditsModel::exportResultChanged,
                        &CreditsModel::exportErrorChanged, &CreditsModel::rendererChanged})
        connect(&model_, signal, this, &CreditsExportBar::refresh);
    refresh();
}

void CreditsExportBar::refresh() {
    const OutputFormat format = model_.output().format;
    {
        const QSignalBlocker quiet(format_);
        selectPickerOption(format_, format);
    }
    alphaWarning_->setVisible(creditsAlphaWarningApplies(model_.settings(), format));

    // One status: a running export over the last result, a result over an error.
    if (model_.isExporting())
        status_ = Status::progress;
    else if (!model_.exportResult().isEmpty())
        status_ = Status::result;
    else if (model_.exportError())
        status_ = Status::error;
    else
        status_ = Status::none;
    progressRow_->setVisible(status_ == Status::progress);
    reveal_->setVisible(status_ == Status::result);
    error_->setVisible(status_ == Status::error);
    const double fraction = model_.exportProgress().fraction;
    progress_->setValue(std::isfinite(fraction) ? int(std::lround(std::clamp(fraction, 0.0, 1.0) * 1000)) : 0);
    percent_->setText(percentText(fraction));
    error_->setText(model_.exportError().value_or(QString()));

    const auto& renderer = model_.renderer();
    export_->setEnabled(!model_.isExporting() && renderer && renderer->totalSeconds() > 0);
}

}  // namespace qm
