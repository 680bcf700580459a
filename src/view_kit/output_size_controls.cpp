#include "view_kit/output_size_controls.h"

#include <cmath>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QSlider>
#include <QToolButton>

#include "platform/desktop/icons.h"
#include "view_kit/form_style.h"

namespace qm {

namespace {
QString text(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// A number field in the user's locale with at most one fraction digit: 33.3 reads "33.3", 50 "50".
class PercentField : public QDoubleSpinBox {
public:
    QString textFromValue(double value) const override {
        QString shown = locale().toString(value, 'f', 1);
        const QString zero = locale().decimalPoint() + QStringLiteral("0");
        if (shown.endsWith(zero)) shown.chop(zero.size());
        return shown;
    }
};
}  // namespace

const std::vector<double>& OutputSizeControls::percentPresets() {
    static const std::vector<double> presets{10, 25, 33.3, 50, 66.7, 75, 125, 150, 200, 400};
    return presets;
}

OutputSizeControls::OutputSizeControls(QFormLayout* form, std::function<ConversionSettings()> get,
                                       std::function<void(const ConversionSettings&)> set, QObject* parent)
    : QObject(parent), form_(form), get_(std::move(get)), set_(std::move(set)) {
    size_ = new QComboBox;
    for (OutputSize s : allOutputSizes) size_->addItem(tr(text(label(s)).toUtf8().constData()), int(s));
    form_->addRow(tr("Size"), size_);
    connect(size_, &QComboBox::activated, this, [this](int index) {
        const auto chosen = static_cast<OutputSize>(size_->itemData(index).toInt());
        write([chosen](ConversionSettings& s) { s.outputSize = chosen; });
    });

    ratioRow_ = new QWidget;
    auto* row = new QHBoxLayout(ratioRow_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    // The slider moves in tenths of a percent over 1...400.
    slider_ = new QSlider(Qt::Horizontal);
    slider_->setRange(10, 4000);
    row->addWidget(slider_, 1);
    field_ = new PercentField;
    field_->setDecimals(1);
    field_->setRange(-1e6, 1e6);  // typed values are kept as entered; the size rule clamps them
    field_->setButtonSymbols(QAbstractSpinBox::NoButtons);
    field_->setAlignment(Qt::AlignRight);
    field_->setFixedWidth(52);
    field_->setLocale(QLocale());
    field_->setGroupSeparatorShown(false);
    field_->setKeyboardTracking(false);
    row->addWidget(field_);
    row->addWidget(new QLabel(QStringLiteral("%")));
    presets_ = new QToolButton;
    presets_->setIcon(symbolIcon(QStringLiteral("list.bullet")));
    presets_->setAutoRaise(true);
    presets_->setPopupMode(QToolButton::InstantPopup);
    presets_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));
    presets_->setFixedWidth(22);
    presets_->setToolTip(tr("Common percentages"));
    auto* menu = new QMenu(presets_);
    for (double value : percentPresets()) {
        QAction* item = menu->addAction(QString::asprintf("%g%%", value));
        connect(item, &QAction::triggered, this,
                [this, value] { write([value](ConversionSettings& s) { s.scalePercent = value; }); });
    }
    presets_->setMenu(menu);
    row->addWidget(presets_);
    ratioLabel_ = new QLabel(tr("Ratio"));
    form_->addRow(ratioLabel_, ratioRow_);
    connect(slider_, &QSlider::valueChanged, this, [this](int tenths) {
        if (refreshing_) return;
        write([tenths](ConversionSettings& s) { s.scalePercent = tenths / 10.0; });
    });
    connect(field_, &QDoubleSpinBox::valueChanged, this, [this](double value) {
        if (refreshing_) return;
        write([value](ConversionSettings& s) { s.scalePercent = value; });
    });

    readout_ = new QLabel;
    const QFont mono = digitsFont(readout_->font(), 0.85);
    readout_->setFont(mono);
    readout_->setForegroundRole(QPalette::PlaceholderText);
    form_->addRow(readout_);
    refresh();
}

void OutputSizeControls::write(const std::function<void(ConversionSettings&)>& change) {
    ConversionSettings s = get_();
    change(s);
    set_(s);
    refresh();
}

void OutputSizeControls::setSourceSize(std::optional<std::pair<int, int>> size) {
    sourceSize_ = size;
    refresh();
}

void OutputSizeControls::setEnabled(bool enabled) {
    for (QWidget* w : {static_cast<QWidget*>(size_), ratioRow_}) w->setEnabled(enabled);
}

void OutputSizeControls::refresh() {
    refreshing_ = true;
    const ConversionSettings s = get_();
    size_->setCurrentIndex(size_->findData(int(s.outputSize)));
    const bool percent = s.outputSize == OutputSize::percent;
    form_->setRowVisible(ratioRow_, percent);
    if (std::isfinite(s.scalePercent)) {
        slider_->setValue(static_cast<int>(std::lround(std::clamp(s.scalePercent, 1.0, 400.0) * 10)));
        if (!field_->hasFocus()) field_->setValue(s.scalePercent);
    }
    const bool showReadout = sourceSize_.has_value() && s.outputSize != OutputSize::original;
    if (showReadout) {
        const OutputDimensions d = s.outputDimensions(sourceSize_->first, sourceSize_->second);
        readout_->setText(tr("Output: %1 × %2").arg(qlonglong(d.width)).arg(qlonglong(d.height)));
    }
    form_->setRowVisible(readout_, showReadout);
    refreshing_ = false;
}

}  // namespace qm
