#pragma once
// The rows that edit the output frame size of a ConversionSettings: the size rule, the scale
// percentage and a read-out of the resulting size for a known source. The rows go straight into
// the caller's form.

#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include <QObject>

#include "engine/conversion_settings.h"

class QComboBox;
class QDoubleSpinBox;
class QFormLayout;
class QLabel;
class QSlider;
class QToolButton;
class QWidget;

namespace qm {

class OutputSizeControls : public QObject {
    Q_OBJECT
public:
    static const std::vector<double>& percentPresets();

    // get/set: the two-way binding to the caller's settings.
    OutputSizeControls(QFormLayout* form, std::function<ConversionSettings()> get,
                       std::function<void(const ConversionSettings&)> set, QObject* parent = nullptr);

    void setSourceSize(std::optional<std::pair<int, int>> size);
    // Re-reads the settings (call when the caller's settings change).
    void refresh();
    void setEnabled(bool enabled);

    QComboBox* sizePicker() const { return size_; }
    QWidget* ratioRow() const { return ratioRow_; }
    QSlider* ratioSlider() const { return slider_; }
    QDoubleSpinBox* ratioField() const { return field_; }
    QToolButton* presetsButton() const { return presets_; }
    QLabel* readout() const { return readout_; }

private:
    void write(const std::function<void(ConversionSettings&)>& change);

    QFormLayout* form_;
    std::function<ConversionSettings()> get_;
    std::function<void(const ConversionSettings&)> set_;
    std::optional<std::pair<int, int>> sourceSize_;
    QComboBox* size_ = nullptr;
    QWidget* ratioRow_ = nullptr;
    QLabel* ratioLabel_ = nullptr;
    QSlider* slider_ = nullptr;
    QDoubleSpinBox* field_ = nullptr;
    QToolButton* presets_ = nullptr;
    QLabel* readout_ = nullptr;
    bool refreshing_ = false;
};

}  // namespace qm
