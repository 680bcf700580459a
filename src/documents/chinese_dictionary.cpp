#include "documents/chinese_dictionary.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "documents/chinese_text.h"

namespace qm {

std::uint64_t chineseTextHash(std::string_view s) noexcept {
    // Keys are a few CJK characters: mix 8-byte words, then finish with the MurmurHash3 mixer so
    // that both the low bits (the slot) and the high bits (the stored tag) are well spread.
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ (s.size() * 0xFF51AFD7ED558CCDull);
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        h = (h ^ w) * 0x100000001B3ull;
        h = (h << 31) | (h >> 33);
    }
    std::uint64_t tail = 0;
    for (std::size_t k = 0; i < s.size(); ++i, ++k)
        tail |= std::uint64_t(static_cast<unsigned char>(s[i])) << (8 * k);
    h ^= tail;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

namespace {

// Length of the line terminator at text[pos], 0 when there is none: LF, CR, CR LF, and the
// Unicode line and paragraph separators (E2 80 A8 / E2 80 A9).
std::size_t terminatorLength(std::string_view text, std::size_t pos) {
    const char c = text[pos];
    if (c == '\n') return 1;
    if (c == '\r') return pos + 1 < text.size() && text[pos + 1] == '\n' ? 2 : 1;
    if (c == '\xE2' && pos + 2 < text.size() && text[pos + 1] == '\x80' &&
        (text[pos + 2] == '\xA8' || text[pos + 2] == '\xA9'))
        return 3;
    return 0;
}

}  // namespace

ChineseDictionary ChineseDictionary::parse(std::string raw) {
    ChineseDictionary dict;
    if (!chinese::isValidUtf8(raw)) return dict;
    auto owned = std::make_shared<std::string>(std::move(raw));
    std::string_view text = *owned;
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a byte-order mark is not part of the first key
    dict.text_ = std::move(owned);
    dict.values_.reserve(text.size() / 12);
    dict.index_.reserve(text.size() / 24);

    std::size_t pos = 0;
    while (pos < text.size()) {
        // Find the end of this line.
        std::size_t end = pos;
        std::size_t term = 0;
        while (end < text.size()) {
            const char c = text[end];
            if ((c == '\n' || c == '\r' || c == '\xE2') && (term = terminatorLength(text, end)) != 0) break;
            ++end;
        }
        std::string_view line = text.substr(pos, end - pos);
        pos = end + term;

        if (line.empty() || line.front() == '#') continue;
        // Split once at the first TAB after any leading TABs; a key or a rest that is empty is
        // dropped, and a line that does not leave exactly two pieces is skipped.
        const std::size_t keyStart = line.find_first_not_of('\t');
        if (keyStart == std::string_view::npos) continue;
        const std::size_t tab = line.find('\t', keyStart);
        if (tab == std::string_view::npos || tab + 1 >= line.size()) continue;
        const std::string_view key = line.substr(keyStart, tab - keyStart);
        const std::string_view rest = line.substr(tab + 1);

        const auto first = static_cast<std::uint32_t>(dict.values_.size());
        std::size_t v = 0;
        while (v < rest.size()) {
            if (rest[v] == ' ') {
                ++v;
                continue;
            }
            std::size_t e = rest.find(' ', v);
            if (e == std::string_view::npos) e = rest.size();
            dict.values_.push_back(rest.substr(v, e - v));
            v = e;
        }
        const auto count = static_cast<std::uint32_t>(dict.values_.size() - first);
        if (count == 0) continue;
        dict.index_.insertOrAssign(key, Range{first, count});  // a later line replaces an earlier one
    }
    return dict;
}

ChineseDictionary ChineseDictionary::load(const std::optional<std::filesystem::path>& file) {
    if (!file) return {};
    std::error_code ec;
    if (!std::filesystem::is_regular_file(*file, ec)) return {};
    std::ifstream in(*file, std::ios::binary);
    if (!in) return {};
    std::string bytes;
    in.seekg(0, std::ios::end);
    const auto size = in.tellg();
    if (size > 0) {
        bytes.resize(static_cast<std::size_t>(size));
        in.seekg(0);
        in.read(bytes.data(), size);
        if (!in) return {};
    } else {
        in.seekg(0);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    return parse(std::move(bytes));
}

std::optional<ChineseDictionary::Values> ChineseDictionary::find(std::string_view key) const {
    const Range* r = index_.find(key);
    if (!r) return std::nullopt;
    return values(*r);
}

}  // namespace qm
