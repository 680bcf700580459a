#pragma once
// Reading a Word document (.docx) into a DocxDocument: the archive, the style sheet, the
// relationships of the main part and the body with its tables and pictures.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <unordered_map>

#include "documents/docx_document.h"
#include "documents/zip_archive.h"

namespace qm {

// Throws std::system_error when the file cannot be read and ZipArchive::ZipError when it is not a
// readable Word document. Malformed XML or a part that fails its checksum is not an error: what was
// read before the fault is kept, and the document's `damage` says what was lost. So do pictures
// that cannot be read.
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
