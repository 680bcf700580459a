#pragma once
// Fonts of the credits text: the families a Word credits list names (often Windows or Mac
// Chinese families) mapped to families installed here, the Simplified/Traditional family switch
// that follows the text conversion, and the choice of one font per run.

#include <optional>
#include <string>
#include <unordered_map>

#include <QFont>

#include "documents/chinese_converter.h"
#include "documents/docx_document.h"

namespace qm {

// Windows family written in a document → the family used instead.
const std::unordered_map<std::string, std::string>& fontSubstitutes();
// Simplified family → Traditional family.
const std::unordered_map<std::string, std::string>& traditionalFontFamilies();

// The installed family that stands in for a family name: the name itself when it is installed,
// else its installed counterpart (PingFang SC → Noto Sans CJK SC, Kaiti TC → AR PL UKai TW, ...);
// nothing when neither is installed.
std::optional<QString> installedFamily(const QString& family);

// The family after the Simplified/Traditional switch, or nothing when the switch leaves it as it
// is. Works on the names of the tables above and on the installed pairs (Noto Sans/Serif CJK
// SC↔TC, AR PL UKai CN↔TW).
std::optional<QString> switchedFamily(const QString& family, ChineseConverter::Direction direction);

// The font of one run at `scale` pixels per point (at least 1 pixel): the user's family when set
// and installed (no switch), else the run's own family or its substitute (switched with the
// conversion), else the fallback "PingFang SC" (switched unless the user's family was set), else
// the system font. Bold and italic only where the family has such a face. Sizes are in points of
// a 72-dpi device, so they equal pixels there.
QFont resolveFont(const DocxDocument::Run& run, const std::string& fontFamily,
                  ChineseConverter::Direction direction, double scale);

// `base` with the sans CJK family of one Chinese script first, for text known to be in that
// script: the UI family's own fallback would draw Han characters in whatever forms it finds
// first, often Japanese ones. The base families follow for anything the CJK family lacks.
QFont chineseFont(const QFont& base, bool traditional);

}  // namespace qm
