#pragma once
// Reading a Word document (.docx) into a DocxDocument: the archive, the style sheet, the
// relationships of the main part and the body with its tables and pictures.

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "documents/docx_document.h"
#include "documents/zip_archive.h"

namespace qm {

// A credits list holds at most this many lines (paragraphs, table cells' paragraphs and line
// breaks) and characters (tabs and pictures counting as one): twenty times the credits of the
// longest film, and still laid out in seconds.
constexpr std::int64_t kMaxListLines = 200'000;
constexpr std::int64_t kMaxListCharacters = 2'000'000;
// The body part may unpack to at most this many bytes, the styles and relationships to the other.
// Word spends one to three hundred bytes of markup on a line of a list, so this holds a hundred
// thousand lines and more; the parts are refused from their recorded sizes, before anything is
// inflated.
constexpr std::int64_t kMaxBodyPartSize = 32LL * 1024 * 1024;
constexpr std::int64_t kMaxSidePartSize = 4LL * 1024 * 1024;

// A document larger than a credits list can be, refused before it costs the memory.
class DocxTooLargeError : public std::runtime_error {
public:
    // `fileName` empty: the text says "The document".
    DocxTooLargeError(const std::string& fileName, std::string reason);
    const std::string& reason() const { return reason_; }

private:
    std::string reason_;
};

// Throws std::system_error when the file cannot be read, ZipArchive::ZipError when it is not a
// readable Word document and DocxTooLargeError, naming the file, when it is larger than a credits
// list can be. Malformed XML or a part that fails its checksum is not an error: what was read before
// the fault is kept, and the document's `damage` says what was lost. So do pictures that cannot be
// read.
DocxDocument loadDocx(const std::filesystem::path& file);

// Decoded pictures of one document together hold at most this many pixels (1 GiB at 32 bits a
// pixel); pictures beyond the budget are left out like unreadable ones.
constexpr std::int64_t kDocxPicturePixelBudget = 256LL * 1024 * 1024;

// `fileName` names the file in the texts of `damage`.
DocxDocument loadDocx(const ZipArchive& archive, std::int64_t picturePixelBudget = kDocxPicturePixelBudget,
                      const std::string& fileName = "the document");

struct RelationshipReader {
    // Relationship id → target, from "word/_rels/document.xml.rels". `refused` (may be null) is set
    // when the part declares a document type.
    static std::unordered_map<std::string, std::string> parse(std::span<const std::uint8_t> xml,
                                                              bool* refused = nullptr);
};

}  // namespace qm
