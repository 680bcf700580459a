#include "credits/views/form_controls.h"

#include <algorithm>
#include <cmath>

#include <QColorDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "credits/views/clock_format.h"
#include "platform/desktop/icons.h"
#include "view_kit/form_style.h"

namespace qm {

QLabel* secondary(const QString& text, bool caption) {
    auto* label = new QLabel(text);
    label->setForegroundRole(QPalette::PlaceholderText);
    if (caption) label->setFont(captionFont(label->font()));
    return label;
}

QGroupBox* section(const QString& title, QVBoxLayout** rows) {
    auto* box = new QGroupBox(title);
    *rows = new QVBoxLayout(box);
    (*rows)->setSpacing(6);
    return box;
}

QWidget* hbox(std::initializer_list<QWidget*> items, QHBoxLayout** layoutOut) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    for (QWidget* w : items) {
        if (w)
            layout->addWidget(w);
        else
            layout->addStretch(1);  // nullptr stands for a flexible space
    }
    if (layoutOut) *layoutOut = layout;
    return row;
}

QWidget* column(QVBoxLayout** rows) {
    auto* box = new QWidget;
    *rows = new QVBoxLayout(box);
    (*rows)->setContentsMargins(0, 0, 0, 0);
    (*rows)->setSpacing(6);
    return box;
}

namespace {

QHBoxLayout* bareRow(QWidget* owner, int spacing = 6) {
    auto* row = new QHBoxLayout(owner);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(spacing);
    return row;
}

QLocale userLocale() {
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale;
}

// A typed number as the locale reads it: trimmed, with the typographic minus as its own sign.
QString entryText(const QString& text, const QLocale& locale) {
    QString entry = text.trimmed();
    entry.replace(QChar(0x2212), locale.negativeSign());
    return entry;
}

}  // namespace

QWidget* formRow(const QString& title, QWidget* control, QLabel** titleOut) {
    auto* row = new QWidget;
    auto* layout = bareRow(row);
    auto* label = new QLabel(title);
    layout->addWidget(label);
    layout->addStretch(1);
    layout->addWidget(control);
    if (titleOut) *titleOut = label;
    return row;
}

// --- ElidedLabel ---------------------------------------------------------------------------

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString& text, bool wraps) {
    full_ = text;
    wraps_ = wraps;
    setWordWrap(wraps);
    setToolTip(text);
    elide();
}

QSize ElidedLabel::minimumSizeHint() const { return {fontMetrics().horizontalAdvance(QStringLiteral("W…W")), QLabel::minimumSizeHint().height()}; }

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide() {
    setText(wraps_ ? full_ : fontMetrics().elidedText(full_, Qt::ElideMiddle, std::max(width(), 1)));
}

// --- FileRow ---------------------------------------------------------------------------------

FileRow::FileRow(const QString& placeholder, QWidget* parent) : QWidget(parent), placeholder_(placeholder) {
    setAcceptDrops(true);
    auto* row = bareRow(this);
    icon_ = new QLabel;
    icon_->setForegroundRole(QPalette::PlaceholderText);
    row->addWidget(icon_);
    name_ = new ElidedLabel;
    row->addWidget(name_, 1);
    remove_ = new QToolButton;
    remove_->setAutoRaise(true);
    remove_->setIcon(symbolIcon(QStringLiteral("xmark.circle.fill")));
    remove_->setToolTip(tr("Remove"));
    remove_->setAccessibleName(tr("Remove"));
    row->addWidget(remove_);
    choose_ = new QPushButton(tr("Choose…"));
    row->addWidget(choose_);
    connect(remove_, &QToolButton::clicked, this, &FileRow::clearClicked);
    connect(choose_, &QPushButton::clicked, this, &FileRow::chooseClicked);
    setPath({});
}

void FileRow::setPath(const QString& path) {
    path_ = path;
    const bool chosen = !path.isEmpty();
    icon_->setPixmap(symbolIcon(chosen ? QStringLiteral("doc.richtext") : QStringLiteral("plus.rectangle.on.rectangle"))
                         .pixmap(16, 16));
    remove_->setVisible(chosen);
    name_->setForegroundRole(chosen ? QPalette::WindowText : QPalette::PlaceholderText);
    // Long names lose their middle, so both the start and the extension stay readable.
    name_->setFullText(chosen ? QFileInfo(path).fileName() : placeholder_, !chosen);
    name_->setToolTip(path);
}

QStringList FileRow::localFiles(const QMimeData* data) {
    QStringList files;
    if (!data || !data->hasUrls()) return files;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) files.append(url.toLocalFile());
    return files;
}

void FileRow::dragEnterEvent(QDragEnterEvent* event) {
    if (!localFiles(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void FileRow::dropEvent(QDropEvent* event) {
    const QStringList files = localFiles(event->mimeData());
    if (files.isEmpty()) return;
    event->acceptProposedAction();
    emit filesDropped(files);
}

// --- LabeledSlider ---------------------------------------------------------------------------

LabeledSlider::LabeledSlider(const QString& title, double lower, double upper, const QString& unit, QWidget* parent)
    : QWidget(parent), lower_(lower), upper_(upper), unit_(unit), value_(lower) {
    auto* row = bareRow(this, 8);
    title_ = new QLabel(title);
    row->addWidget(title_);
    slider_ = new QSlider(Qt::Horizontal);
    slider_->setRange(0, kSteps);
    slider_->setMinimumWidth(80);
    row->addWidget(slider_, 1);
    valueText_ = new QLabel;
    valueText_->setMinimumWidth(52);
    valueText_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    valueText_->setForegroundRole(QPalette::PlaceholderText);
    valueText_->setFont(digitsFont(valueText_->font()));
    row->addWidget(valueText_);
    connect(slider_, &QSlider::valueChanged, this, [this](int position) {
        const double value = position <= 0        ? lower_
                             : position >= kSteps ? upper_
                                                  : lower_ + (upper_ - lower_) * position / kSteps;
        emit valueEdited(value);
    });
    setValue(lower);
}

void LabeledSlider::setValue(double value) {
    value_ = value;
    const double span = upper_ - lower_;
    const double position = span > 0 && std::isfinite(value) ? (value - lower_) / span * kSteps : 0;
    const QSignalBlocker quiet(slider_);
    // Only a different position moves the knob: a value between two positions stays as it is.
    const int wanted = int(std::lround(std::clamp(position, 0.0, double(kSteps))));
    if (slider_->value() != wanted) slider_->setValue(wanted);
    valueText_->setText(sliderValueText(value, unit_));
}

// --- NumberField and IntField ----------------------------------------------------------------

NumberField::NumberField(double lower, double upper, int decimals, QWidget* parent)
    : QLineEdit(parent), lower_(lower), upper_(upper), decimals_(std::max(decimals, 0)), value_(lower) {
    setFixedWidth(58);
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    connect(this, &QLineEdit::editingFinished, this, &NumberField::commit);
}

double NumberField::clampedEntry(double v, double lower, double upper) {
    const double raised = (std::isnan(v) || v < lower) ? lower : v;
    return std::min(raised, upper);
}

QString NumberField::textOf(double value) const {
    const QLocale locale = userLocale();
    QString text = locale.toString(value, 'f', decimals_);
    if (decimals_ > 0) {
        const QString zero = locale.zeroDigit();
        while (text.endsWith(zero)) text.chop(zero.size());
        if (text.endsWith(locale.decimalPoint())) text.chop(locale.decimalPoint().size());
    }
    return text;
}

std::optional<double> NumberField::read(const QString& text) const {
    const QLocale locale = userLocale();
    bool ok = false;
    const double value = locale.toDouble(entryText(text, locale), &ok);
    if (!ok || std::isnan(value)) return std::nullopt;
    return value;
}

void NumberField::setValue(double value) {
    value_ = value;
    // What the user is typing stays until it is committed.
    if (hasFocus() && isModified()) return;
    setText(textOf(value));
}

void NumberField::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::LocaleChange) setText(textOf(value_));
}

void NumberField::commit() {
    const auto entry = read(text());
    setModified(false);
    if (entry) emit valueEdited(clampedEntry(*entry, lower_, upper_));
    setText(textOf(value_));
}

IntField::IntField(int64_t lower, int64_t upper, QWidget* parent) : NumberField(double(lower), double(upper), 0, parent) {
    setFixedWidth(62);
    connect(this, &NumberField::valueEdited, this, [this](double v) { emit intEdited(int64_t(std::llround(v))); });
}

QString IntField::textOf(double value) const {
    if (!std::isfinite(value)) return {};
    return userLocale().toString(qlonglong(std::llround(value)));
}

std::optional<double> IntField::read(const QString& text) const {
    const QLocale locale = userLocale();
    bool ok = false;
    const qlonglong value = locale.toLongLong(entryText(text, locale), &ok);
    if (!ok) return std::nullopt;
    return double(value);
}

ClockField::ClockField(double lower, double upper, QWidget* parent) : NumberField(lower, upper, 1, parent) {
    setFixedWidth(72);
}

QString ClockField::textOf(double value) const { return ClockFormat::format(value); }

std::optional<double> ClockField::read(const QString& text) const { return ClockFormat::parse(text); }

// --- ColorWell -------------------------------------------------------------------------------

ColorWell::ColorWell(const QString& title, QWidget* parent) : QWidget(parent) {
    auto* row = bareRow(this);
    title_ = new QLabel(title);
    row->addWidget(title_);
    row->addStretch(1);
    swatch_ = new QToolButton;
    swatch_->setFixedSize(44, 22);
    swatch_->setIconSize(QSize(36, 14));
    swatch_->setAccessibleName(title);
    row->addWidget(swatch_);
    connect(swatch_, &QToolButton::clicked, this, [this] {
        const QColor chosen = QColorDialog::getColor(QColor::fromRgbF(float(color_.r), float(color_.g), float(color_.b)),
                                                     this, title_->text());
        pick(chosen);
    });
    setColor(color_);
}

void ColorWell::setTitle(const QString& title) {
    title_->setText(title);
    swatch_->setAccessibleName(title);
}

void ColorWell::setColor(const RGBColor& color) {
    color_ = color;
    QPixmap chip(swatch_->iconSize());
    chip.fill(QColor::fromRgbF(float(std::clamp(color.r, 0.0, 1.0)), float(std::clamp(color.g, 0.0, 1.0)),
                               float(std::clamp(color.b, 0.0, 1.0))));
    QPainter frame(&chip);
    frame.setPen(QColor(128, 128, 128));
    frame.drawRect(chip.rect().adjusted(0, 0, -1, -1));
    frame.end();
    swatch_->setIcon(chip);
}

void ColorWell::pick(const QColor& picked) {
    // Qt's colours are sRGB already; a colour that is not valid cannot be expressed and is ignored.
    if (!picked.isValid()) return;
    const QColor rgb = picked.toRgb();
    emit colorEdited(RGBColor{rgb.redF(), rgb.greenF(), rgb.blueF()});
}

}  // namespace qm
