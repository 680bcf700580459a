#pragma once
// Conversion between Simplified and Traditional Chinese characters, phrase first, with the list of
// ambiguous conversions ("choices") the user may review and override.
//
// Texts are UTF-8. A "character" is a user-perceived character (an extended grapheme cluster);
// lengths, positions and context windows count such characters.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <QString>

#include "documents/chinese_dictionary.h"

namespace qm {

struct DocxDocument;

class ChineseConverter {
public:
    enum class Direction { none, toTraditional, toSimplified };
    static constexpr std::array<Direction, 3> allDirections{Direction::none, Direction::toTraditional,
                                                            Direction::toSimplified};
    static std::string_view rawValue(Direction d);
    // Decoding accepts only the three raw values.
    static std::optional<Direction> directionFromRawValue(std::string_view raw);
    // The localized display title ("Don't convert", "Simplified → Traditional", ...).
    static QString title(Direction d);

    // One piece of converted output: the characters [sourceBegin, sourceEnd) of the stream became `text`.
    struct Segment {
        int sourceBegin = 0;
        int sourceEnd = 0;
        std::string text;
        bool operator==(const Segment&) const = default;
    };

    // One ambiguous conversion.
    struct Choice {
        int id = 0;                        // 0, 1, 2 ... in document order within one conversion
        std::string source;                // the character, or the phrase when the phrase itself is ambiguous
        std::string result;                // the candidate in use
        std::vector<std::string> options;  // distinct candidates, preferred first; at least two
        bool byPhrase = false;             // a phrase decided the result; the character alone is ambiguous
        std::string context;               // up to 8 characters either side of the result
        int contextOffset = 0;             // character position of the result within `context`
        bool operator==(const Choice&) const = default;
    };

    // The user's picks: choice id -> chosen candidate.
    using Overrides = std::unordered_map<int, std::string>;

    // A character stream: the text and the byte offset of every character boundary (bounds.front()
    // is 0, bounds.back() is text.size(); there is one more bound than characters).
    struct CharacterStream {
        std::string text;
        std::vector<std::uint32_t> bounds{0};

        CharacterStream() = default;
        explicit CharacterStream(std::string_view t) { append(t); }
        // Appends the characters of `t`; characters never join across appended pieces.
        void append(std::string_view t);
        std::size_t size() const { return bounds.size() - 1; }
        std::string_view character(std::size_t i) const {
            return std::string_view(text).substr(bounds[i], bounds[i + 1] - bounds[i]);
        }
    };

    struct StreamResult {
        std::vector<Segment> segments;  // cover the stream in order, without gaps
        std::vector<Choice> choices;
    };

    // Builds a converter from three dictionary files; any of them may be absent.
    ChineseConverter(const std::optional<std::filesystem::path>& phrasesFile,
                     const std::optional<std::filesystem::path>& charactersFile,
                     const std::optional<std::filesystem::path>& variantsFile, bool prefersOriginal);

    // Builds a converter from already loaded dictionaries.
    ChineseConverter(ChineseDictionary phrases, ChineseDictionary characters, ChineseDictionary variants,
                     bool prefersOriginal);

    // The converter of a direction from the dictionaries in `directory` (or the installed ones);
    // nothing for `none`.
    static std::unique_ptr<ChineseConverter> make(Direction d,
                                                  const std::optional<std::filesystem::path>& directory = {});

    // The process-wide converter of a direction, built on first use; nothing for `none`.
    static std::shared_ptr<const ChineseConverter> shared(Direction d);

    // Where the dictionary "OpenCC-<name>.txt" is: in `directory` when given (unchecked), otherwise
    // among the installed resources, or nothing when it is not installed.
    static std::optional<std::filesystem::path> dictionaryURL(
        std::string_view name, const std::optional<std::filesystem::path>& directory = {});

    // The installed dictionary folder: $QM_DICTIONARY_DIR when set, otherwise the first
    // "share/quillmere/dictionaries" found beside the executable's folder or one of its parents.
    static std::optional<std::filesystem::path> resourceDirectory();

    static ChineseDictionary loadDictionary(const std::optional<std::filesystem::path>& file);

    // Converts a document: only the strings of text runs change; pictures, line breaks and all
    // properties stay. Each group of consecutive text runs is one character stream, so phrases and
    // contexts stop at pictures, line breaks and paragraph ends. Choices are numbered from 0 in
    // document order.
    std::pair<DocxDocument, std::vector<Choice>> convert(const DocxDocument& document,
                                                         const Overrides& overrides = {}) const;

    // Converts one character stream; `nextID` numbers its choices and is advanced past them.
    StreamResult convertCharacters(const CharacterStream& stream, int& nextID, const Overrides& overrides) const;

    // Converts one text as one character stream and returns the converted text; its choices are
    // appended to `choices` when given.
    std::string convertText(std::string_view text, int& nextID, const Overrides& overrides = {},
                            std::vector<Choice>* choices = nullptr) const;

    // The distinct candidates of one character (variants applied), or nothing.
    std::optional<std::span<const std::string>> characterOptions(std::string_view character) const;

    // The text with every character replaced through `variants`.
    std::string applyingVariants(std::string_view text) const;

    const ChineseDictionary& phrases() const { return phrases_; }
    // For each character that begins a phrase key: the greatest length of those keys.
    const ChineseStringMap<int>& phraseLengths() const { return phraseLengths_; }
    const ChineseDictionary& characters() const { return characters_; }
    const ChineseStringMap<std::string_view>& variants() const { return variants_; }
    bool prefersOriginal() const { return prefersOriginal_; }

private:
    struct SegmentRef {
        std::uint32_t sourceBegin;
        std::uint32_t sourceEnd;
        std::uint32_t textBegin;  // byte range in the output text
        std::uint32_t textEnd;
    };
    struct Work;

    struct CharacterInfo;
    void run(const CharacterStream& stream, int& nextID, const Overrides& overrides, Work& work) const;
    std::size_t longestPhrase(const CharacterStream& stream, std::size_t i, const CharacterInfo* info,
                              std::optional<ChineseDictionary::Values>& values) const;
    void convertPhrase(const CharacterStream& stream, std::size_t i, std::size_t length,
                       const ChineseDictionary::Values& values, int& nextID, const Overrides& overrides, Work& w) const;
    void convertCharacter(std::string_view c, const CharacterInfo* info, int& nextID, const Overrides& overrides,
                          Work& w) const;
    void addChoice(std::string_view source, std::vector<std::string> options, bool byPhrase, std::string_view fallback,
                   int& nextID, const Overrides& overrides, Work& w) const;
    // The text through `variants`, or the text itself when nothing in it has a variant; `scratch`
    // holds a changed text.
    std::string_view variantView(std::string_view text, std::string& scratch) const;
    bool mayHaveVariant(std::string_view text) const;

    ChineseDictionary phrases_;
    ChineseStringMap<int> phraseLengths_;
    ChineseDictionary characters_;
    ChineseDictionary variantSource_;  // owns the text the `variants_` views point into
    ChineseStringMap<std::string_view> variants_;
    bool prefersOriginal_ = false;

    // Derived once, so that a position of the input costs few lookups: per character its longest
    // phrase and its candidates (distinct, variants applied), both as listed and as used for a
    // character converted on its own (the original moved to the front when preferred); per
    // two-character phrase start, the longest phrase beginning with it.
    struct CharacterCandidates {
        std::vector<std::string> options;
        std::vector<std::string> lone;
    };
    struct CharacterInfo {
        int phraseLength = 0;
        int candidates = -1;  // index into candidates_
    };
    std::vector<CharacterCandidates> candidates_;
    ChineseStringMap<CharacterInfo> characterInfo_;
    ChineseStringMap<int> phrasePrefixLengths_;
    std::vector<std::uint64_t> variantLeads_;  // bitmap of the first code points of variant keys
};

}  // namespace qm

// Choices are hashable over all their fields, like their equality.
template <>
struct std::hash<qm::ChineseConverter::Choice> {
    std::size_t operator()(const qm::ChineseConverter::Choice& c) const noexcept;
};
