#pragma once
// The settings form at the left of the End Credits window: project, canvas, the opening picture,
// the credits list, text effect, timing and the closing picture. Every control writes the whole
// changed settings value into the model; the model's change signals update the controls in place.

#include <functional>

#include <QScrollArea>

#include "credits/credits_model.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace qm {

class ClockField;
class ColorWell;
class ElidedLabel;
class FileRow;
class IntField;
class LabeledSlider;
class NumberField;

// The size presets of the canvas, in menu order.
struct CanvasPreset {
    const char* name;
    int64_t width;
    int64_t height;
};
inline constexpr CanvasPreset kCanvasPresets[] = {
    {"1920 × 1080 (HD)", 1920, 1080},   {"3840 × 2160 (4K UHD)", 3840, 2160}, {"1280 × 720", 1280, 720},
    {"1080 × 1920", 1080, 1920},        {"2048 × 1080 (2K DCI)", 2048, 1080}, {"4096 × 2160 (4K DCI)", 4096, 2160},
};
inline constexpr double kStandardFrameRates[] = {23.976, 24, 25, 29.97, 30, 50, 59.94, 60};

// The index of the first preset of that size, or -1 ("Custom").
int canvasPresetIndex(int64_t width, int64_t height);

class CreditsSettingsPanel : public QScrollArea {
    Q_OBJECT
public:
    static constexpr int kWidth = 380;

    explicit CreditsSettingsPanel(CreditsModel& model, QWidget* parent = nullptr);

    // The controls of one picture slot.
    struct PictureSlot {
        QGroupBox* section = nullptr;
        FileRow* file = nullptr;
        QWidget* details = nullptr;  // everything below the file row
        QComboBox* key = nullptr;
        ColorWell* keyColor = nullptr;
        LabeledSlider* tolerance = nullptr;
        LabeledSlider* softness = nullptr;
        QCheckBox* outerOnly = nullptr;
        LabeledSlider* size = nullptr;
        NumberField* hold = nullptr;
    };

    // For tests and screenshots.
    QList<QGroupBox*> sections() const;
    ElidedLabel* projectName() const { return projectName_; }
    QPushButton* openButton() const { return open_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* packageButton() const { return package_; }
    QWidget* projectStatus() const { return projectStatus_; }
    QPushButton* showPackageButton() const { return showPackage_; }
    QComboBox* sizePicker() const { return size_; }
    IntField* widthField() const { return width_; }
    IntField* heightField() const { return height_; }
    QToolButton* frameRateMenu() const { return rateMenu_; }
    NumberField* frameRateField() const { return rate_; }
    QComboBox* backgroundPicker() const { return background_; }
    ColorWell* backgroundColor() const { return backgroundColor_; }
    QLabel* alphaNote() const { return alphaNote_; }
    const PictureSlot& opening() const { return opening_; }
    const PictureSlot& closing() const { return closing_; }
    FileRow* documentRow() const { return document_; }
    QWidget* documentStatus() const { return documentStatus_; }
    QLabel* documentStatusText() const { return documentStatusText_; }
    // What of the list could not be read; hidden when it read whole.
    QWidget* documentDamageRow() const { return documentDamageRow_; }
    QLabel* documentDamage() const { return documentDamage_; }
    LabeledSlider* columnWidth() const { return columnWidth_; }
    LabeledSlider* textSize() const { return textSize_; }
    QComboBox* textColorMode() const { return textColorMode_; }
    ColorWell* textColor() const { return textColor_; }
    QLabel* pdfNote() const { return pdfNote_; }
    QWidget* wordRows() const { return wordRows_; }
    QComboBox* fontPicker() const { return font_; }
    QLabel* skipCount() const { return skipCount_; }
    QToolButton* skipLess() const { return skipLess_; }
    QToolButton* skipMore() const { return skipMore_; }
    QComboBox* chinesePicker() const { return chinese_; }
    QLabel* noChoicesLabel() const { return noChoices_; }
    QPushButton* reviewButton() const { return review_; }
    QComboBox* logoPicker() const { return logos_; }
    QCheckBox* logoOuterOnly() const { return logoOuterOnly_; }
    QComboBox* effectPicker() const { return effect_; }
    QWidget* effectRows() const { return effectRows_; }
    ColorWell* effectColor() const { return effectColor_; }
    LabeledSlider* effectSize() const { return effectSize_; }
    LabeledSlider* effectStrength() const { return effectStrength_; }
    LabeledSlider* shadowDistance() const { return shadowOffset_; }
    QCheckBox* effectOnImages() const { return effectOnImages_; }
    QComboBox* lengthMeaning() const { return lengthMeaning_; }
    ClockField* lengthField() const { return length_; }
    NumberField* fadeInField() const { return fadeIn_; }
    NumberField* fadeOutField() const { return fadeOut_; }
    LabeledSlider* gap() const { return gap_; }
    QCheckBox* wholePixelSteps() const { return wholePixelSteps_; }
    QWidget* readout() const { return readout_; }
    QLabel* readoutTotal() const { return readoutTotal_; }
    QLabel* readoutSpeed() const { return readoutSpeed_; }

private:
    QGroupBox* buildProject();
    QGroupBox* buildCanvas();
    PictureSlot buildPicture(const QString& title, const QString& holdLabel, CreditsModel::Slot slot,
                             CreditsSettings::ImageSlot CreditsSettings::*field);
    QGroupBox* buildCreditsList();
    QGroupBox* buildTextEffect();
    QGroupBox* buildTiming();

    void refresh();
    void refreshPicture(const PictureSlot& controls, const CreditsSettings::ImageSlot& slot, const QString& path);
    void edit(const std::function<void(CreditsSettings&)>& change);

    CreditsModel& model_;
    QWidget* form_ = nullptr;

    QGroupBox* projectSection_ = nullptr;
    ElidedLabel* projectName_ = nullptr;
    QPushButton* open_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* package_ = nullptr;
    QWidget* projectStatus_ = nullptr;
    QLabel* projectMessage_ = nullptr;
    QPushButton* showPackage_ = nullptr;

    QGroupBox* canvasSection_ = nullptr;
    QComboBox* size_ = nullptr;
    IntField* width_ = nullptr;
    IntField* height_ = nullptr;
    QToolButton* rateMenu_ = nullptr;
    NumberField* rate_ = nullptr;
    QComboBox* background_ = nullptr;
    ColorWell* backgroundColor_ = nullptr;
    QLabel* alphaNote_ = nullptr;

    PictureSlot opening_;
    PictureSlot closing_;

    QGroupBox* listSection_ = nullptr;
    FileRow* document_ = nullptr;
    QWidget* documentStatus_ = nullptr;
    QProgressBar* documentBusy_ = nullptr;
    QLabel* documentStatusText_ = nullptr;
    QWidget* documentDamageRow_ = nullptr;
    QLabel* documentDamage_ = nullptr;
    LabeledSlider* columnWidth_ = nullptr;
    LabeledSlider* textSize_ = nullptr;
    QComboBox* textColorMode_ = nullptr;
    ColorWell* textColor_ = nullptr;
    QLabel* pdfNote_ = nullptr;
    QWidget* wordRows_ = nullptr;
    QComboBox* font_ = nullptr;
    QLabel* skipCount_ = nullptr;
    QToolButton* skipLess_ = nullptr;
    QToolButton* skipMore_ = nullptr;
    QComboBox* chinese_ = nullptr;
    QWidget* reviewRow_ = nullptr;
    QLabel* noChoices_ = nullptr;
    QPushButton* review_ = nullptr;
    QComboBox* logos_ = nullptr;
    QCheckBox* logoOuterOnly_ = nullptr;

    QGroupBox* effectSection_ = nullptr;
    QComboBox* effect_ = nullptr;
    QWidget* effectRows_ = nullptr;
    ColorWell* effectColor_ = nullptr;
    LabeledSlider* effectSize_ = nullptr;
    LabeledSlider* effectStrength_ = nullptr;
    LabeledSlider* shadowOffset_ = nullptr;
    QCheckBox* effectOnImages_ = nullptr;

    QGroupBox* timingSection_ = nullptr;
    QComboBox* lengthMeaning_ = nullptr;
    ClockField* length_ = nullptr;
    NumberField* fadeIn_ = nullptr;
    NumberField* fadeOut_ = nullptr;
    LabeledSlider* gap_ = nullptr;
    QCheckBox* wholePixelSteps_ = nullptr;
    QWidget* readout_ = nullptr;
    QLabel* readoutTotal_ = nullptr;
    QLabel* readoutSpeed_ = nullptr;
};

}  // namespace qm
