#include "documents/chinese_converter.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include <QCoreApplication>

#include "documents/chinese_text.h"

namespace qm {

namespace {

constexpr int kContextCharacters = 8;

bool contains(const std::vector<std::string>& list, std::string_view s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

}  // namespace

// ---- Direction -------------------------------------------------------------------------------

std::string_view ChineseConverter::rawValue(Direction d) {
    switch (d) {
    case Direction::none: return "none";
    case Direction::toTraditional: return "toTraditional";
    case Direction::toSimplified: return "toSimplified";
    }
    return "none";
}

std::optional<ChineseConverter::Direction> ChineseConverter::directionFromRawValue(std::string_view raw) {
    for (Direction d : allDirections) {
        if (rawValue(d) == raw) return d;
    }
    return std::nullopt;
}

QString ChineseConverter::title(Direction d) {
    switch (d) {
    case Direction::none: return QCoreApplication::translate("ChineseConverter", "Don't convert");
    case Direction::toTraditional: return QCoreApplication::translate("ChineseConverter", "Simplified → Traditional");
    case Direction::toSimplified: return QCoreApplication::translate("ChineseConverter", "Traditional → Simplified");
    }
    return {};
}

// ---- Character streams -----------------------------------------------------------------------

void ChineseConverter::CharacterStream::append(std::string_view t) {
    if (t.empty()) return;
    // Ill-formed bytes cannot be characters; they become U+FFFD so that every later step can
    // rely on well-formed text.
    std::string repaired;
    if (!chinese::isValidUtf8(t)) {
        repaired = chinese::toValidUtf8(t);
        t = repaired;
    }
    const auto base = static_cast<std::uint32_t>(text.size());
    text.append(t);
    bounds.pop_back();
    chinese::appendCharacterStarts(t, base, bounds);
    bounds.push_back(static_cast<std::uint32_t>(text.size()));
}

// ---- Construction ----------------------------------------------------------------------------

ChineseDictionary ChineseConverter::loadDictionary(const std::optional<std::filesystem::path>& file) {
    return ChineseDictionary::load(file);
}

ChineseConverter::ChineseConverter(const std::optional<std::filesystem::path>& phrasesFile,
                                   const std::optional<std::filesystem::path>& charactersFile,
                                   const std::optional<std::filesystem::path>& variantsFile, bool prefersOriginal)
    : ChineseConverter(loadDictionary(phrasesFile), loadDictionary(charactersFile), loadDictionary(variantsFile),
                       prefersOriginal) {}

ChineseConverter::ChineseConverter(ChineseDictionary phrases, ChineseDictionary characters,
                                   ChineseDictionary variants, bool prefersOriginal)
    : phrases_(std::move(phrases)), prefersOriginal_(prefersOriginal) {
    // Each character that starts a phrase remembers the longest such phrase, which bounds the search.
    phraseLengths_.reserve(phrases_.size() / 4 + 16);
    phrasePrefixLengths_.reserve(phrases_.size() / 2);  // many phrases share their first two characters
    std::vector<std::uint32_t> keyBounds;
    phrases_.forEach([&](std::string_view key, ChineseDictionary::Values) {
        if (key.empty()) return;
        keyBounds.clear();
        chinese::appendCharacterBounds(key, keyBounds);
        const int length = static_cast<int>(keyBounds.size() - 1);
        int& stored = phraseLengths_[key.substr(0, keyBounds[1])];
        stored = std::max(stored, length);
        if (length >= 2) {
            int& prefix = phrasePrefixLengths_[key.substr(0, keyBounds[2])];
            prefix = std::max(prefix, length);
        }
    });

    characters_ = characters.filtered(
        [](std::string_view key, ChineseDictionary::Values) { return chinese::isSingleCharacter(key); });

    variantSource_ = std::move(variants);
    variantLeads_.assign(0x110000 / 64, 0);
    variantSource_.forEach([this](std::string_view key, ChineseDictionary::Values values) {
        if (!chinese::isSingleCharacter(key) || !chinese::isSingleCharacter(values.front())) return;
        variants_.insertOrAssign(key, values.front());
        std::size_t pos = 0;
        const char32_t lead = chinese::nextCodePoint(key, pos);
        variantLeads_[lead / 64] |= std::uint64_t(1) << (lead % 64);
    });

    characterInfo_.reserve(characters_.size() + phraseLengths_.size());
    phraseLengths_.forEach([this](std::string_view c, int length) { characterInfo_[c].phraseLength = length; });
    candidates_.reserve(characters_.size());
    characters_.forEach([this](std::string_view key, ChineseDictionary::Values values) {
        CharacterCandidates entry;
        entry.options.reserve(values.size());
        std::string scratch;
        for (std::string_view v : values) {
            const std::string_view changed = variantView(v, scratch);
            if (!contains(entry.options, changed)) entry.options.emplace_back(changed);
        }
        entry.lone = entry.options;
        if (prefersOriginal_ && entry.lone.size() >= 2) {
            const auto it = std::find(entry.lone.begin() + 1, entry.lone.end(), key);
            if (it != entry.lone.end()) std::rotate(entry.lone.begin(), it, it + 1);
        }
        characterInfo_[key].candidates = static_cast<int>(candidates_.size());
        candidates_.push_back(std::move(entry));
    });
}

std::unique_ptr<ChineseConverter> ChineseConverter::make(Direction d,
                                                         const std::optional<std::filesystem::path>& directory) {
    switch (d) {
    case Direction::none: return nullptr;
    case Direction::toTraditional:
        return std::make_unique<ChineseConverter>(dictionaryURL("STPhrases", directory),
                                                  dictionaryURL("STCharacters", directory),
                                                  dictionaryURL("TWVariants", directory), true);
    case Direction::toSimplified:
        return std::make_unique<ChineseConverter>(dictionaryURL("TSPhrases", directory),
                                                  dictionaryURL("TSCharacters", directory), std::nullopt, false);
    }
    return nullptr;
}

std::shared_ptr<const ChineseConverter> ChineseConverter::shared(Direction d) {
    if (d == Direction::none) return nullptr;
    // Created on first use; held for a whole first build so that no dictionary is read twice.
    // Never destroyed: the converters live for the rest of the process.
    static std::mutex& cacheLock = *new std::mutex;
    static auto& cache = *new std::unordered_map<Direction, std::shared_ptr<const ChineseConverter>>;
    std::lock_guard lock(cacheLock);
    auto& entry = cache[d];
    if (!entry) entry = make(d);
    return entry;
}

std::optional<std::filesystem::path> ChineseConverter::resourceDirectory() {
    static const std::optional<std::filesystem::path> dir = []() -> std::optional<std::filesystem::path> {
        if (const char* env = std::getenv("QM_DICTIONARY_DIR"); env && *env) return std::filesystem::path(env);
        std::error_code ec;
        const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (ec) return std::nullopt;
        // Installed: <prefix>/bin/app and <prefix>/share/quillmere/dictionaries. In a build tree the
        // executables sit one or two folders below the tree's share/ folder.
        auto folder = exe.parent_path();
        for (int level = 0; level < 4 && !folder.empty(); ++level) {
            const auto candidate = folder / "share" / "quillmere" / "dictionaries";
            if (std::filesystem::is_directory(candidate, ec)) return candidate;
            if (folder == folder.parent_path()) break;
            folder = folder.parent_path();
        }
        return std::nullopt;
    }();
    return dir;
}

std::optional<std::filesystem::path> ChineseConverter::dictionaryURL(
    std::string_view name, const std::optional<std::filesystem::path>& directory) {
    const std::string file = "OpenCC-" + std::string(name) + ".txt";
    if (directory) return *directory / file;
    const auto dir = resourceDirectory();
    if (!dir) return std::nullopt;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(*dir / file, ec)) return std::nullopt;
    return *dir / file;
}

// ---- Variants and candidates -----------------------------------------------------------------

bool ChineseConverter::mayHaveVariant(std::string_view text) const {
    if (variants_.empty()) return false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t cp = chinese::nextCodePoint(text, pos);
        if (cp < 0x110000 && (variantLeads_[cp / 64] >> (cp % 64) & 1)) return true;
    }
    return false;
}

std::string ChineseConverter::applyingVariants(std::string_view text) const {
    if (!mayHaveVariant(text)) return std::string(text);
    std::string out;
    out.reserve(text.size());
    const auto bounds = chinese::characterBounds(text);
    for (std::size_t k = 0; k + 1 < bounds.size(); ++k) {
        const std::string_view c = text.substr(bounds[k], bounds[k + 1] - bounds[k]);
        const std::string_view* v = variants_.find(c);
        out.append(v ? *v : c);
    }
    return out;
}

std::string_view ChineseConverter::variantView(std::string_view text, std::string& scratch) const {
    if (!mayHaveVariant(text)) return text;
    scratch = applyingVariants(text);
    return scratch;
}

std::optional<std::span<const std::string>> ChineseConverter::characterOptions(std::string_view character) const {
    const CharacterInfo* info = characterInfo_.find(character);
    if (!info || info->candidates < 0) return std::nullopt;
    return std::span<const std::string>(candidates_[static_cast<std::size_t>(info->candidates)].options);
}

// ---- Conversion ------------------------------------------------------------------------------

struct ChineseConverter::Work {
    std::string out;
    std::vector<std::uint32_t> outStarts;  // byte offset of every output character
    std::vector<Choice>* choices = nullptr;
    std::vector<SegmentRef>* segments = nullptr;
    std::vector<std::string> scratch;      // phrase outputs changed by variants
    std::vector<std::string_view> outputs;
    std::vector<std::uint32_t> resultBounds;

    void append(std::string_view piece) {
        const auto base = static_cast<std::uint32_t>(out.size());
        out.append(piece);
        chinese::appendCharacterStarts(piece, base, outStarts);
    }
    int outputLength() const { return static_cast<int>(outStarts.size()); }
};

// A new choice among `options` at the current end of the output, with its override when that names
// one of the options, else `fallback`; its result is written to the output.
void ChineseConverter::addChoice(std::string_view source, std::vector<std::string> options, bool byPhrase,
                                 std::string_view fallback, int& nextID, const Overrides& overrides, Work& w) const {
    Choice& ch = w.choices->emplace_back();
    ch.id = nextID++;
    ch.source = source;
    ch.options = std::move(options);
    ch.byPhrase = byPhrase;
    ch.contextOffset = w.outputLength();
    ch.result = fallback;
    if (!overrides.empty()) {
        const auto it = overrides.find(ch.id);
        if (it != overrides.end() && contains(ch.options, it->second)) ch.result = it->second;
    }
    w.append(ch.result);
}

// The longest phrase starting at character i (single-character keys are never used): its length
// in characters, 0 for none. The two-character start of the text must begin some phrase before
// any longer key is tried.
std::size_t ChineseConverter::longestPhrase(const CharacterStream& stream, std::size_t i, const CharacterInfo* info,
                                            std::optional<ChineseDictionary::Values>& values) const {
    const std::size_t n = stream.size();
    const std::string_view text = stream.text;
    const auto& bounds = stream.bounds;
    if (!info || info->phraseLength < 2 || n - i < 2) return 0;
    const int* prefixLength = phrasePrefixLengths_.find(text.substr(bounds[i], bounds[i + 2] - bounds[i]));
    if (!prefixLength) return 0;
    const std::size_t m = std::min<std::size_t>(static_cast<std::size_t>(*prefixLength), n - i);
    for (std::size_t len = m; len >= 2; --len)
        if ((values = phrases_.find(text.substr(bounds[i], bounds[i + len] - bounds[i])))) return len;
    return 0;
}

// A phrase of `length` characters at i: its one candidate, character by character where each
// character's own conversion is ambiguous, or a choice among its candidates.
void ChineseConverter::convertPhrase(const CharacterStream& stream, std::size_t i, std::size_t length,
                                     const ChineseDictionary::Values& values, int& nextID, const Overrides& overrides,
                                     Work& w) const {
    // The phrase's candidates through the variants, each text once.
    w.scratch.clear();
    w.scratch.reserve(values.size());
    w.outputs.clear();
    for (std::string_view v : values) {
        std::string_view o = v;
        if (mayHaveVariant(v)) o = w.scratch.emplace_back(applyingVariants(v));
        if (std::find(w.outputs.begin(), w.outputs.end(), o) == w.outputs.end()) w.outputs.push_back(o);
    }
    if (w.outputs.size() != 1) {
        const std::string_view text = stream.text;
        const std::string_view source = text.substr(stream.bounds[i], stream.bounds[i + length] - stream.bounds[i]);
        std::vector<std::string> options(w.outputs.begin(), w.outputs.end());
        const std::string first = options.front();
        addChoice(source, std::move(options), false, first, nextID, overrides, w);
        return;
    }
    const std::string_view r = w.outputs.front();
    w.resultBounds.clear();
    chinese::appendCharacterBounds(r, w.resultBounds);
    if (w.resultBounds.size() != length + 1) {
        w.append(r);
        return;
    }
    // The phrase decided each character; report those whose own conversion is ambiguous.
    for (std::size_t j = 0; j < length; ++j) {
        const std::string_view t = r.substr(w.resultBounds[j], w.resultBounds[j + 1] - w.resultBounds[j]);
        const std::string_view s = stream.character(i + j);
        std::optional<std::span<const std::string>> opts;
        if (t != s) opts = characterOptions(s);
        if (!opts || opts->size() < 2) {
            w.append(t);
            continue;
        }
        std::vector<std::string> options;
        options.reserve(opts->size() + 1);
        options.emplace_back(t);
        for (const auto& o : *opts)
            if (o != t) options.push_back(o);
        addChoice(s, std::move(options), true, t, nextID, overrides, w);
    }
}

// A character converted on its own: its one candidate, or a choice among them.
void ChineseConverter::convertCharacter(std::string_view c, const CharacterInfo* info, int& nextID,
                                        const Overrides& overrides, Work& w) const {
    const std::vector<std::string>* lone =
        info && info->candidates >= 0 ? &candidates_[static_cast<std::size_t>(info->candidates)].lone : nullptr;
    if (!lone) {
        if (mayHaveVariant(c))
            w.append(applyingVariants(c));
        else
            w.append(c);
    } else if (lone->size() == 1) {
        w.append(lone->front());
    } else {
        addChoice(c, *lone, false, lone->front(), nextID, overrides, w);
    }
}

void ChineseConverter::run(const CharacterStream& stream, int& nextID, const Overrides& overrides, Work& w) const {
    const std::size_t n = stream.size();
    const std::string_view text = stream.text;
    w.out.clear();
    w.out.reserve(text.size() + text.size() / 4);
    w.outStarts.clear();
    w.outStarts.reserve(n + 8);
    std::vector<Choice>& choices = *w.choices;
    const std::size_t firstChoice = choices.size();

    std::size_t i = 0;
    while (i < n) {
        const std::string_view c = stream.character(i);
        const auto segBegin = static_cast<std::uint32_t>(w.out.size());
        const CharacterInfo* info = characterInfo_.find(c);
        std::optional<ChineseDictionary::Values> values;
        std::size_t length = longestPhrase(stream, i, info, values);
        if (length > 0) {
            convertPhrase(stream, i, length, *values, nextID, overrides, w);
        } else {
            length = 1;
            convertCharacter(c, info, nextID, overrides, w);
        }
        if (w.segments) {
            w.segments->push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i + length), segBegin,
                                   static_cast<std::uint32_t>(w.out.size())});
        }
        i += length;
    }

    // Contexts: up to 8 output characters either side of each result, within this stream.
    const int total = w.outputLength();
    w.outStarts.push_back(static_cast<std::uint32_t>(w.out.size()));
    for (std::size_t k = firstChoice; k < choices.size(); ++k) {
        Choice& ch = choices[k];
        const int o = ch.contextOffset;
        const int start = std::max(o - kContextCharacters, 0);
        const int end =
            std::min(o + static_cast<int>(chinese::characterCount(ch.result)) + kContextCharacters, total);
        ch.context = w.out.substr(w.outStarts[static_cast<std::size_t>(start)],
                                  w.outStarts[static_cast<std::size_t>(end)] - w.outStarts[static_cast<std::size_t>(start)]);
        ch.contextOffset = o - start;
    }
}

ChineseConverter::StreamResult ChineseConverter::convertCharacters(const CharacterStream& stream, int& nextID,
                                                                   const Overrides& overrides) const {
    StreamResult result;
    std::vector<SegmentRef> refs;
    Work w;
    w.choices = &result.choices;
    w.segments = &refs;
    run(stream, nextID, overrides, w);
    result.segments.reserve(refs.size());
    for (const auto& r : refs) {
        result.segments.push_back({static_cast<int>(r.sourceBegin), static_cast<int>(r.sourceEnd),
                                   w.out.substr(r.textBegin, r.textEnd - r.textBegin)});
    }
    return result;
}

std::string ChineseConverter::convertText(std::string_view text, int& nextID, const Overrides& overrides,
                                          std::vector<Choice>* choices) const {
    std::vector<Choice> local;
    Work w;
    w.choices = choices ? choices : &local;
    run(CharacterStream(text), nextID, overrides, w);
    return std::move(w.out);
}

}  // namespace qm

std::size_t std::hash<qm::ChineseConverter::Choice>::operator()(const qm::ChineseConverter::Choice& c) const noexcept {
    std::uint64_t h = static_cast<std::uint64_t>(c.id) * 0x9E3779B97F4A7C15ull;
    auto mix = [&h](std::uint64_t v) { h = (h ^ v) * 0x100000001B3ull + (h >> 29); };
    mix(qm::chineseTextHash(c.source));
    mix(qm::chineseTextHash(c.result));
    for (const auto& o : c.options) mix(qm::chineseTextHash(o));
    mix(c.options.size());
    mix(c.byPhrase ? 1 : 2);
    mix(qm::chineseTextHash(c.context));
    mix(static_cast<std::uint64_t>(c.contextOffset));
    return static_cast<std::size_t>(h);
}
