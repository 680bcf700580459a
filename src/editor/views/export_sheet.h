#pragma once
// The sheet that exports the whole timeline: output settings (remembered from the last export),
// the destination panel, then the model's progress with "Stop", and the written file with "Show in
// File Manager" and "Done". The export itself is the model's; the sheet only follows its fields.

#include <QDialog>
#include <QStringList>

#include "engine/conversion_settings.h"
#include "engine/transcode_sync.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QProgressBar;
class QPushButton;

namespace qm {

class EditorModel;
class OutputSizeControls;
class SettingsStore;
struct Project;

class ExportSheet : public QDialog {
    Q_OBJECT
public:
    explicit ExportSheet(EditorModel& model, QWidget* parent = nullptr);

    // ProRes 422 HQ, not the record's own Hap Q.
    static ConversionSettings defaultSettings();
    // Every format this build writes, but NotchLC.
    static bool isOffered(OutputFormat format);
    // The stored settings; the defaults when none, unreadable or naming a format not offered.
    static ConversionSettings loadSettings(const SettingsStore& store);
    static void saveSettings(SettingsStore& store, const ConversionSettings& settings);
    static bool alphaWarningApplies(const Project& project, OutputFormat format);
    // "1920×1080 · 00:01:30:00".
    static QString projectSummary(const Project& project);
    // "42% · 57 fps".
    static QString progressText(const TranscodeProgress& progress);
    // Before the export and after it: the missing media whose clips are (were) left out.
    static QString missingMediaText(const QStringList& names);
    // Before the export: the media whose files are there but can't be read, which would stop it.
    static QString unreadableMediaText(const QStringList& names);
    static QString leftOutText(const QStringList& names);
    // "Show_ProResHQ": the project file's name (or "Untitled") and the format's tag.
    QString outputName() const;

    const ConversionSettings& settings() const { return settings_; }

    // The "Export…" action: stores the settings, asks for the destination, starts the export.
    void exportTimeline();
    // "Cancel" and "Done": clears the model's result and error, then closes.
    void closeSheet();
    // Takes the sheet away whatever its state (leaving the mode); a running export goes on.
    void dismiss();

    // For tests.
    QComboBox* formatPicker() const { return format_; }
    QLabel* formatSummary() const { return formatSummary_; }
    QComboBox* chunksPicker() const { return chunks_; }
    QCheckBox* highQualityToggle() const { return highQuality_; }
    QComboBox* qualityPicker() const { return quality_; }
    OutputSizeControls* sizeControls() const { return sizeControls_; }
    QCheckBox* includeAudioToggle() const { return includeAudio_; }
    QWidget* alphaWarning() const { return alphaWarning_; }
    QWidget* missingWarning() const { return missingWarning_; }
    QLabel* missingLabel() const { return missingText_; }
    QLabel* errorLabel() const { return errorText_; }
    QLabel* projectSummaryLabel() const { return projectSummary_; }
    QPushButton* exportButton() const { return export_; }
    QPushButton* cancelButton() const { return cancel_; }
    QWidget* settingsView() const { return settingsView_; }
    QWidget* progressView() const { return progressView_; }
    QProgressBar* progressBar() const { return bar_; }
    QLabel* progressLabel() const { return progressLine_; }
    QPushButton* stopButton() const { return stop_; }
    QWidget* resultView() const { return resultView_; }
    QLabel* resultLabel() const { return resultName_; }
    QWidget* leftOutRow() const { return leftOutRow_; }
    QLabel* leftOutLabel() const { return leftOutText_; }
    QPushButton* revealButton() const { return reveal_; }
    QPushButton* doneButton() const { return done_; }

    // Escape closes only the settings and result views; the progress view ends with the export.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildSettingsView();
    void buildProgressView();
    void buildResultView();
    void refresh();
    void setRowVisible(QWidget* field, bool visible);

    EditorModel& model_;
    bool dismissing_ = false;
    ConversionSettings settings_;
    QFormLayout* form_ = nullptr;
    QWidget* settingsView_ = nullptr;
    QComboBox* format_ = nullptr;
    QLabel* formatSummary_ = nullptr;
    QComboBox* chunks_ = nullptr;
    QCheckBox* highQuality_ = nullptr;
    QComboBox* quality_ = nullptr;
    OutputSizeControls* sizeControls_ = nullptr;
    QCheckBox* includeAudio_ = nullptr;
    QWidget* alphaWarning_ = nullptr;
    QWidget* missingWarning_ = nullptr;
    QLabel* missingText_ = nullptr;
    QWidget* errorRow_ = nullptr;
    QLabel* errorText_ = nullptr;
    QLabel* projectSummary_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* export_ = nullptr;
    QWidget* progressView_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QLabel* progressLine_ = nullptr;
    QPushButton* stop_ = nullptr;
    QWidget* resultView_ = nullptr;
    QLabel* resultName_ = nullptr;
    QWidget* leftOutRow_ = nullptr;
    QLabel* leftOutText_ = nullptr;
    QPushButton* reveal_ = nullptr;
    QPushButton* done_ = nullptr;
};

}  // namespace qm
