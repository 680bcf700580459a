#include "documents/chinese_text.h"

#include <algorithm>

#include <QString>
#include <QTextBoundaryFinder>

namespace qm::chinese {

namespace {

// Code points between which extended grapheme cluster rules always allow a break when both
// neighbours are in this set: they are neither Extend, ZWJ, SpacingMark, Prepend, CR, Hangul
// jamo/syllables nor regional indicators. Nearly all Chinese text consists of them, so the costly
// general segmentation runs only for texts that hold something else.
bool isPlain(char32_t cp) {
    if (cp < 0x80) return cp != 0x0D;  // CR may join a following LF
    if (cp < 0x100) return cp >= 0xA0;
    if (cp < 0x2010) return false;
    if (cp <= 0x2027) return true;
    if (cp < 0x2030) return false;
    if (cp <= 0x205E) return true;
    if (cp < 0x2E80) return false;
    if (cp <= 0x2FDF) return true;                  // CJK radicals, Kangxi radicals
    if (cp < 0x3000) return false;
    if (cp <= 0x3029) return true;                  // CJK symbols and punctuation ...
    if (cp <= 0x302F) return false;                 // ... except the tone marks (Extend)
    if (cp <= 0x3096) return true;                  // ... and hiragana
    if (cp <= 0x309A) return cp >= 0x3097 && cp <= 0x3098;  // kana voicing marks are Extend
    if (cp <= 0x30FF) return true;
    if (cp < 0x31C0) return false;
    if (cp <= 0x31EF) return true;                  // CJK strokes
    if (cp < 0x3200) return false;
    if (cp <= 0x4DBF) return true;                  // enclosed, compatibility, extension A
    if (cp < 0x4E00) return false;
    if (cp <= 0x9FFF) return true;                  // unified ideographs
    if (cp < 0xF900) return false;
    if (cp <= 0xFAFF) return true;                  // compatibility ideographs
    if (cp < 0xFE10) return false;
    if (cp <= 0xFE19) return true;                  // vertical forms
    if (cp < 0xFE30) return false;
    if (cp <= 0xFE6F) return true;                  // compatibility and small forms
    if (cp < 0xFF01) return false;
    if (cp <= 0xFF9D) return true;                  // full-width forms, half-width katakana
    if (cp < 0xFFE0) return false;
    if (cp <= 0xFFEE) return true;
    if (cp < 0x20000) return false;
    return cp <= 0x3FFFD;                           // ideograph extensions B and later
}

void appendBoundsGeneral(std::string_view text, std::vector<std::uint32_t>& bounds) {
    const QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    // UTF-16 offset -> UTF-8 offset, walked in step with the finder's increasing positions.
    std::size_t bytePos = 0;
    qsizetype utf16Pos = 0;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s);
    bounds.push_back(0);
    qsizetype next;
    while ((next = finder.toNextBoundary()) != -1) {
        while (utf16Pos < next && bytePos < text.size()) {
            const char32_t cp = nextCodePoint(text, bytePos);
            utf16Pos += cp > 0xFFFF ? 2 : 1;
        }
        bounds.push_back(static_cast<std::uint32_t>(bytePos));
    }
    if (bounds.back() != text.size()) bounds.push_back(static_cast<std::uint32_t>(text.size()));
}

}  // namespace

namespace {

// Length of the well-formed sequence at b[i], 0 when it is ill-formed.
std::size_t sequenceLength(std::string_view b, std::size_t i) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.data());
    const unsigned char c = p[i];
    if (c < 0x80) return 1;
    std::size_t len;
    char32_t min;
    char32_t cp;
    if ((c & 0xE0) == 0xC0) {
        len = 2, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, min = 0x10000, cp = c & 0x07;
    } else {
        return 0;
    }
    if (b.size() - i < len) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((p[i + k] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

bool isValidUtf8(std::string_view b) {
    std::size_t i = 0;
    while (i < b.size()) {
        if (static_cast<unsigned char>(b[i]) < 0x80) {
            ++i;
            continue;
        }
        const std::size_t len = sequenceLength(b, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string toValidUtf8(std::string_view b) {
    std::string out;
    out.reserve(b.size());
    std::size_t i = 0;
    while (i < b.size()) {
        const std::size_t len = sequenceLength(b, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(b, i, len);
            i += len;
        }
    }
    return out;
}

char32_t nextCodePoint(std::string_view b, std::size_t& pos) {
    const auto c = static_cast<unsigned char>(b[pos]);
    if (c < 0x80) {
        ++pos;
        return c;
    }
    std::size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
    char32_t cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
    for (std::size_t k = 1; k < len && pos + k < b.size(); ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(b[pos + k]) & 0x3F);
    pos = std::min(pos + len, b.size());  // never past the end, even on a truncated sequence
    return cp;
}

void appendCodePoint(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void appendCharacterBounds(std::string_view text, std::vector<std::uint32_t>& bounds) {
    if (text.empty()) return;
    const std::size_t start = bounds.size();
    bounds.push_back(0);
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (!isPlain(nextCodePoint(text, pos))) {
            bounds.resize(start);
            appendBoundsGeneral(text, bounds);
            return;
        }
        bounds.push_back(static_cast<std::uint32_t>(pos));
    }
}

void appendCharacterStarts(std::string_view text, std::uint32_t base, std::vector<std::uint32_t>& starts) {
    const std::size_t start = starts.size();
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t at = pos;
        if (!isPlain(nextCodePoint(text, pos))) {
            starts.resize(start);
            std::vector<std::uint32_t> bounds;
            appendBoundsGeneral(text, bounds);
            for (std::size_t k = 0; k + 1 < bounds.size(); ++k) starts.push_back(base + bounds[k]);
            return;
        }
        starts.push_back(base + static_cast<std::uint32_t>(at));
    }
}

std::vector<std::uint32_t> characterBounds(std::string_view text) {
    std::vector<std::uint32_t> bounds;
    bounds.reserve(text.size() / 3 + 2);
    appendCharacterBounds(text, bounds);
    if (bounds.empty()) bounds.push_back(0);
    return bounds;
}

std::size_t characterCount(std::string_view text) {
    std::size_t pos = 0;
    std::size_t count = 0;
    while (pos < text.size()) {
        if (!isPlain(nextCodePoint(text, pos))) return characterBounds(text).size() - 1;
        ++count;
    }
    return count;
}

bool isSingleCharacter(std::string_view text) {
    if (text.empty()) return false;
    std::size_t pos = 0;
    const char32_t cp = nextCodePoint(text, pos);
    if (pos == text.size()) return true;
    if (isPlain(cp)) {
        std::size_t next = pos;
        if (isPlain(nextCodePoint(text, next))) return false;
    }
    return characterCount(text) == 1;
}

std::string_view firstCharacter(std::string_view text) {
    if (text.empty()) return text;
    std::size_t pos = 0;
    const char32_t cp = nextCodePoint(text, pos);
    if (pos == text.size()) return text;
    if (isPlain(cp)) {
        std::size_t next = pos;
        if (isPlain(nextCodePoint(text, next))) return text.substr(0, pos);
    }
    const auto bounds = characterBounds(text);
    return text.substr(0, bounds[1]);
}

}  // namespace qm::chinese
