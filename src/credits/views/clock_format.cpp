#include "credits/views/clock_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include <QStringList>

namespace qm {

namespace {

// Beyond this many tenths the value no longer fits the integer the text is made from.
constexpr double kLargestTenths = 9.0e18;

bool isTrimmed(QChar c) { return c == u'\t' || c.category() == QChar::Separator_Space; }

QString trimmed(const QString& piece) {
    qsizetype begin = 0, end = piece.size();
    while (begin < end && isTrimmed(piece[begin])) ++begin;
    while (end > begin && isTrimmed(piece[end - 1])) --end;
    return piece.mid(begin, end - begin);
}

// A whole piece read as a plain number; nothing when any of it is left over.
std::optional<double> number(const QString& piece) {
    const QByteArray bytes = piece.toUtf8();
    double value = 0;
    const char* end = bytes.constData() + bytes.size();
    const auto [rest, error] = std::from_chars(bytes.constData(), end, value, std::chars_format::general);
    if (error != std::errc() || rest != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace

QString ClockFormat::format(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds * 10 > kLargestTenths) return QStringLiteral("0:00");
    const int64_t tenths = std::llround(seconds * 10);
    const int64_t minutes = tenths / 600;
    const int64_t rest = tenths - minutes * 600;
    const int64_t whole = rest / 10;
    const int64_t tenth = rest - whole * 10;
    if (tenth == 0) return QString::asprintf("%lld:%02lld", (long long)minutes, (long long)whole);
    return QString::asprintf("%lld:%02lld.%lld", (long long)minutes, (long long)whole, (long long)tenth);
}

std::optional<double> ClockFormat::parse(const QString& text) {
    QString colons = text;
    colons.replace(QChar(0xFF1A), QLatin1Char(':'));
    const QStringList pieces = colons.split(QLatin1Char(':'), Qt::KeepEmptyParts);
    if (pieces.size() > 3) return std::nullopt;
    double value = 0;
    for (const QString& raw : pieces) {
        const QString piece = trimmed(raw);
        double part = 0;
        if (!piece.isEmpty()) {
            const auto read = number(piece);
            if (!read || *read < 0) return std::nullopt;
            part = *read;
        }
        value = value * 60 + part;
    }
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

QString clockString(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > kLargestTenths) return QStringLiteral("0:00");
    const int64_t n = std::llround(seconds);
    return QString::asprintf("%lld:%02lld", (long long)(n / 60), (long long)(n % 60));
}

QString frameRateLabel(double rate) {
    if (!std::isfinite(rate)) return QStringLiteral("0");
    if (std::round(rate) == rate) return QString::asprintf("%.0f", rate);
    QString text = QString::asprintf("%.3f", rate);
    while (text.endsWith(QLatin1Char('0'))) text.chop(1);
    if (text.endsWith(QLatin1Char('.'))) {
        // Within a thousandth of a whole rate: more digits keep it apart from that rate.
        return QString::asprintf("%.6g", rate);
    }
    return text;
}

QString sliderValueText(double value, const QString& unit) {
    const long long n = std::isfinite(value) && std::fabs(value) < kLargestTenths ? std::llround(value) : 0;
    const bool attached = unit.startsWith(QLatin1Char('%')) || unit == QLatin1String("px");
    return QString::number(n) + (attached ? QString() : QStringLiteral(" ")) + unit;
}

QString percentText(double fraction) {
    if (!std::isfinite(fraction)) return QStringLiteral("0%");
    const double percent = std::clamp(std::trunc(fraction * 100), 0.0, 100.0);
    return QString::number(int(percent)) + QLatin1Char('%');
}

}  // namespace qm
