#pragma once
// The right-hand column of the Convert window: the preview, the output settings, the destination
// folder and the button that starts or stops the run. It keeps nothing of its own: every control
// reads and writes the queue.

#include <optional>

#include <QString>
#include <QWidget>

#include "core/output_format.h"

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QToolButton;

namespace qm {

class ConversionQueue;
class OutputSizeControls;
class PreviewPanel;

struct FormatBadges {
    QString container;
    std::optional<QString> alpha;
    std::optional<QString> gpu;
    bool operator==(const FormatBadges&) const = default;
};
FormatBadges formatBadges(OutputFormat format);

// Whether the chosen format would drop the alpha of a queued source.
bool alphaWarningApplies(const ConversionQueue& queue);

class SettingsPanel : public QWidget {
    Q_OBJECT
public:
    explicit SettingsPanel(ConversionQueue& queue, QWidget* parent = nullptr);

    // For tests.
    PreviewPanel* previewPanel() const { return preview_; }
    QComboBox* formatPicker() const { return format_; }
    QLabel* summaryLabel() const { return summary_; }
    QStringList badgeTexts() const;
    QWidget* alphaWarning() const { return alphaWarning_; }
    QGroupBox* gpuSection() const { return gpuSection_; }
    QComboBox* chunksPicker() const { return chunks_; }
    QCheckBox* highQualityToggle() const { return highQuality_; }
    QGroupBox* qualitySection() const { return qualitySection_; }
    QButtonGroup* qualityPicker() const { return quality_; }
    OutputSizeControls* sizeControls() const { return sizeControls_; }
    QCheckBox* includeAudioToggle() const { return includeAudio_; }
    QLabel* folderLabel() const { return folder_; }
    QToolButton* revealButton() const { return reveal_; }
    QPushButton* chooseButton() const { return choose_; }
    QPushButton* actionButton() const { return action_; }
    QWidget* form() const { return form_; }

private:
    QGroupBox* buildOutputGroup();
    QGroupBox* buildGpuGroup();
    QGroupBox* buildQualityGroup();
    QGroupBox* buildFrameSizeGroup();
    QGroupBox* buildDestinationGroup();
    QWidget* buildActionBar();
    void refresh();
    void watchJobs();

    ConversionQueue& queue_;
    PreviewPanel* preview_ = nullptr;
    QWidget* form_ = nullptr;
    QComboBox* format_ = nullptr;
    QLabel* summary_ = nullptr;
    QWidget* badges_ = nullptr;
    QWidget* alphaWarning_ = nullptr;
    QGroupBox* gpuSection_ = nullptr;
    QWidget* chunksRow_ = nullptr;
    QComboBox* chunks_ = nullptr;
    QCheckBox* highQuality_ = nullptr;
    QGroupBox* qualitySection_ = nullptr;
    QButtonGroup* quality_ = nullptr;
    OutputSizeControls* sizeControls_ = nullptr;
    QCheckBox* includeAudio_ = nullptr;
    QLabel* folder_ = nullptr;
    QToolButton* reveal_ = nullptr;
    QPushButton* choose_ = nullptr;
    QPushButton* action_ = nullptr;
    bool refreshing_ = false;
};

}  // namespace qm
