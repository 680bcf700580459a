#include "documents/docx_reader.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <unordered_set>
#include <vector>

#include "documents/docx_styles.h"
#include "documents/xml_event_parser.h"

namespace qm {

namespace {

using Run = DocxDocument::Run;
using Paragraph = DocxDocument::Paragraph;

constexpr double kEmuPerPoint = 12700;
// Word's own pages stop at 22 inches; a picture or column far beyond that is a broken document,
// and the credits layout should not be asked to allocate for it.
constexpr double kLargestDisplaySize = 16384;
constexpr double kWidestTextColumn = 16384;

class RelationshipHandler : public xml::Handler {
public:
    std::unordered_map<std::string, std::string> map;

    void startElement(std::string_view name, const xml::Attributes& a) override {
        if (name != "Relationship") return;
        const char* id = a.find("Id");
        const char* target = a.find("Target");
        if (id && target) map.insert_or_assign(id, target);
    }
    void endElement(std::string_view) override {}
    void characters(std::string_view) override {}
};

// 1000000 as "1,000,000".
std::string groupedNumber(std::int64_t n) {
    const std::string digits = std::to_string(n);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

bool sameFormatting(const Run& a, const Run& b) {
    return a.fontSize == b.fontSize && a.bold == b.bold && a.italic == b.italic && a.fontName == b.fontName &&
           a.baselineShift == b.baselineShift && a.color == b.color;
}

// One open table: the row under way, the runs of its cells and the cell being read.
struct Table {
    std::optional<Paragraph> rowParagraph;
    std::vector<std::vector<Run>> cellRuns;
    int cellIndex = -1;
};

class BodyParser : public xml::Handler {
public:
    BodyParser(const StyleSheet& styles, const std::unordered_map<std::string, std::string>& relationships,
               const ZipArchive& zip, std::int64_t pixelBudget, const std::string& fileName)
        : styles_(styles), relationships_(relationships), zip_(zip), pixelsLeft_(pixelBudget), fileName_(fileName) {}

    DocxDocument document;
    // What the list ran past, when it was longer than kMaxListLines or kMaxListCharacters; the
    // parse stopped there.
    std::string tooLong;

    void startElement(std::string_view n, const xml::Attributes& a) override {
        start(n, a);
        stack_.emplace_back(n);
        if (const char scope = scopeOf(n)) propertyScopes_.push_back(scope);
    }

    void endElement(std::string_view n) override {
        if (!stack_.empty()) stack_.pop_back();
        if (scopeOf(n) && !propertyScopes_.empty()) propertyScopes_.pop_back();
        if (skipDepth_ >= 1) {
            --skipDepth_;
            return;
        }
        if (n == "w:p") countLines(1);
        if (n == "w:t") {
            appendText(text_);
            text_.clear();
        } else if (n == "w:drawing" || n == "w:pict") {
            finishPicture();
        } else if (n == "w:p") {
            finishParagraph();
        } else if (n == "w:tr" && !tables_.empty()) {
            finishRow();
        } else if (n == "w:tbl") {
            if (!tables_.empty()) tables_.pop_back();
        } else if (n == "w:body") {
            const double width = pageWidth_ - marginLeft_ - marginRight_;
            document.textWidth = std::isfinite(width) ? std::clamp(width, 72.0, kWidestTextColumn) : 72.0;
        }
    }

    void characters(std::string_view s) override {
        if (skipDepth_ == 0 && !stack_.empty() && stack_.back() == "w:t") {
            // Characters, not bytes: UTF-8 continuation bytes do not count.
            countCharacters(std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
            text_.append(s);
        }
    }

private:
    // Counted as read, so a list too long to lay out is refused before it is all held in memory.
    void countCharacters(std::int64_t n) {
        characters_ += n;
        if (characters_ > kMaxListCharacters && tooLong.empty()) {
            tooLong = "its text is longer than " + groupedNumber(kMaxListCharacters) + " characters";
            stop();
        }
    }
    void countLines(std::int64_t n) {
        lines_ += n;
        if (lines_ > kMaxListLines && tooLong.empty()) {
            tooLong = "it has more than " + groupedNumber(kMaxListLines) + " lines";
            stop();
        }
    }

    static char scopeOf(std::string_view n) { return n == "w:r" ? 'r' : n == "w:rPr" ? 'R' : n == "w:pPr" ? 'P' : 0; }

    bool isOpen(char scope) const { return std::find(propertyScopes_.begin(), propertyScopes_.end(), scope) != propertyScopes_.end(); }

    // Direct run properties are read inside a run's own "w:rPr", not inside the paragraph mark's.
    bool isInRunProperties() const { return !propertyScopes_.empty() && propertyScopes_.back() == 'R' && isOpen('r'); }

    void start(std::string_view n, const xml::Attributes& a) {
        if (skipDepth_ > 0 || n == "w:txbxContent" || (n == "w:sectPr" && !stack_.empty() && stack_.back() == "w:pPr")) {
            ++skipDepth_;
        } else if (n == "w:pgSz") {
            if (auto v = docx::number(a.find("w:w"))) pageWidth_ = *v / 20;
        } else if (n == "w:pgMar") {
            if (auto v = docx::number(a.find("w:left"))) marginLeft_ = *v / 20;
            if (auto v = docx::number(a.find("w:right"))) marginRight_ = *v / 20;
        } else if (n == "w:tbl") {
            tables_.emplace_back();
        } else if (n == "w:tr" && !tables_.empty()) {
            tables_.back() = Table();
        } else if (n == "w:tc" && !tables_.empty()) {
            ++tables_.back().cellIndex;
        } else if (n == "w:p") {
            inParagraph_ = true;
            paragraphStyle_.reset();
            directParagraph_ = ParagraphProperties();
            runs_.clear();
        } else if (n == "w:pStyle" && inParagraph_) {
            paragraphStyle_ = optionalText(a.find("w:val"));
        } else if (n == "w:r") {
            runStyle_.reset();
            directRun_ = RunProperties();
            text_.clear();
        } else if (n == "w:rStyle") {
            runStyle_ = optionalText(a.find("w:val"));
        } else if (n == "w:t" || n == "w:delText") {
            text_.clear();
        } else if (n == "w:tab" && isOpen('r')) {
            countCharacters(1);
            appendText("\t");
        } else if (n == "w:br" || n == "w:cr") {
            countLines(1);
            if (inParagraph_) runs_.push_back(makeRun(Run::LineBreak{}));
        } else if (n == "wp:extent" || n == "a:ext") {
            if (!pictureSize_) {
                const auto cx = docx::number(a.find("cx"));
                const auto cy = docx::number(a.find("cy"));
                if (cx && cy) pictureSize_ = DocxDocument::Size{displayLength(*cx), displayLength(*cy)};
            }
        } else if (n == "a:blip") {
            pictureEmbed_ = optionalText(a.find("r:embed"));
        } else if (n == "v:imagedata") {
            pictureEmbed_ = optionalText(a.find("r:id"));
        } else if (n == "a:srcRect") {
            crop_ = {cropFraction(a, "l"), cropFraction(a, "t"), cropFraction(a, "r"), cropFraction(a, "b")};
        } else if (n == "w:drawing" || n == "w:pict") {
            pictureSize_.reset();
            pictureEmbed_.reset();
            crop_ = {0, 0, 0, 0};
        } else if (isInRunProperties()) {
            docx::parseRunProperties(n, a, directRun_);
        } else if (isOpen('P') && !isOpen('r') && !isOpen('R')) {
            docx::parseParagraphProperties(n, a, directParagraph_);
        }
    }

    static std::optional<std::string> optionalText(const char* value) {
        return value ? std::optional<std::string>(value) : std::nullopt;
    }

    static double displayLength(double emu) { return std::clamp(emu / kEmuPerPoint, 0.0, kLargestDisplaySize); }

    static double cropFraction(const xml::Attributes& a, const char* name) {
        const auto v = docx::number(a.find(name));
        return v ? *v / 100000 : 0;
    }

    const StyleSheet::Style& chain(const std::string& id) {
        auto found = chains_.find(id);
        if (found == chains_.end()) found = chains_.emplace(id, styles_.resolveStyleChain(id)).first;
        return found->second;
    }

    const std::optional<std::string>& paragraphStyleID() const {
        return paragraphStyle_ ? paragraphStyle_ : styles_.defaultParagraphStyle;
    }

    RunProperties resolveRunProperties() {
        RunProperties r = styles_.defaultRun;
        if (const auto& id = paragraphStyleID()) r.overlay(chain(*id).run);
        if (runStyle_) r.overlay(chain(*runStyle_).run);
        r.overlay(directRun_);
        return r;
    }

    Run makeRun(Run::Content content) {
        const RunProperties r = resolveRunProperties();
        Run run;
        run.content = std::move(content);
        run.fontSize = r.size.value_or(10.5);
        run.bold = r.bold.value_or(false);
        run.italic = r.italic.value_or(false);
        if (r.color && *r.color) run.color = **r.color;
        run.fontName = r.font;
        run.baselineShift = r.position.value_or(0);
        return run;
    }

    void appendText(std::string_view s) {
        if (s.empty()) return;
        Run run = makeRun(Run::Text{});
        // Adjacent text of equal formatting becomes one run, also across run boundaries and tabs.
        if (!runs_.empty() && runs_.back().isText() && sameFormatting(runs_.back(), run)) {
            std::get<Run::Text>(runs_.back().content).text.append(s);
            return;
        }
        if (!inParagraph_) return;
        run.content = Run::Text{std::string(s)};
        runs_.push_back(std::move(run));
    }

    Paragraph paragraphFormatting(double referenceSize) {
        ParagraphProperties p = styles_.defaultParagraph;
        if (const auto& id = paragraphStyleID()) p.overlay(chain(*id).paragraph);
        p.overlay(directParagraph_);
        Paragraph out;
        out.alignment = p.alignment.value_or(DocxDocument::Alignment::left);
        if (p.line) {
            if (p.lineRule == "exact")
                out.lineExact = *p.line / 20;
            else if (p.lineRule == "atLeast")
                out.lineAtLeast = *p.line / 20;
            else
                out.lineMultiple = *p.line / 240;
        }
        out.spaceBefore = p.before ? *p.before : p.beforeLines ? *p.beforeLines * referenceSize * 1.3 : 0;
        out.spaceAfter = p.after ? *p.after : p.afterLines ? *p.afterLines * referenceSize * 1.3 : 0;
        out.leftIndent = p.left.value_or(0);
        out.rightIndent = p.right.value_or(0);
        out.firstLineIndent = p.firstLine ? *p.firstLine : p.hanging ? -*p.hanging : 0;
        return out;
    }

    void finishParagraph() {
        inParagraph_ = false;
        const double referenceSize = runs_.empty() ? makeRun(Run::Text{}).fontSize : runs_.front().fontSize;
        Paragraph paragraph = paragraphFormatting(referenceSize);
        if (tables_.empty()) {
            paragraph.runs = std::move(runs_);
            if (paragraph.runs.empty()) paragraph.runs.push_back(makeRun(Run::Text{}));
            document.paragraphs.push_back(std::move(paragraph));
        } else {
            addToCell(tables_.back(), std::move(paragraph), std::move(runs_));
        }
        runs_.clear();
    }

    // A paragraph of a cell, or a row of a table nested in it, joins the cell on a line of its own.
    // The row keeps the formatting of its first paragraph.
    void addToCell(Table& table, Paragraph formatting, std::vector<Run> runs) {
        if (!table.rowParagraph) table.rowParagraph = std::move(formatting);
        const std::size_t i = static_cast<std::size_t>(std::max(table.cellIndex, 0));
        auto& cells = table.cellRuns;
        if (cells.size() < i + 1) cells.resize(i + 1);
        // Taken whole where the cell is still empty, so a table nested many deep is not copied at
        // every level it passes.
        if (cells[i].empty()) {
            cells[i] = std::move(runs);
            return;
        }
        cells[i].push_back(makeRun(Run::LineBreak{}));
        cells[i].insert(cells[i].end(), std::make_move_iterator(runs.begin()), std::make_move_iterator(runs.end()));
    }

    void finishRow() {
        Table& table = tables_.back();
        if (table.rowParagraph) {
            std::vector<Run> combined;
            for (std::size_t i = 0; i < table.cellRuns.size(); ++i) {
                auto& cell = table.cellRuns[i];
                if (cell.empty()) continue;
                if (i >= 1 && !combined.empty()) {
                    Run separator = cell.front();
                    separator.content = Run::Text{DocxDocument::kCellSeparator};
                    combined.push_back(std::move(separator));
                }
                if (combined.empty())
                    combined = std::move(cell);
                else
                    combined.insert(combined.end(), std::make_move_iterator(cell.begin()), std::make_move_iterator(cell.end()));
            }
            Paragraph row = std::move(*table.rowParagraph);
            if (tables_.size() == 1) {
                row.runs = std::move(combined);
                document.paragraphs.push_back(std::move(row));
            } else {
                // Names set out in a table inside a cell belong to that cell.
                addToCell(tables_[tables_.size() - 2], std::move(row), std::move(combined));
            }
        }
        table = Table();
    }

    void finishPicture() {
        if (!pictureEmbed_ || !inParagraph_) return;
        PictureRef picture = loadDocxPicture(*pictureEmbed_);
        if (!picture) return;
        countCharacters(1);
        const DocxDocument::Size size =
            pictureSize_ ? *pictureSize_
                         : DocxDocument::Size{std::min<double>(picture->width(), kLargestDisplaySize),
                                              std::min<double>(picture->height(), kLargestDisplaySize)};
        runs_.push_back(makeRun(Run::Image{std::move(picture), size}));
    }

    // A logo left out must not go unnoticed: each picture that cannot be shown is told once,
    // with the line it stands on.
    void tellPicture(const std::string& name, const char* what) {
        if (!toldPictures_.insert(name).second) return;
        document.damage.push_back("The picture “" + name + "” on line " + std::to_string(document.paragraphs.size() + 1) +
                                  " of “" + fileName_ + "” " + what);
    }

    PictureRef loadDocxPicture(const std::string& id) {
        const auto target = relationships_.find(id);
        if (target == relationships_.end()) {
            tellPicture(id, "isn't in the file: it is left out.");
            return nullptr;
        }
        const std::string& t = target->second;
        const std::string path = !t.empty() && t[0] == '/' ? t.substr(1) : "word/" + t;

        char cropKey[160];
        std::snprintf(cropKey, sizeof cropKey, "|%.17g|%.17g|%.17g|%.17g", crop_[0], crop_[1], crop_[2], crop_[3]);
        const std::string key = path + cropKey;
        if (const auto cached = images_.find(key); cached != images_.end()) return cached->second;

        PictureRef picture;
        if (!zip_.contains(path)) {
            tellPicture(path, "isn't in the file: it is left out.");
        } else {
            try {
                const ZipArchive::Contents contents = zip_.readEntry(path);
                picture = decodePicture(contents.bytes);
                if (!picture)
                    tellPicture(path, "can't be read: it is left out.");
                else if (!contents.checksumMatches)
                    tellPicture(path, "is damaged: it may not look as it should.");
            } catch (const ZipArchive::ZipError&) {
                tellPicture(path, "can't be read: it is left out.");
            }
        }
        if (picture && crop_[0] + crop_[1] + crop_[2] + crop_[3] > 0) picture = crop(picture);
        // Many small files can each unpack to a huge bitmap; the document as a whole has a budget.
        if (picture) {
            const std::int64_t pixels = static_cast<std::int64_t>(picture->width()) * picture->height();
            if (pixels > pixelsLeft_) {
                picture = nullptr;
                tellPicture(path, "is too large to hold with the other pictures: it is left out.");
            } else {
                pixelsLeft_ -= pixels;
            }
        }
        images_.emplace(key, picture);
        return picture;
    }

    PictureRef crop(const PictureRef& picture) const {
        const auto [l, t, r, b] = crop_;
        const double w = picture->width();
        const double h = picture->height();
        const double x = l * w;
        const double y = t * h;
        const double cw = std::max(1 - l - r, 0.01) * w;
        const double ch = std::max(1 - t - b, 0.01) * h;
        // The smallest whole-pixel rectangle holding the cut; far-out values are pinned so that the
        // conversions below stay defined (the picture clips them anyway).
        auto whole = [](double v) { return static_cast<std::int64_t>(std::clamp(v, -1e12, 1e12)); };
        const std::int64_t x0 = whole(std::floor(x));
        const std::int64_t y0 = whole(std::floor(y));
        const std::int64_t x1 = whole(std::ceil(x + cw));
        const std::int64_t y1 = whole(std::ceil(y + ch));
        PictureRef cut = cropPicture(picture, x0, y0, x1 - x0, y1 - y0);
        return cut ? cut : picture;
    }

    const StyleSheet& styles_;
    const std::unordered_map<std::string, std::string>& relationships_;
    const ZipArchive& zip_;
    std::int64_t pixelsLeft_;
    const std::string& fileName_;
    std::unordered_map<std::string, PictureRef> images_;
    std::unordered_set<std::string> toldPictures_;
    std::unordered_map<std::string, StyleSheet::Style> chains_;

    std::vector<std::string> stack_;
    std::vector<char> propertyScopes_;  // open "w:r" ('r'), "w:rPr" ('R') and "w:pPr" ('P'), innermost last
    int skipDepth_ = 0;
    bool inParagraph_ = false;
    std::optional<std::string> paragraphStyle_;
    ParagraphProperties directParagraph_;
    std::vector<Run> runs_;
    std::optional<std::string> runStyle_;
    RunProperties directRun_;
    std::string text_;
    std::optional<DocxDocument::Size> pictureSize_;
    std::optional<std::string> pictureEmbed_;
    std::array<double, 4> crop_{0, 0, 0, 0};
    // The open tables, innermost last.
    std::vector<Table> tables_;
    double pageWidth_ = 595;
    double marginLeft_ = 72;
    double marginRight_ = 72;
    std::int64_t characters_ = 0;
    std::int64_t lines_ = 0;
};

std::string megabytes(std::int64_t bytes) { return std::to_string(bytes / (1024 * 1024)) + " MB"; }

// The part's bytes, refused by its recorded size when that is over `limit`; the reader never
// inflates beyond the recorded size.
ZipArchive::Contents readPart(const ZipArchive& archive, const std::string& name, std::int64_t limit,
                              const std::string& fileName) {
    const ZipArchive::Entry& entry = archive.entries().at(name);
    const std::int64_t size = entry.method == 0 ? entry.compressedSize : entry.size;
    if (size > limit) throw DocxTooLargeError(fileName, name + " unpacks to more than " + megabytes(limit));
    return archive.readEntry(name);
}

}  // namespace

std::unordered_map<std::string, std::string> RelationshipReader::parse(std::span<const std::uint8_t> xml, bool* refused) {
    RelationshipHandler handler;
    const auto result = xml::parse(xml, handler);
    if (refused) *refused = result == xml::ParseResult::refused;
    return std::move(handler.map);
}

DocxTooLargeError::DocxTooLargeError(const std::string& fileName, std::string reason)
    : std::runtime_error((fileName.empty() ? std::string("The document") : "“" + fileName + "”") +
                         " is too large for a credits list: " + reason + "."),
      reason_(std::move(reason)) {}

DocxDocument loadDocx(const std::filesystem::path& file) {
    return loadDocx(ZipArchive(file), kDocxPicturePixelBudget, file.filename().string());
}

DocxDocument loadDocx(const ZipArchive& archive, std::int64_t picturePixelBudget, const std::string& fileName) {
    static const std::string kBody = "word/document.xml";
    static const std::string kStyles = "word/styles.xml";
    static const std::string kRelationships = "word/_rels/document.xml.rels";
    if (!archive.contains(kBody)) throw ZipArchive::ZipError::notAZip();

    // A part that declares a document type is treated as damaged: Word never writes one. A part
    // that is otherwise damaged is read as far as it goes, and the loss is told.
    std::vector<std::string> damage;
    StyleSheet styles;
    if (archive.contains(kStyles)) {
        bool refused = false, whole = false;
        const ZipArchive::Contents part = readPart(archive, kStyles, kMaxSidePartSize, fileName);
        styles = StyleSheet::read(part.bytes, &refused, &whole);
        if (refused) throw ZipArchive::ZipError::corrupt(kStyles);
        if (!part.checksumMatches || !whole)
            damage.push_back("The styles in “" + fileName + "” are damaged (" + kStyles +
                             "): some lines may not look as they do in Word.");
    }
    std::unordered_map<std::string, std::string> relationships;
    if (archive.contains(kRelationships)) {
        const ZipArchive::Contents part = readPart(archive, kRelationships, kMaxSidePartSize, fileName);
        RelationshipHandler handler;
        const xml::ParseResult result = xml::parse(part.bytes, handler);
        if (result == xml::ParseResult::refused) throw ZipArchive::ZipError::corrupt(kRelationships);
        if (!part.checksumMatches || result != xml::ParseResult::complete)
            damage.push_back("The links to the pictures in “" + fileName + "” are damaged (" + kRelationships +
                             "): some pictures may be missing.");
        relationships = std::move(handler.map);
    }
    BodyParser parser(styles, relationships, archive, picturePixelBudget, fileName);
    const ZipArchive::Contents body = readPart(archive, kBody, kMaxBodyPartSize, fileName);
    const xml::ParseResult result = xml::parse(body.bytes, parser);
    if (result == xml::ParseResult::refused) throw ZipArchive::ZipError::corrupt(kBody);
    if (!parser.tooLong.empty()) throw DocxTooLargeError(fileName, parser.tooLong);
    DocxDocument document = std::move(parser.document);
    const std::size_t lines = document.paragraphs.size();
    if (result != xml::ParseResult::complete && lines == 0)
        damage.push_back("The list in “" + fileName + "” is damaged before its first line (" + kBody +
                         "): nothing of it can be read.");
    else if (result != xml::ParseResult::complete)
        damage.push_back("The list in “" + fileName + "” is damaged after line " + std::to_string(lines) + " (" + kBody +
                         "): it is read up to there.");
    else if (!body.checksumMatches)
        damage.push_back("The list in “" + fileName + "” is damaged (" + kBody +
                         " fails its checksum): some of its lines may be wrong.");
    // The parts' damage first, then the pictures', which the body parser told in list order.
    damage.insert(damage.end(), std::make_move_iterator(document.damage.begin()),
                  std::make_move_iterator(document.damage.end()));
    document.damage = std::move(damage);
    return document;
}

}  // namespace qm
