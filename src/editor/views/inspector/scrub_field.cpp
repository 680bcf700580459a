#include "editor/views/inspector/scrub_field.h"

#include <charconv>
#include <cmath>

#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>

#include "view_kit/form_style.h"

namespace qm {

std::optional<double> parseDecimal(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    if (bytes.isEmpty() || text.size() != bytes.size()) return std::nullopt;
    const char* begin = bytes.constData();
    const char* end = begin + bytes.size();
    // from_chars takes no plus sign, and reads "nan", "inf" and hexadecimal forms we refuse.
    if (*begin == '+') ++begin;
    for (const char* c = begin; c != end; ++c)
        if (!((*c >= '0' && *c <= '9') || *c == '.' || *c == 'e' || *c == 'E' || *c == '-' || *c == '+'))
            return std::nullopt;
    double value = 0;
    const auto result = std::from_chars(begin, end, value, std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<double> parseScrubText(const QString& text, const QString& suffix) {
    QString s = text;
    const QString unit = suffix.trimmed();
    if (!unit.isEmpty()) s.remove(unit);
    return parseDecimal(s.trimmed());
}

QString formatDecimal(double value, int decimals) { return QString::asprintf("%.*f", decimals, value); }

ScrubField::ScrubField(double step, int decimals, QString suffix, int width, QWidget* parent)
    : QWidget(parent), step_(step), decimals_(decimals), suffix_(std::move(suffix)) {
    setFixedWidth(width);
    setCursor(Qt::SizeHorCursor);
    setFocusPolicy(Qt::ClickFocus);
    setFont(calloutFont(font()));
}

ScrubField::~ScrubField() {
    if (dragStart_) finishGesture();
}

void ScrubField::setValue(double value) {
    if (value == value_ || (std::isnan(value) && std::isnan(value_))) return;
    value_ = value;
    update();
}

bool ScrubField::isEditing() const { return editor_ != nullptr && editor_->isVisible(); }

QString ScrubField::displayText() const { return formatDecimal(value_, decimals_) + suffix_; }

QSize ScrubField::sizeHint() const { return {width(), fontMetrics().height() + 6}; }

void ScrubField::paintEvent(QPaintEvent*) {
    if (isEditing()) return;
    QPainter p(this);
    const QColor accent = accentColor(this);
    const QRect r = rect().adjusted(0, 0, -1, -2);
    const QString text = fontMetrics().elidedText(displayText(), Qt::ElideLeft, r.width());
    p.setPen(accent);
    p.drawText(r, Qt::AlignRight | Qt::AlignVCenter, text);
    // The dotted underline under the text says the number can be dragged.
    const int textWidth = fontMetrics().horizontalAdvance(text);
    const int baseline = r.center().y() + fontMetrics().ascent() / 2 + 2;
    QColor line = accent;
    line.setAlphaF(0.5f);
    p.setPen(QPen(line, 1, Qt::DotLine));
    p.drawLine(r.right() - textWidth, baseline, r.right(), baseline);
}

void ScrubField::mousePressEvent(QMouseEvent* event) {
    if (isEditing()) return;
    drag_.press(*event);
    event->accept();
}

void ScrubField::mouseMoveEvent(QMouseEvent* event) {
    const auto change = drag_.move(*event);
    if (!change) return;
    const bool first = !dragStart_.has_value();
    if (first) dragStart_ = value_;
    // The factor of this moment scales the whole distance dragged so far.
    const double factor = change->modifiers.testFlag(Qt::ShiftModifier)  ? 10.0
                          : change->modifiers.testFlag(Qt::AltModifier) ? 0.1
                                                                          : 1.0;
    const double next = change->translation.x() * step_ * factor + *dragStart_;
    reported_ = true;
    if (onChange) onChange(next, first);
}

void ScrubField::mouseReleaseEvent(QMouseEvent* event) {
    if (!drag_.isPressed()) return;
    const bool dragged = drag_.release();
    if (dragged) {
        finishGesture();
    } else if (event->button() == Qt::LeftButton) {
        openEditor();
    }
}

void ScrubField::finishGesture() {
    dragStart_.reset();
    if (reported_ && onEnd) onEnd();
    reported_ = false;
}

void ScrubField::openEditor() {
    if (!editor_) {
        editor_ = new QLineEdit(this);
        editor_->setFont(font());
        editor_->setAlignment(Qt::AlignRight);
        editor_->installEventFilter(this);
        connect(editor_, &QLineEdit::returnPressed, this, &ScrubField::commit);
    }
    editor_->setGeometry(rect());
    editor_->setText(formatDecimal(value_, decimals_));
    editor_->selectAll();
    editor_->show();
    editor_->setFocus(Qt::MouseFocusReason);
    update();
}

void ScrubField::commit() {
    if (!isEditing()) return;
    const QString text = editor_->text();
    editor_->hide();
    update();
    if (const auto number = parseScrubText(text, suffix_)) {
        if (onChange) onChange(*number, true);
        if (onEnd) onEnd();
    }
}

void ScrubField::cancelEditing() {
    if (!isEditing()) return;
    editor_->hide();
    update();
}

bool ScrubField::eventFilter(QObject* watched, QEvent* event) {
    if (watched == editor_) {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            cancelEditing();
            return true;
        }
        if (event->type() == QEvent::FocusOut) commit();
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace qm
