#include "credits/views/credits_settings_panel.h"

#include <cmath>

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "credits/views/clock_format.h"
#include "credits/views/form_controls.h"
#include "platform/desktop/icons.h"
#include "view_kit/pickers.h"
#include "view_kit/wheel_guard.h"
#include "view_kit/form_style.h"

namespace qm {

namespace {

template <typename E>
QComboBox* enumPicker() {
    auto* picker = new QComboBox;
    for (E value : allCases<E>()) pickerOptionRow(picker, value, creditsTitle(value));
    return picker;
}

bool isPdf(const QString& path) { return !path.isEmpty() && QFileInfo(path).suffix().toLower() == QLatin1String("pdf"); }

}  // namespace

int canvasPresetIndex(int64_t width, int64_t height) {
    int index = 0;
    for (const CanvasPreset& preset : kCanvasPresets) {
        if (preset.width == width && preset.height == height) return index;
        ++index;
    }
    return -1;
}

CreditsSettingsPanel::CreditsSettingsPanel(CreditsModel& model, QWidget* parent) : QScrollArea(parent), model_(model) {
    setFixedWidth(kWidth);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);

    form_ = new QWidget;
    auto* sections = new QVBoxLayout(form_);
    sections->setContentsMargins(12, 10, 12, 12);
    sections->setSpacing(10);
    sections->addWidget(buildProject());
    sections->addWidget(buildCanvas());
    opening_ = buildPicture(tr("Opening Picture"), tr("Hold before rolling"), CreditsModel::Slot::opening,
                            &CreditsSettings::head);
    sections->addWidget(opening_.section);
    sections->addWidget(buildCreditsList());
    sections->addWidget(buildTextEffect());
    sections->addWidget(buildTiming());
    closing_ = buildPicture(tr("Closing Picture"), tr("Hold at the end"), CreditsModel::Slot::closing,
                            &CreditsSettings::tail);
    sections->addWidget(closing_.section);
    sections->addStretch(1);
    setWidget(form_);
    takeWheelOnlyWhenFocused(this);

    for (auto signal : {&CreditsModel::settingsChanged, &CreditsModel::headURLChanged, &CreditsModel::tailURLChanged,
                        &CreditsModel::documentURLChanged, &CreditsModel::headImageChanged,
                        &CreditsModel::tailImageChanged, &CreditsModel::stripChanged,
                        &CreditsModel::isBuildingStripChanged, &CreditsModel::rendererChanged,
                        &CreditsModel::projectURLChanged, &CreditsModel::projectMessageChanged,
                        &CreditsModel::lastPackageURLChanged})
        connect(&model_, signal, this, &CreditsSettingsPanel::refresh);
    refresh();
}

QList<QGroupBox*> CreditsSettingsPanel::sections() const {
    return {projectSection_, canvasSection_, opening_.section, listSection_, effectSection_, timingSection_,
            closing_.section};
}

void CreditsSettingsPanel::edit(const std::function<void(CreditsSettings&)>& change) {
    CreditsSettings settings = model_.settings();
    change(settings);
    model_.setSettings(settings);
}

// --- Project ---------------------------------------------------------------------------------

QGroupBox* CreditsSettingsPanel::buildProject() {
    QVBoxLayout* rows = nullptr;
    projectSection_ = section(tr("Project"), &rows);

    auto* icon = new QLabel;
    icon->setPixmap(symbolIcon(QStringLiteral("doc.text")).pixmap(16, 16));
    projectName_ = new ElidedLabel;
    open_ = new QPushButton(tr("Open…"));
    save_ = new QPushButton(tr("Save"));
    package_ = new QPushButton(tr("Package…"));
    package_->setToolTip(
        tr("Saves a copy of the project together with its pictures and credits list, ready to move to another computer."));
    for (QPushButton* b : {open_, save_, package_}) {
        QFont small = b->font();
        small.setPointSizeF(small.pointSizeF() * 0.9);
        b->setFont(small);
        b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        b->setMinimumWidth(0);
        b->setMaximumWidth(b->fontMetrics().horizontalAdvance(b->text()) + 14);  // small buttons: room for the name
    }
    QHBoxLayout* projectRow = nullptr;
    rows->addWidget(hbox({icon, projectName_, open_, save_, package_}, &projectRow));
    projectRow->setStretchFactor(projectName_, 1);
    projectRow->setSpacing(4);
    connect(open_, &QPushButton::clicked, &model_, &CreditsModel::openProjectPanel);
    connect(save_, &QPushButton::clicked, &model_, [this] { model_.saveProject(false); });
    connect(package_, &QPushButton::clicked, &model_, &CreditsModel::packageProject);

    projectMessage_ = secondary({}, true);
    projectMessage_->setWordWrap(true);
    showPackage_ = new QPushButton(tr("Show in File Manager"));
    showPackage_->setFlat(true);
    showPackage_->setCursor(Qt::PointingHandCursor);
    showPackage_->setStyleSheet(QStringLiteral("QPushButton { color: palette(link); border: none; padding: 0; }"));
    showPackage_->setFont(captionFont(showPackage_->font()));
    projectStatus_ = hbox({projectMessage_, showPackage_});
    rows->addWidget(projectStatus_);
    connect(showPackage_, &QPushButton::clicked, &model_, &CreditsModel::revealPackage);
    return projectSection_;
}

// --- Canvas ----------------------------------------------------------------------------------

QGroupBox* CreditsSettingsPanel::buildCanvas() {
    QVBoxLayout* rows = nullptr;
    canvasSection_ = section(tr("Canvas"), &rows);

    size_ = new QComboBox;
    int index = 0;
    for (const CanvasPreset& preset : kCanvasPresets) size_->addItem(QString::fromUtf8(preset.name), index++);
    size_->addItem(tr("Custom"), -1);
    rows->addWidget(formRow(tr("Size"), size_));
    connect(size_, &QComboBox::activated, this, [this](int row) {
        const int preset = size_->itemData(row).toInt();
        if (preset < 0) return;  // "Custom" is only ever shown; the size is typed below
        // Two changes, as two edits of the fields would make.
        edit([&](CreditsSettings& s) { s.width = kCanvasPresets[preset].width; });
        edit([&](CreditsSettings& s) { s.height = kCanvasPresets[preset].height; });
    });

    width_ = new IntField(16, 16384);
    height_ = new IntField(16, 16384);
    rows->addWidget(hbox({new QLabel(tr("Width × Height")), nullptr, width_, secondary(QStringLiteral("×")), height_,
                          secondary(tr("px"))}));
    connect(width_, &IntField::intEdited, this, [this](int64_t v) { edit([v](CreditsSettings& s) { s.width = v; }); });
    connect(height_, &IntField::intEdited, this, [this](int64_t v) { edit([v](CreditsSettings& s) { s.height = v; }); });

    rateMenu_ = new QToolButton;
    rateMenu_->setPopupMode(QToolButton::InstantPopup);
    auto* rates = new QMenu(rateMenu_);
    for (double rate : kStandardFrameRates) {
        QAction* item = rates->addAction(frameRateLabel(rate));
        connect(item, &QAction::triggered, this, [this, rate] { edit([rate](CreditsSettings& s) { s.frameRate = rate; }); });
    }
    rateMenu_->setMenu(rates);
    rate_ = new NumberField(1, 240, 3);
    rows->addWidget(hbox({new QLabel(tr("Frame Rate")), nullptr, rateMenu_, rate_, secondary(tr("fps"))}));
    connect(rate_, &NumberField::valueEdited, this, [this](double v) { edit([v](CreditsSettings& s) { s.frameRate = v; }); });

    background_ = enumPicker<CreditsSettings::Background>();
    rows->addWidget(formRow(tr("Background"), background_));
    connect(background_, &QComboBox::activated, this, [this](int row) {
        if (auto b = pickerOption<CreditsSettings::Background>(background_, row))
            edit([b](CreditsSettings& s) { s.background = *b; });
    });
    backgroundColor_ = new ColorWell(tr("Background Colour"));
    rows->addWidget(backgroundColor_);
    connect(backgroundColor_, &ColorWell::colorEdited, this,
            [this](const RGBColor& c) { edit([c](CreditsSettings& s) { s.backgroundColor = c; }); });
    alphaNote_ = secondary(
        tr("Export with a format that has alpha (Hap Alpha, Hap Q Alpha, DXV3 Alpha, ProRes 4444, HEVC Alpha or PNG)."), true);
    alphaNote_->setWordWrap(true);
    rows->addWidget(alphaNote_);
    return canvasSection_;
}

// --- Pictures --------------------------------------------------------------------------------

CreditsSettingsPanel::PictureSlot CreditsSettingsPanel::buildPicture(const QString& title, const QString& holdLabel,
                                                                     CreditsModel::Slot slot,
                                                                     CreditsSettings::ImageSlot CreditsSettings::*field) {
    PictureSlot c;
    QVBoxLayout* rows = nullptr;
    c.section = section(title, &rows);
    c.file = new FileRow(tr("Drop a picture here or click Choose"));
    rows->addWidget(c.file);
    connect(c.file, &FileRow::chooseClicked, &model_, [this, slot] { model_.choosePicture(slot); });
    connect(c.file, &FileRow::clearClicked, &model_, [this, slot] { model_.clearPicture(slot); });
    connect(c.file, &FileRow::filesDropped, &model_, [this, slot](const QStringList& paths) { model_.openFile(paths, slot); });

    auto editSlot = [this, field](auto change) {
        edit([&](CreditsSettings& s) { change(s.*field); });
    };
    QVBoxLayout* details = nullptr;
    c.details = column(&details);
    c.key = enumPicker<CreditsSettings::KeyMode>();
    details->addWidget(formRow(tr("Background Removal"), c.key));
    QComboBox* key = c.key;
    connect(key, &QComboBox::activated, this, [key, editSlot](int row) {
        if (auto k = pickerOption<CreditsSettings::KeyMode>(key, row))
            editSlot([k](CreditsSettings::ImageSlot& s) { s.key = *k; });
    });
    c.keyColor = new ColorWell(tr("Colour to Remove"));
    details->addWidget(c.keyColor);
    connect(c.keyColor, &ColorWell::colorEdited, this,
            [editSlot](const RGBColor& v) { editSlot([v](CreditsSettings::ImageSlot& s) { s.keyColor = v; }); });
    c.tolerance = new LabeledSlider(tr("Tolerance"), 0, 60, QStringLiteral("%"));
    details->addWidget(c.tolerance);
    connect(c.tolerance, &LabeledSlider::valueEdited, this,
            [editSlot](double v) { editSlot([v](CreditsSettings::ImageSlot& s) { s.tolerance = v; }); });
    c.softness = new LabeledSlider(tr("Softness"), 0, 60, QStringLiteral("%"));
    details->addWidget(c.softness);
    connect(c.softness, &LabeledSlider::valueEdited, this,
            [editSlot](double v) { editSlot([v](CreditsSettings::ImageSlot& s) { s.softness = v; }); });
    c.outerOnly = new QCheckBox(tr("Outer background only"));
    c.outerOnly->setToolTip(tr("Keeps white or black shapes inside the picture; the insides of letters such as O stay too."));
    details->addWidget(c.outerOnly);
    connect(c.outerOnly, &QCheckBox::clicked, this,
            [editSlot](bool on) { editSlot([on](CreditsSettings::ImageSlot& s) { s.outerOnly = on; }); });
    c.size = new LabeledSlider(tr("Size"), 5, 100, tr("% of width"));
    details->addWidget(c.size);
    connect(c.size, &LabeledSlider::valueEdited, this,
            [editSlot](double v) { editSlot([v](CreditsSettings::ImageSlot& s) { s.scalePercent = v; }); });
    c.hold = new NumberField(0, 600, 1);
    details->addWidget(hbox({new QLabel(holdLabel), nullptr, c.hold, secondary(tr("s"))}));
    connect(c.hold, &NumberField::valueEdited, this,
            [editSlot](double v) { editSlot([v](CreditsSettings::ImageSlot& s) { s.hold = v; }); });
    rows->addWidget(c.details);
    return c;
}

// --- Credits list ----------------------------------------------------------------------------

QGroupBox* CreditsSettingsPanel::buildCreditsList() {
    QVBoxLayout* rows = nullptr;
    listSection_ = section(tr("Credits (Word / PDF)"), &rows);

    document_ = new FileRow(tr("Drop a Word (.docx) or PDF file here"));
    rows->addWidget(document_);
    connect(document_, &FileRow::chooseClicked, &model_, &CreditsModel::chooseDocument);
    connect(document_, &FileRow::clearClicked, &model_, &CreditsModel::removeDocument);
    connect(document_, &FileRow::filesDropped, &model_,
            [this](const QStringList& paths) { model_.openFile(paths, CreditsModel::Slot::automatic); });

    documentBusy_ = new QProgressBar;
    documentBusy_->setRange(0, 0);
    documentBusy_->setTextVisible(false);
    documentBusy_->setFixedSize(48, 8);
    documentStatusText_ = secondary({}, true);
    documentStatus_ = hbox({documentBusy_, documentStatusText_, nullptr});
    rows->addWidget(documentStatus_);

    // What of the list could not be read stays in sight as long as the strip is shown.
    auto* damageIcon = new QLabel;
    damageIcon->setPixmap(symbolIcon(QStringLiteral("exclamationmark.triangle")).pixmap(16, 16));
    damageIcon->setAlignment(Qt::AlignTop);
    documentDamage_ = new QLabel;
    documentDamage_->setWordWrap(true);
    documentDamage_->setTextFormat(Qt::PlainText);
    documentDamage_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    documentDamage_->setFont(captionFont(documentDamage_->font()));
    documentDamage_->setStyleSheet(QStringLiteral("QLabel { color: #e67e00; }"));
    QHBoxLayout* damageRow = nullptr;
    documentDamageRow_ = hbox({damageIcon, documentDamage_}, &damageRow);
    damageRow->setStretchFactor(documentDamage_, 1);
    damageRow->setAlignment(damageIcon, Qt::AlignTop);
    rows->addWidget(documentDamageRow_);

    columnWidth_ = new LabeledSlider(tr("Column Width"), 10, 100, tr("% of width"));
    rows->addWidget(columnWidth_);
    connect(columnWidth_, &LabeledSlider::valueEdited, this,
            [this](double v) { edit([v](CreditsSettings& s) { s.contentWidthPercent = v; }); });
    textSize_ = new LabeledSlider(tr("Text Size"), 25, 400, QStringLiteral("%"));
    rows->addWidget(textSize_);
    connect(textSize_, &LabeledSlider::valueEdited, this,
            [this](double v) { edit([v](CreditsSettings& s) { s.textScalePercent = v; }); });

    textColorMode_ = enumPicker<CreditsSettings::TextColorMode>();
    rows->addWidget(formRow(tr("Text Colour"), textColorMode_));
    connect(textColorMode_, &QComboBox::activated, this, [this](int row) {
        if (auto m = pickerOption<CreditsSettings::TextColorMode>(textColorMode_, row))
            edit([m](CreditsSettings& s) { s.textColorMode = *m; });
    });
    textColor_ = new ColorWell(tr("Colour"));
    rows->addWidget(textColor_);
    connect(textColor_, &ColorWell::colorEdited, this,
            [this](const RGBColor& c) { edit([c](CreditsSettings& s) { s.textColor = c; }); });

    pdfNote_ = secondary(tr("PDF pages are used as pictures: the white paper is removed and blank space between pages "
                            "is trimmed. Simplified/Traditional conversion needs the Word file."),
                         true);
    pdfNote_->setWordWrap(true);
    rows->addWidget(pdfNote_);

    QVBoxLayout* word = nullptr;
    wordRows_ = column(&word);
    font_ = new QComboBox;
    font_->addItem(tr("Document fonts"), QString());
    font_->insertSeparator(1);
    for (const QString& family : QFontDatabase::families()) font_->addItem(family, family);
    font_->setMaximumWidth(220);
    word->addWidget(formRow(tr("Font"), font_));
    connect(font_, &QComboBox::activated, this, [this](int row) {
        const std::string family = font_->itemData(row).toString().toStdString();
        edit([&](CreditsSettings& s) { s.fontFamily = family; });
    });

    skipCount_ = secondary({});
    skipLess_ = new QToolButton;
    skipLess_->setText(QStringLiteral("−"));
    skipMore_ = new QToolButton;
    skipMore_->setText(QStringLiteral("+"));
    auto* skipRow = hbox({new QLabel(tr("Skip Opening Lines")), nullptr, skipCount_, skipLess_, skipMore_});
    skipRow->setToolTip(tr("Leave out lines at the top of the document, such as a title"));
    word->addWidget(skipRow);
    connect(skipLess_, &QToolButton::clicked, this, [this] {
        edit([](CreditsSettings& s) { s.skipLeadingLines = std::max<int64_t>(s.skipLeadingLines - 1, 0); });
    });
    connect(skipMore_, &QToolButton::clicked, this, [this] {
        edit([](CreditsSettings& s) { s.skipLeadingLines = std::min<int64_t>(s.skipLeadingLines + 1, 20); });
    });

    chinese_ = new QComboBox;
    for (auto d : {ChineseConverter::Direction::none, ChineseConverter::Direction::toTraditional,
                   ChineseConverter::Direction::toSimplified})
        pickerOptionRow(chinese_, d, ChineseConverter::title(d));
    word->addWidget(formRow(tr("Chinese"), chinese_));
    connect(chinese_, &QComboBox::activated, this, [this](int row) {
        if (auto d = pickerOption<ChineseConverter::Direction>(chinese_, row))
            edit([d](CreditsSettings& s) { s.chineseConversion = *d; });
    });

    noChoices_ = new QLabel;
    noChoices_->setForegroundRole(QPalette::PlaceholderText);
    noChoices_->setFont(captionFont(noChoices_->font()));
    review_ = new QPushButton;
    review_->setFlat(true);
    review_->setCursor(Qt::PointingHandCursor);
    reviewRow_ = hbox({noChoices_, review_, nullptr});
    word->addWidget(reviewRow_);
    connect(review_, &QPushButton::clicked, &model_, [this] { model_.setIsReviewingChoices(true); });
    rows->addWidget(wordRows_);

    logos_ = enumPicker<CreditsSettings::LogoMode>();
    rows->addWidget(formRow(tr("Logos"), logos_));
    connect(logos_, &QComboBox::activated, this, [this](int row) {
        if (auto m = pickerOption<CreditsSettings::LogoMode>(logos_, row)) edit([m](CreditsSettings& s) { s.logoMode = *m; });
    });
    logoOuterOnly_ = new QCheckBox(tr("Outer background only"));
    rows->addWidget(logoOuterOnly_);
    connect(logoOuterOnly_, &QCheckBox::clicked, this,
            [this](bool on) { edit([on](CreditsSettings& s) { s.logoOuterOnly = on; }); });
    return listSection_;
}

// --- Text effect and timing ------------------------------------------------------------------

QGroupBox* CreditsSettingsPanel::buildTextEffect() {
    QVBoxLayout* rows = nullptr;
    effectSection_ = section(tr("Text Effect"), &rows);
    effect_ = enumPicker<CreditsSettings::Effect>();
    rows->addWidget(formRow(tr("Effect"), effect_));
    connect(effect_, &QComboBox::activated, this, [this](int row) {
        if (auto e = pickerOption<CreditsSettings::Effect>(effect_, row)) edit([e](CreditsSettings& s) { s.effect = *e; });
    });

    QVBoxLayout* group = nullptr;
    effectRows_ = column(&group);
    effectColor_ = new ColorWell(tr("Colour"));
    group->addWidget(effectColor_);
    connect(effectColor_, &ColorWell::colorEdited, this,
            [this](const RGBColor& c) { edit([c](CreditsSettings& s) { s.effectColor = c; }); });
    effectSize_ = new LabeledSlider(tr("Size"), 1, 40, QStringLiteral("px"));
    group->addWidget(effectSize_);
    connect(effectSize_, &LabeledSlider::valueEdited, this,
            [this](double v) { edit([v](CreditsSettings& s) { s.effectSize = v; }); });
    effectStrength_ = new LabeledSlider(tr("Strength"), 0, 100, QStringLiteral("%"));
    group->addWidget(effectStrength_);
    connect(effectStrength_, &LabeledSlider::valueEdited, this,
            [this](double v) { edit([v](CreditsSettings& s) { s.effectStrength = v; }); });
    shadowOffset_ = new LabeledSlider(tr("Distance"), 0, 40, QStringLiteral("px"));
    group->addWidget(shadowOffset_);
    connect(shadowOffset_, &LabeledSlider::valueEdited, this,
            [this](double v) { edit([v](CreditsSettings& s) { s.shadowOffset = v; }); });
    effectOnImages_ = new QCheckBox(tr("Also on opening and closing pictures"));
    group->addWidget(effectOnImages_);
    connect(effectOnImages_, &QCheckBox::clicked, this,
            [this](bool on) { edit([on](CreditsSettings& s) { s.effectOnImages = on; }); });
    rows->addWidget(effectRows_);
    return effectSection_;
}

QGroupBox* CreditsSettingsPanel::buildTiming() {
    QVBoxLayout* rows = nullptr;
    timingSection_ = section(tr("Timing"), &rows);

    lengthMeaning_ = new QComboBox;
    lengthMeaning_->setAccessibleName(tr("Length"));
    lengthMeaning_->addItem(tr("Roll time"), false);
    lengthMeaning_->addItem(tr("Total length"), true);
    lengthMeaning_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    length_ = new ClockField(1, 3600);
    length_->setToolTip(tr("Minutes and seconds (1:23) or seconds (83)"));
    rows->addWidget(hbox({lengthMeaning_, nullptr, length_}));
    connect(lengthMeaning_, &QComboBox::activated, this, [this](int row) {
        const bool total = lengthMeaning_->itemData(row).toBool();
        edit([total](CreditsSettings& s) { s.timeIsTotal = total; });
    });
    connect(length_, &NumberField::valueEdited, this, [this](double v) { edit([v](CreditsSettings& s) { s.rollSeconds = v; }); });

    fadeIn_ = new NumberField(0, 30, 1);
    fadeOut_ = new NumberField(0, 30, 1);
    rows->addWidget(hbox({new QLabel(tr("Fade in / out")), nullptr, fadeIn_, new QLabel(QStringLiteral("/")), fadeOut_,
                          secondary(tr("s"))}));
    connect(fadeIn_, &NumberField::valueEdited, this, [this](double v) { edit([v](CreditsSettings& s) { s.fadeIn = v; }); });
    connect(fadeOut_, &NumberField::valueEdited, this, [this](double v) { edit([v](CreditsSettings& s) { s.fadeOut = v; }); });

    gap_ = new LabeledSlider(tr("Space between parts"), 0, 100, tr("% of height"));
    rows->addWidget(gap_);
    connect(gap_, &LabeledSlider::valueEdited, this, [this](double v) { edit([v](CreditsSettings& s) { s.gapPercent = v; }); });
    wholePixelSteps_ = new QCheckBox(tr("Whole-pixel steps (crisper text)"));
    rows->addWidget(wholePixelSteps_);
    connect(wholePixelSteps_, &QCheckBox::clicked, this,
            [this](bool on) { edit([on](CreditsSettings& s) { s.wholePixelSteps = on; }); });

    QVBoxLayout* lines = nullptr;
    readout_ = column(&lines);
    lines->setSpacing(2);
    readoutTotal_ = secondary({}, true);
    readoutSpeed_ = secondary({}, true);
    lines->addWidget(readoutTotal_);
    lines->addWidget(readoutSpeed_);
    rows->addWidget(readout_);
    return timingSection_;
}

// --- Following the model ---------------------------------------------------------------------

void CreditsSettingsPanel::refreshPicture(const PictureSlot& c, const CreditsSettings::ImageSlot& slot,
                                          const QString& path) {
    c.file->setPath(path);
    c.details->setVisible(!path.isEmpty());
    selectPickerOption(c.key, slot.key);
    const bool keyed = slot.key != CreditsSettings::KeyMode::none;
    const bool byColour = slot.key == CreditsSettings::KeyMode::color;
    c.keyColor->setVisible(byColour);
    c.keyColor->setColor(slot.keyColor);
    c.tolerance->setVisible(keyed);
    c.tolerance->setValue(slot.tolerance);
    c.softness->setVisible(byColour);
    c.softness->setValue(slot.softness);
    c.outerOnly->setVisible(keyed);
    c.outerOnly->setChecked(slot.outerOnly);
    c.size->setValue(slot.scalePercent);
    c.hold->setValue(slot.hold);
}

void CreditsSettingsPanel::refresh() {
    const CreditsSettings& s = model_.settings();

    // Project.
    const QString name = model_.projectName().isEmpty() ? tr("Untitled project") : model_.projectName();
    projectName_->setFullText(name);
    save_->setEnabled(model_.hasContent() || !model_.projectURL().isEmpty());
    package_->setEnabled(model_.hasContent());
    projectStatus_->setVisible(model_.projectMessage().has_value());
    projectMessage_->setText(model_.projectMessage().value_or(QString()));
    showPackage_->setVisible(!model_.lastPackageURL().isEmpty());

    // Canvas.
    size_->setCurrentIndex(size_->findData(canvasPresetIndex(s.width, s.height)));
    width_->setIntValue(s.width);
    height_->setIntValue(s.height);
    rateMenu_->setText(frameRateLabel(s.frameRate));
    rate_->setValue(s.frameRate);
    selectPickerOption(background_, s.background);
    backgroundColor_->setVisible(s.background == CreditsSettings::Background::color);
    backgroundColor_->setColor(s.backgroundColor);
    alphaNote_->setVisible(s.background == CreditsSettings::Background::transparent);

    refreshPicture(opening_, s.head, model_.headURL());
    refreshPicture(closing_, s.tail, model_.tailURL());

    // Credits list.
    const QString& documentPath = model_.documentURL();
    document_->setPath(documentPath);
    const auto& strip = model_.strip();
    const bool building = model_.isBuildingStrip();
    documentStatus_->setVisible(!documentPath.isEmpty() && (building || strip.has_value()));
    documentBusy_->setVisible(building);
    if (building)
        documentStatusText_->setText(tr("Laying out…"));
    else if (strip)
        documentStatusText_->setText(tr("%1 × %2 px")
                                         .arg(qlonglong(std::isfinite(strip->width) ? std::trunc(strip->width) : 0))
                                         .arg(qlonglong(std::isfinite(strip->height) ? std::trunc(strip->height) : 0)));
    const bool damaged = !documentPath.isEmpty() && !building && strip && !strip->warnings.empty();
    documentDamageRow_->setVisible(damaged);
    if (damaged) {
        // A few lines say enough; the tooltip holds them all.
        constexpr std::size_t kShown = 5;
        QStringList all;
        for (const std::string& warning : strip->warnings) all.append(QString::fromStdString(warning));
        QStringList shown = all.mid(0, all.size() > qsizetype(kShown) ? qsizetype(kShown) - 1 : all.size());
        if (shown.size() < all.size()) shown.append(tr("…and %1 more.").arg(all.size() - shown.size()));
        documentDamage_->setText(shown.join(QLatin1Char('\n')));
        documentDamage_->setToolTip(all.join(QLatin1Char('\n')));
    }
    columnWidth_->setValue(s.contentWidthPercent);
    textSize_->setValue(s.textScalePercent);
    selectPickerOption(textColorMode_, s.textColorMode);
    textColor_->setTitle(s.textColorMode == CreditsSettings::TextColorMode::single ? tr("Colour")
                                                                                   : tr("Colour for automatic text"));
    textColor_->setColor(s.textColor);
    const bool pdf = isPdf(documentPath);
    pdfNote_->setVisible(pdf);
    wordRows_->setVisible(!pdf);
    const int fontRow = font_->findData(QString::fromStdString(s.fontFamily));
    font_->setCurrentIndex(fontRow);
    skipCount_->setText(s.skipLeadingLines == 0 ? tr("None") : s.skipLeadingLines == 1 ? tr("1 line") : tr("%1 lines").arg(qlonglong(s.skipLeadingLines)));
    skipLess_->setEnabled(s.skipLeadingLines > 0);
    skipMore_->setEnabled(s.skipLeadingLines < 20);
    selectPickerOption(chinese_, s.chineseConversion);
    reviewRow_->setVisible(s.chineseConversion != ChineseConverter::Direction::none && !building);
    const bool anyChoices = strip && !strip->choices.empty();
    noChoices_->setVisible(!anyChoices);
    review_->setVisible(anyChoices);
    if (!anyChoices) {
        noChoices_->setText(tr("No characters to check"));
    } else {
        const auto uncertain = qlonglong(model_.uncertainChoices().size());
        if (uncertain > 0) {
            review_->setText(uncertain == 1 ? tr("Check 1 uncertain character…")
                                            : tr("Check %1 uncertain characters…").arg(uncertain));
            review_->setIcon(symbolIcon(QStringLiteral("exclamationmark.triangle")));
            review_->setStyleSheet(QStringLiteral("QPushButton { color: #e67e00; text-align: left; }"));
        } else {
            const auto all = qlonglong(strip->choices.size());
            review_->setText(all == 1 ? tr("Review 1 converted character…")
                                      : tr("Review %1 converted characters…").arg(all));
            review_->setIcon(symbolIcon(QStringLiteral("text.magnifyingglass")));
            review_->setStyleSheet(QStringLiteral("QPushButton { color: palette(highlight); text-align: left; }"));
        }
    }
    selectPickerOption(logos_, s.logoMode);
    logoOuterOnly_->setVisible(s.logoMode != CreditsSettings::LogoMode::original);
    logoOuterOnly_->setChecked(s.logoOuterOnly);

    // Text effect.
    selectPickerOption(effect_, s.effect);
    effectRows_->setVisible(s.effect != CreditsSettings::Effect::none);
    effectColor_->setColor(s.effectColor);
    effectSize_->setValue(s.effectSize);
    effectStrength_->setValue(s.effectStrength);
    shadowOffset_->setVisible(s.effect == CreditsSettings::Effect::shadow);
    shadowOffset_->setValue(s.shadowOffset);
    effectOnImages_->setChecked(s.effectOnImages);

    // Timing.
    lengthMeaning_->setCurrentIndex(s.timeIsTotal ? 1 : 0);
    length_->setValue(s.rollSeconds);
    fadeIn_->setValue(s.fadeIn);
    fadeOut_->setValue(s.fadeOut);
    gap_->setValue(s.gapPercent);
    wholePixelSteps_->setChecked(s.wholePixelSteps);
    const auto& renderer = model_.renderer();
    const double total = renderer ? renderer->totalSeconds() : 0;
    readout_->setVisible(total > 0);
    if (renderer && total > 0) {
        readoutTotal_->setText(tr("Total %1 · roll %2 s")
                                   .arg(clockString(total), QString::asprintf("%.2f", renderer->rollSeconds())));
        readoutSpeed_->setText(tr("Speed %1 px per frame").arg(QString::asprintf("%.2f", renderer->pixelsPerFrame())));
    }
}

}  // namespace qm
