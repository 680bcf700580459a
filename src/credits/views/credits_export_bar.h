#pragma once
// The bar at the bottom of the preview column: the output format, the alpha warning, export
// progress with Cancel, the finished file or the error, and Export….

#include <QWidget>

#include "credits/credits_model.h"

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace qm {

// The formats the credits export offers: every available format except NotchLC.
bool isOfferedForCredits(OutputFormat format);
// Whether a transparent background would be lost in this format.
bool creditsAlphaWarningApplies(const CreditsSettings& settings, OutputFormat format);

class CreditsExportBar : public QWidget {
    Q_OBJECT
public:
    explicit CreditsExportBar(CreditsModel& model, QWidget* parent = nullptr);

    // Which status is shown.
    enum class Status { none, progress, result, error };
    Status status() const { return status_; }

    QComboBox* formatPicker() const { return format_; }
    QWidget* alphaWarning() const { return alphaWarning_; }
    QProgressBar* progressBar() const { return progress_; }
    QLabel* percentLabel() const { return percent_; }
    QPushButton* cancelButton() const { return cancel_; }
    QToolButton* revealButton() const { return reveal_; }
    QLabel* errorLabel() const { return error_; }
    QPushButton* exportButton() const { return export_; }

private:
    void refresh();

    CreditsModel& model_;
    Status status_ = Status::none;
    QComboBox* format_ = nullptr;
    QWidget* alphaWarning_ = nullptr;
    QWidget* progressRow_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* percent_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QToolButton* reveal_ = nullptr;
    QLabel* error_ = nullptr;
    QPushButton* export_ = nullptr;
};

}  // namespace qm
