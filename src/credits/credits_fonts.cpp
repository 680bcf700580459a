#include "credits/credits_fonts.h"

#include <QFontDatabase>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>

namespace qm {

namespace {

// The document-facing families above live on other systems; these are the installed families
// that draw the same scripts in the same spirit.
const std::unordered_map<std::string, std::string>& installedCounterparts() {
    static const std::unordered_map<std::string, std::string> table{
        {"PingFang SC", "Noto Sans CJK SC"},      {"PingFang TC", "Noto Sans CJK TC"},
        {"Heiti SC", "Noto Sans CJK SC"},         {"Heiti TC", "Noto Sans CJK TC"},
        {"Lantinghei SC", "Noto Sans CJK SC"},    {"Lantinghei TC", "Noto Sans CJK TC"},
        {"Hiragino Sans GB", "Noto Sans CJK SC"}, {"Songti SC", "Noto Serif CJK SC"},
        {"Songti TC", "Noto Serif CJK TC"},       {"STFangsong", "Noto Serif CJK SC"},
        {"Kaiti SC", "AR PL UKai CN"},            {"Kaiti TC", "AR PL UKai TW"},
    };
    return table;
}

// Simplified ↔ Traditional pairs among the installed families.
constexpr std::pair<const char*, const char*> kInstalledPairs[] = {
    {"Noto Sans CJK SC", "Noto Sans CJK TC"},
    {"Noto Serif CJK SC", "Noto Serif CJK TC"},
    {"AR PL UKai CN", "AR PL UKai TW"},
};

// Whether a family is installed, remembered: the font database answers slowly and a list asks
// for the same few families thousands of times.
bool isInstalled(const QString& family) {
    static std::mutex mutex;
    static std::map<QString, bool> known;
    {
        std::lock_guard lock(mutex);
        if (auto it = known.find(family); it != known.end()) return it->second;
    }
    const bool installed = !family.isEmpty() && QFontDatabase::hasFamily(family);
    std::lock_guard lock(mutex);
    known.emplace(family, installed);
    return installed;
}

bool isBoldStyle(const QString& family, const QString& style) {
    return QFontDatabase::weight(family, style) >= QFont::DemiBold;
}

// Whether the family has a face with the given boldness (any boldness when unset) and slant.
bool hasFace(const QString& family, std::optional<bool> bold, bool italic) {
    const QStringList styles = QFontDatabase::styles(family);
    return std::any_of(styles.begin(), styles.end(), [&](const QString& style) {
        if (QFontDatabase::italic(family, style) != italic) return false;
        return !bold || isBoldStyle(family, style) == *bold;
    });
}

QFont plainFont(const QString& family, double size) {
    QFont font(family);
    font.setPointSizeF(size);
    return font;
}

// "Family Style" as one face's name, such as "Noto Sans CJK SC Bold".
std::optional<QFont> fontNamed(const QString& name, double size) {
    const int space = name.lastIndexOf(u' ');
    if (space <= 0) return std::nullopt;
    const QString family = name.left(space);
    const QString style = name.mid(space + 1);
    const std::optional<QString> installed = installedFamily(family);
    if (!installed) return std::nullopt;
    const QStringList styles = QFontDatabase::styles(*installed);
    const auto match = std::find_if(styles.begin(), styles.end(),
                                    [&](const QString& s) { return s.compare(style, Qt::CaseInsensitive) == 0; });
    if (match == styles.end()) return std::nullopt;
    QFont font = plainFont(*installed, size);
    font.setWeight(static_cast<QFont::Weight>(QFontDatabase::weight(*installed, *match)));
    font.setItalic(QFontDatabase::italic(*installed, *match));
    return font;
}

}  // namespace

const std::unordered_map<std::string, std::string>& fontSubstitutes() {
    static const std::unordered_map<std::string, std::string> table{
        {"微软雅黑", "PingFang SC"}, {"Microsoft YaHei", "PingFang SC"},
        {"微軟正黑體", "PingFang TC"}, {"Microsoft JhengHei", "PingFang TC"},
        {"宋体", "Songti SC"},       {"SimSun", "Songti SC"},
        {"新細明體", "Songti TC"},   {"PMingLiU", "Songti TC"},
        {"黑体", "Heiti SC"},        {"SimHei", "Heiti SC"},
        {"楷体", "Kaiti SC"},        {"KaiTi", "Kaiti SC"},
        {"等线", "PingFang SC"},     {"DengXian", "PingFang SC"},
        {"方正黑体_GBK", "Heiti SC"}, {"仿宋", "STFangsong"},
    };
    return table;
}

const std::unordered_map<std::string, std::string>& traditionalFontFamilies() {
    static const std::unordered_map<std::string, std::string> table{
        {"PingFang SC", "PingFang TC"},       {"Songti SC", "Songti TC"},
        {"Heiti SC", "Heiti TC"},             {"Kaiti SC", "Kaiti TC"},
        {"Hiragino Sans GB", "PingFang TC"},  {"Lantinghei SC", "Lantinghei TC"},
        {"Libian SC", "Libian TC"},           {"Weibei SC", "Weibei TC"},
        {"Xingkai SC", "Xingkai TC"},         {"Yuanti SC", "Yuanti TC"},
        {"Wawati SC", "Wawati TC"},           {"Baoli SC", "Baoli TC"},
        {"Hannotate SC", "Hannotate TC"},     {"HanziPen SC", "HanziPen TC"},
        {"Yuppy SC", "Yuppy TC"},
    };
    return table;
}

std::optional<QString> installedFamily(const QString& family) {
    if (isInstalled(family)) return family;
    const auto& counterparts = installedCounterparts();
    if (auto it = counterparts.find(family.toStdString()); it != counterparts.end()) {
        const QString counterpart = QString::fromStdString(it->second);
        if (isInstalled(counterpart)) return counterpart;
    }
    return std::nullopt;
}

std::optional<QString> switchedFamily(const QString& family, ChineseConverter::Direction direction) {
    if (direction == ChineseConverter::Direction::none) return std::nullopt;
    const bool toTraditional = direction == ChineseConverter::Direction::toTraditional;
    const std::string name = family.toStdString();
    const auto& table = traditionalFontFamilies();
    if (toTraditional) {
        if (auto it = table.find(name); it != table.end()) return QString::fromStdString(it->second);
    } else {
        // Several Simplified families share a Traditional one; the first the walk meets is taken.
        for (const auto& [simplified, traditional] : table)
            if (traditional == name) return QString::fromStdString(simplified);
    }
    for (const auto& [sc, tc] : kInstalledPairs) {
        if (family == QLatin1String(toTraditional ? sc : tc)) return QString::fromLatin1(toTraditional ? tc : sc);
    }
    return std::nullopt;
}

QFont resolveFont(const DocxDocument::Run& run, const std::string& fontFamily, ChineseConverter::Direction direction,
                  double scale) {
    const double scaled = scale * run.fontSize;
    const double size = std::isfinite(scaled) ? std::max(scaled, 1.0) : 1.0;

    std::optional<QFont> font;
    QString family;  // the family name as the switch tables know it
    const bool userFamily = !fontFamily.empty();
    if (userFamily) {
        family = QString::fromStdString(fontFamily);
        if (auto installed = installedFamily(family)) font = plainFont(*installed, size);
    } else if (run.fontName) {
        family = QString::fromStdString(*run.fontName);
        font = fontNamed(family, size);
        if (!font) {
            if (auto installed = installedFamily(family)) font = plainFont(*installed, size);
        }
        if (!font) {
            const auto& substitutes = fontSubstitutes();
            if (auto it = substitutes.find(*run.fontName); it != substitutes.end()) {
                family = QString::fromStdString(it->second);
                if (auto installed = installedFamily(family)) font = plainFont(*installed, size);
            }
        }
    }
    if (!font) {
        family = QStringLiteral("PingFang SC");
        if (auto installed = installedFamily(family)) {
            font = plainFont(*installed, size);
        } else {
            font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
            font->setPointSizeF(size);
        }
    }
    if (!userFamily) {
        // Try the table name first, then the installed family's own pair.
        for (const QString& name : {family, font->family()}) {
            const std::optional<QString> target = switchedFamily(name, direction);
            if (!target) continue;
            if (auto installed = installedFamily(*target)) {
                font->setFamily(*installed);
                break;
            }
        }
    }

    // Bold first, then italic, each only where the family has that face: no synthetic styles.
    const QString chosen = font->family();
    if (run.bold && !font->bold() && hasFace(chosen, true, font->italic())) font->setBold(true);
    if (run.italic && !font->italic() && hasFace(chosen, font->bold(), true)) font->setItalic(true);

    font->setHintingPreference(QFont::PreferNoHinting);
    font->setStyleStrategy(QFont::NoSubpixelAntialias);
    return *font;
}

QFont chineseFont(const QFont& base, bool traditional) {
    QFont font = base;
    QStringList families = base.families();
    if (families.isEmpty()) families.append(base.family());
    families.prepend(traditional ? QStringLiteral("Noto Sans CJK TC") : QStringLiteral("Noto Sans CJK SC"));
    font.setFamilies(families);
    return font;
}

}  // namespace qm
