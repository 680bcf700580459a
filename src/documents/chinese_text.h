#pragma once
// UTF-8 helpers for the Chinese converter. The converter counts and matches user-perceived
// characters (extended grapheme clusters), never bytes or UTF-16 units: the dictionaries hold
// many characters outside the Basic Multilingual Plane.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm::chinese {

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// The text with every ill-formed sequence replaced by U+FFFD (valid text comes back unchanged).
std::string toValidUtf8(std::string_view bytes);

// Decodes the code point starting at bytes[pos] and advances pos past it. The text must be valid UTF-8.
char32_t nextCodePoint(std::string_view bytes, std::size_t& pos);

// Appends the UTF-8 form of a code point.
void appendCodePoint(std::string& out, char32_t cp);

// Byte offsets of the character (grapheme cluster) boundaries of valid UTF-8 text, appended to
// `bounds`: the first appended value is 0 when the text is not empty, and the text's length is
// appended last. An empty text appends nothing. Callers that want the boundary list of the text
// on its own start with an empty vector and then append 0 if it stays empty.
void appendCharacterBounds(std::string_view text, std::vector<std::uint32_t>& bounds);

// Appends base + the byte offset at which each character of `text` starts.
void appendCharacterStarts(std::string_view text, std::uint32_t base, std::vector<std::uint32_t>& starts);

// The boundary list of a text: 0, the end of each character. Always at least one element.
std::vector<std::uint32_t> characterBounds(std::string_view text);

// Number of characters (grapheme clusters) of valid UTF-8 text.
std::size_t characterCount(std::string_view text);

// True when the text is exactly one character.
bool isSingleCharacter(std::string_view text);

// The first character of a non-empty text (empty for an empty text).
std::string_view firstCharacter(std::string_view text);

}  // namespace qm::chinese
