#pragma once
// The End Credits screen: the settings panel at the left, the preview, transport and export bar
// at the right; the review sheet while the model asks for it and the one alert for its errors.

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include "credits/credits_model.h"
#include "credits/views/chinese_choices_sheet.h"

namespace qm {

class CreditsExportBar;
class CreditsPreview;
class CreditsSettingsPanel;
class CreditsTransport;

class CreditsView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kRightColumnMinimum = 520;

    explicit CreditsView(CreditsModel& model, QWidget* parent = nullptr);

    CreditsSettingsPanel* settingsPanel() const { return panel_; }
    CreditsPreview* preview() const { return preview_; }
    CreditsTransport* transport() const { return transport_; }
    CreditsExportBar* exportBar() const { return exportBar_; }
    QWidget* rightColumn() const { return right_; }
    // While shown; null otherwise.
    ChineseChoicesSheet* sheet() const { return sheet_; }
    QMessageBox* alert() const { return alert_; }

private:
    void followReview();
    void followError();

    CreditsModel& model_;
    CreditsSettingsPanel* panel_ = nullptr;
    CreditsPreview* preview_ = nullptr;
    CreditsTransport* transport_ = nullptr;
    CreditsExportBar* exportBar_ = nullptr;
    QWidget* right_ = nullptr;
    QPointer<ChineseChoicesSheet> sheet_;
    QPointer<QMessageBox> alert_;
};

}  // namespace qm
