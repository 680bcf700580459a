#pragma once
// One dictionary of the Chinese converter: keys mapped to lists of candidate texts, first
// candidate preferred. Keys and values are views into the dictionary's own copy of the file text,
// so a table of some fifty thousand phrases costs one buffer and an index rather than a string
// allocation per entry.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "documents/chinese_string_map.h"

namespace qm {

class ChineseDictionary {
public:
    using Values = std::span<const std::string_view>;

    ChineseDictionary() = default;

    // Parses dictionary text (UTF-8): one "key<TAB>value value ..." entry a line; see the loader
    // in chinese_dictionary.cpp for the exact rules. Text that is not valid UTF-8 gives an empty
    // dictionary.
    static ChineseDictionary parse(std::string text);

    // Reads a dictionary file; no path, or a file that cannot be read, gives an empty dictionary.
    static ChineseDictionary load(const std::optional<std::filesystem::path>& file);

    // The candidates of a key, or nothing when the key is absent.
    std::optional<Values> find(std::string_view key) const;

    // The entries whose key satisfies the predicate, sharing this dictionary's text.
    template <typename Pred>
    ChineseDictionary filtered(Pred keep) const {
        ChineseDictionary out;
        out.text_ = text_;
        out.index_.reserve(index_.size());
        index_.forEach([&](std::string_view key, Range range) {
            if (keep(key, values(range))) out.index_.insertOrAssign(key, range);
        });
        out.values_ = values_;
        return out;
    }

    std::size_t size() const { return index_.size(); }
    bool empty() const { return index_.empty(); }

    // Visits every entry (in no particular order).
    template <typename F>
    void forEach(F f) const {
        index_.forEach([&](std::string_view key, Range range) { f(key, values(range)); });
    }

private:
    struct Range {
        std::uint32_t first = 0;
        std::uint32_t count = 0;
    };
    Values values(Range r) const { return Values(values_.data() + r.first, r.count); }

    std::shared_ptr<const std::string> text_;
    std::vector<std::string_view> values_;
    ChineseStringMap<Range> index_;
};

}  // namespace qm
