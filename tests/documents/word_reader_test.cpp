// The Word reader over hand-written parts: the cases python-docx cannot write (text boxes, tracked
// changes, section breaks, cut-off XML, hostile XML and pictures), the style rules at their edges,
// and the removal of leading lines.

#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <QTemporaryDir>

#include <fstream>

#include "documents/docx_reader.h"
#include "zip_test_archive.h"

namespace qm {
namespace {

using DocRun = DocxDocument::Run;
using test::TestEntry;

struct Parts {
    Parts(std::string b = {}, std::optional<std::string> s = {}) : body(std::move(b)), styles(std::move(s)) {}
    std::string body;                     // inside <w:body>
    std::optional<std::string> styles;    // inside <w:styles>
    std::optional<std::string> rels;      // inside <Relationships>
    std::vector<TestEntry> extra;
    std::string rawDocument;              // replaces the whole document part when set
};

Parts raw(std::string document) {
    Parts p;
    p.rawDocument = std::move(document);
    return p;
}

std::string png(int width, int height, QRgb colour = qRgb(200, 30, 30)) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

ZipArchive archiveOf(const Parts& parts) {
    test::TestArchive a;
    a.entries.emplace_back("word/document.xml",
                           parts.rawDocument.empty() ? "<?xml version=\"1.0\"?><w:document><w:body>" + parts.body +
                                                           "</w:body></w:document>"
                                                     : parts.rawDocument);
    if (parts.styles) a.entries.emplace_back("word/styles.xml", "<w:styles>" + *parts.styles + "</w:styles>");
    if (parts.rels)
        a.entries.emplace_back("word/_rels/document.xml.rels", "<Relationships>" + *parts.rels + "</Relationships>");
    for (const auto& e : parts.extra) a.entries.push_back(e);
    return ZipArchive(test::bytesOf(test::buildZip(a)));
}

DocxDocument load(const Parts& parts) { return loadDocx(archiveOf(parts)); }

std::string textOf(const DocxDocument::Paragraph& p) {
    std::string s;
    for (const auto& run : p.runs) {
        if (const std::string* t = run.text()) s += *t;
        if (std::holds_alternative<DocRun::LineBreak>(run.content)) s += "|";
        if (std::holds_alternative<DocRun::Image>(run.content)) s += "[img]";
    }
    return s;
}

std::vector<std::string> textsOf(const DocxDocument& d) {
    std::vector<std::string> out;
    for (const auto& p : d.paragraphs) out.push_back(textOf(p));
    return out;
}

std::string para(const std::string& inside) { return "<w:p>" + inside + "</w:p>"; }
std::string run(const std::string& text, const std::string& rPr = "") {
    return "<w:r>" + (rPr.empty() ? "" : "<w:rPr>" + rPr + "</w:rPr>") + "<w:t>" + text + "</w:t></w:r>";
}

template <typename F>
std::string damageOf(F&& f) {
    try {
        f();
    } catch (const ZipArchive::ZipError& e) {
        return e.what();
    }
    return "no error";
}

TEST(WordReader, PackageParts) {
    test::TestArchive noBody;
    noBody.entries.emplace_back("word/styles.xml", "<w:styles/>");
    EXPECT_EQ(damageOf([&] { loadDocx(ZipArchive(test::bytesOf(test::buildZip(noBody)))); }),
              "The file isn't a valid Word document.");

    // No styles part: plain 10.5 pt runs and the A4 column.
    const DocxDocument d = load(Parts(para(run("x"))));
    ASSERT_EQ(d.paragraphs.size(), 1u);
    const DocRun& r = d.paragraphs[0].runs.at(0);
    EXPECT_EQ(r.fontSize, 10.5);
    EXPECT_FALSE(r.bold || r.italic || r.color || r.fontName);
    EXPECT_EQ(d.textWidth, 451);

    // An empty or non-XML body is an empty document.
    EXPECT_TRUE(load(raw("not xml at all")).paragraphs.empty());
}

TEST(WordReader, CutOffBodyKeepsCompletedParagraphs) {
    Parts parts;
    parts.rawDocument = "<w:document><w:body>" + para(run("one")) + para(run("two")) + "<w:p><w:r><w:t>thr";
    const DocxDocument d = load(parts);
    EXPECT_EQ(textsOf(d), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(d.textWidth, 451);
}

TEST(WordReader, DamagedPartsAreReadUpToTheFaultAndTold) {
    const std::string cutAfterTwo =
        "The list in “Cast.docx” is damaged after line 2 (word/document.xml): it is read up to there.";
    // Cut mid-tag, bad UTF-8, a NUL byte: the same loss, told the same way.
    for (const std::string& fault : {std::string("<w:p><w:r"), std::string("<w:p><w:r><w:t>\xC3\x28</w:t>"),
                                    std::string("<w:p><w:r><w:t>a\0b</w:t>", 24)}) {
        const DocxDocument d = loadDocx(archiveOf(raw("<w:document><w:body>" + para(run("one")) + para(run("two")) +
                                                      fault + "</w:r></w:p></w:body></w:document>")),
                                        kDocxPicturePixelBudget, "Cast.docx");
        EXPECT_EQ(textsOf(d), (std::vector<std::string>{"one", "two"}));
        EXPECT_EQ(d.damage, std::vector<std::string>{cutAfterTwo});
    }
    EXPECT_EQ(load(raw("not xml at all")).damage,
              std::vector<std::string>{"The list in “the document” is damaged before its first line (word/document.xml): "
                                       "nothing of it can be read."});
    EXPECT_TRUE(load(Parts(para(run("whole")))).damage.empty());

    // Stored parts with a byte flipped: the XML still reads, the checksum tells.
    test::TestArchive a;
    a.entries = {TestEntry("word/document.xml", "<w:document><w:body>" + para(run("Wang")) + "</w:body></w:document>", 0),
                 TestEntry("word/styles.xml", "<w:styles><w:style w:styleId=\"A\"/></w:styles>", 0)};
    std::string bytes = test::buildZip(a);
    bytes[bytes.find("Wang")] = 'X';
    bytes[bytes.find("styleId")] = 'X';
    const DocxDocument d = loadDocx(ZipArchive(test::bytesOf(bytes)));
    EXPECT_EQ(textsOf(d), std::vector<std::string>{"Xang"});
    EXPECT_EQ(d.damage, (std::vector<std::string>{
                            "The styles in “the document” are damaged (word/styles.xml): some lines may not look as they "
                            "do in Word.",
                            "The list in “the document” is damaged (word/document.xml fails its checksum): some of its "
                            "lines may be wrong."}));
}

TEST(WordReader, PageGeometry) {
    EXPECT_EQ(load(Parts("<w:sectPr><w:pgSz w:w=\"2000\"/><w:pgMar w:left=\"1440\" w:right=\"1440\"/></w:sectPr>")).textWidth, 72);
    // A section break inside a paragraph's properties does not count.
    const std::string breakSect =
        para("<w:pPr><w:sectPr><w:pgSz w:w=\"4000\"/><w:pgMar w:left=\"0\" w:right=\"0\"/></w:sectPr></w:pPr>" + run("a"));
    EXPECT_NEAR(load(Parts(breakSect + "<w:sectPr><w:pgSz w:w=\"11906\"/></w:sectPr>")).textWidth, 451.3, 1e-9);
    // Absurd page sizes stay within a sane column.
    EXPECT_LE(load(Parts("<w:sectPr><w:pgSz w:w=\"1e300\"/></w:sectPr>")).textWidth, 16384);
}

TEST(WordReader, SkippedAndRevisedContent) {
    const std::string textBox =
        para(run("anchor") + "<w:r><w:pict><v:shape><v:textbox><w:txbxContent>" + para(run("boxed")) +
             "</w:txbxContent></v:textbox></v:shape></w:pict></w:r>");
    const std::string revisions = para("<w:del><w:r><w:delText>gone</w:delText></w:r></w:del><w:ins>" +
                                       run("added") + "</w:ins>");
    const std::string field = para("<w:r><w:instrText>PAGE</w:instrText></w:r>" + run("result"));
    EXPECT_EQ(textsOf(load(Parts(textBox + revisions + field))), (std::vector<std::string>{"anchor", "added", "result"}));
}

TEST(WordReader, TabsAndBreaks) {
    const DocxDocument d = load(Parts(para("<w:r><w:t>a</w:t><w:tab/><w:t>b</w:t><w:cr/></w:r>")));
    const auto& runs = d.paragraphs.at(0).runs;
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(*runs[0].text(), "a\tb");
    EXPECT_TRUE(std::holds_alternative<DocRun::LineBreak>(runs[1].content));
    // A break outside any paragraph is dropped.
    EXPECT_TRUE(load(Parts("<w:r><w:br/></w:r>")).paragraphs.empty());
}

TEST(WordReader, StyleRules) {
    const std::string styles =
        "<w:docDefaults><w:rPrDefault><w:rPr><w:sz w:val=\"24\"/></w:rPr></w:rPrDefault></w:docDefaults>"
        "<w:style w:type=\"paragraph\" w:default=\"on\" w:styleId=\"NotDefault\"><w:rPr><w:i/></w:rPr></w:style>"
        "<w:style w:type=\"paragraph\" w:default=\"true\" w:styleId=\"Body\"><w:rPr><w:color w:val=\"FF0000\"/></w:rPr></w:style>"
        "<w:style w:type=\"paragraph\" w:styleId=\"A\"><w:basedOn w:val=\"B\"/><w:rPr><w:sz w:val=\"40\"/></w:rPr></w:style>"
        "<w:style w:type=\"paragraph\" w:styleId=\"B\"><w:basedOn w:val=\"A\"/><w:rPr><w:sz w:val=\"20\"/><w:b/></w:rPr></w:style>"
        "<w:style w:type=\"paragraph\" w:styleId=\"Lines\"><w:pPr><w:spacing w:beforeLines=\"100\"/></w:pPr></w:style>"
        "<w:style w:type=\"paragraph\" w:styleId=\"First\"><w:pPr><w:ind w:firstLine=\"720\"/></w:pPr></w:style>";
    auto withStyle = [](const std::string& id, const std::string& runs, const std::string& pPr = "") {
        return para("<w:pPr><w:pStyle w:val=\"" + id + "\"/>" + pPr + "</w:pPr>" + runs);
    };
    const DocxDocument d = load(Parts(
        para(run("default")) +                                              // 0: Body by default
             para(run("auto", "<w:color w:val=\"auto\"/>")) +                // 1
             para(run("short", "<w:color w:val=\"F00\"/>")) +                // 2
             para(run("lower", "<w:color w:val=\"00ff00\"/>")) +             // 3
             withStyle("A", run("a")) + withStyle("B", run("b")) +           // 4, 5: a cycle
             withStyle("Missing", run("m")) +                                // 6
             withStyle("Lines", run("l")) +                                  // 7
             withStyle("Lines", run("l"), "<w:spacing w:before=\"0\"/>") +   // 8
             para("<w:pPr><w:ind w:firstLine=\"720\" w:hanging=\"360\"/></w:pPr>" + run("h")) +  // 9
             para("<w:pPr><w:ind w:left=\" 5\" w:start=\"100\" w:right=\"inf\"/></w:pPr>" + run("n")) +  // 10
             withStyle("First", run("f"), "<w:ind w:hanging=\"360\"/>"),  // 11
         styles));
    const auto& p = d.paragraphs;
    ASSERT_EQ(p.size(), 12u);
    EXPECT_EQ(p[0].runs[0].fontSize, 12);  // document defaults
    EXPECT_FALSE(p[0].runs[0].italic);     // "on" does not make a default style
    EXPECT_EQ(p[0].runs[0].color, (DocxDocument::Color{1, 0, 0}));
    EXPECT_FALSE(p[1].runs[0].color);
    EXPECT_EQ(p[2].runs[0].color, (DocxDocument::Color{1, 0, 0}));
    EXPECT_EQ(p[3].runs[0].color, (DocxDocument::Color{0, 1, 0}));
    // A and B based on each other: both apply, the named one last.
    EXPECT_EQ(p[4].runs[0].fontSize, 20);
    EXPECT_TRUE(p[4].runs[0].bold);
    EXPECT_EQ(p[5].runs[0].fontSize, 10);
    // A missing style gives no layer, and the default style does not step in.
    EXPECT_FALSE(p[6].runs[0].color);
    EXPECT_NEAR(p[7].spaceBefore, 12 * 1.3, 1e-9);
    EXPECT_EQ(p[8].spaceBefore, 0);
    EXPECT_EQ(p[9].firstLineIndent, -18);
    // Surrounding white space and infinities are no numbers; an unreadable left does not let start in.
    EXPECT_EQ(p[10].leftIndent, 0);
    EXPECT_EQ(p[10].rightIndent, 0);
    // A hanging indent laid over a style's first-line indent replaces it.
    EXPECT_EQ(p[11].firstLineIndent, -18);
}

TEST(WordReader, RunStateCarriesIntoEmptyParagraph) {
    const DocxDocument d = load(Parts(para(run("big", "<w:sz w:val=\"48\"/>")) + para("")));
    ASSERT_EQ(d.paragraphs.size(), 2u);
    ASSERT_EQ(d.paragraphs[1].runs.size(), 1u);
    EXPECT_EQ(d.paragraphs[1].runs[0].fontSize, 24);
    // A tracked formatting change stands last and its earlier properties win.
    const DocxDocument changed =
        load(Parts(para("<w:r><w:rPr><w:b w:val=\"0\"/><w:rPrChange><w:rPr><w:b/></w:rPr></w:rPrChange></w:rPr><w:t>x</w:t></w:r>")));
    EXPECT_TRUE(changed.paragraphs.at(0).runs.at(0).bold);
}

TEST(WordReader, Pictures) {
    const std::string rels =
        "<Relationship Id=\"rIdPng\" Target=\"media/a.png\"/>"
        "<Relationship Id=\"rIdRoot\" Target=\"/word/media/a.png\"/>"
        "<Relationship Id=\"rIdUp\" Target=\"../word/media/a.png\"/>"
        "<Relationship Id=\"rIdJunk\" Target=\"media/junk.png\"/>"
        "<Relationship Id=\"rIdHuge\" Target=\"media/huge.png\"/>";
    auto drawing = [](const std::string& id, const std::string& extent = "", const std::string& crop = "") {
        return "<w:r><w:drawing><wp:inline>" + extent + "<a:graphic><pic:blipFill><a:blip r:embed=\"" + id +
               "\"/>" + crop + "</pic:blipFill></a:graphic></wp:inline></w:drawing></w:r>";
    };
    const std::string vml = "<w:r><w:pict><v:shape><v:imagedata r:id=\"rIdRoot\"/></v:shape></w:pict></w:r>";
    const std::string loose = "<w:r><w:object><v:imagedata r:id=\"rIdPng\"/></w:object></w:r>";
    Parts parts(para(drawing("rIdPng", "<wp:extent cx=\"1270000\" cy=\"635000\"/><a:ext cx=\"1\" cy=\"1\"/>")) +  // 0
                    para(vml) +                                                          // 1
                    para(loose + drawing("rIdUp") + drawing("rIdJunk") + drawing("rIdMissing") +
                         drawing("rIdHuge")) +                                           // 2
                    para(drawing("rIdPng", "<wp:extent cx=\"1e30\" cy=\"-5\"/>")));  // 3
    parts.rels = rels;
    parts.extra = {TestEntry("word/media/a.png", png(40, 20), 0), TestEntry("word/media/junk.png", "not a picture", 0),
                   TestEntry("word/media/huge.png", png(Picture::kMaxSide + 1, 1), 8)};
    const DocxDocument d = load(parts);
    ASSERT_EQ(d.paragraphs.size(), 4u);
    EXPECT_EQ(textOf(d.paragraphs[0]), "[img]");
    const auto& sized = std::get<DocRun::Image>(d.paragraphs[0].runs[0].content);
    EXPECT_EQ(sized.size, (DocxDocument::Size{100, 50}));
    // A picture given only by VML shows at its pixel size; a root-relative target resolves.
    const auto& vmlImage = std::get<DocRun::Image>(d.paragraphs[1].runs.at(0).content);
    EXPECT_EQ(vmlImage.size, (DocxDocument::Size{40, 20}));
    // Outside a drawing, climbing out of the folder, undecodable, unknown, beyond the pixel cap:
    // no picture, and no error, but each picture that a drawing shows and cannot be shown is told.
    EXPECT_EQ(textOf(d.paragraphs[2]), "");
    const std::string line3 = " on line 3 of “the document” ";
    EXPECT_EQ(d.damage, (std::vector<std::string>{
                            "The picture “word/../word/media/a.png”" + line3 + "isn't in the file: it is left out.",
                            "The picture “word/media/junk.png”" + line3 + "can't be read: it is left out.",
                            "The picture “rIdMissing”" + line3 + "isn't in the file: it is left out.",
                            "The picture “word/media/huge.png”" + line3 + "can't be read: it is left out."}));
    // Absurd extents are clamped to a sane display size.
    const auto& clamped = std::get<DocRun::Image>(d.paragraphs[3].runs.at(0).content);
    EXPECT_EQ(clamped.size, (DocxDocument::Size{16384, 0}));
    // The same picture without a crop is shared.
    EXPECT_EQ(clamped.picture, sized.picture);

    // With room for one 40 x 20 picture only, a second distinct one (a crop) is left out, while
    // the first may be shown again.
    Parts budget(para(drawing("rIdPng") + drawing("rIdPng", "", "<a:srcRect l=\"50000\"/>") + drawing("rIdPng")));
    budget.rels = rels;
    budget.extra = {TestEntry("word/media/a.png", png(40, 20), 0)};
    const DocxDocument over = loadDocx(archiveOf(budget), 40 * 20);
    EXPECT_EQ(textOf(over.paragraphs.at(0)), "[img][img]");
    EXPECT_EQ(over.damage, std::vector<std::string>{"The picture “word/media/a.png” on line 1 of “the document” is too "
                                                    "large to hold with the other pictures: it is left out."});
    EXPECT_EQ(textOf(loadDocx(archiveOf(budget), 40 * 20 + 20 * 20).paragraphs.at(0)), "[img][img][img]");
}

TEST(WordReader, DocumentTypesAreRefused) {
    const std::string laughs =
        "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
        "<w:document><w:body><w:p><w:r><w:t>&b;</w:t></w:r></w:p></w:body></w:document>";
    EXPECT_EQ(damageOf([&] { load(raw(laughs)); }), "The document is damaged (word/document.xml).");
    const std::string external = "<?xml version=\"1.0\"?><!DOCTYPE d SYSTEM \"file:///etc/passwd\"><w:document/>";
    EXPECT_EQ(damageOf([&] { load(raw(external)); }), "The document is damaged (word/document.xml).");

    test::TestArchive a;
    a.entries.emplace_back("word/document.xml", "<w:document/>");
    a.entries.emplace_back("word/styles.xml", "<!DOCTYPE s []><w:styles/>");
    EXPECT_EQ(damageOf([&] { loadDocx(ZipArchive(test::bytesOf(test::buildZip(a)))); }),
              "The document is damaged (word/styles.xml).");
    a.entries[1] = TestEntry("word/_rels/document.xml.rels", "<!DOCTYPE r []><Relationships/>");
    EXPECT_EQ(damageOf([&] { loadDocx(ZipArchive(test::bytesOf(test::buildZip(a)))); }),
              "The document is damaged (word/_rels/document.xml.rels).");
    // An undeclared entity is simply malformed: what came before it stands.
    EXPECT_EQ(textsOf(load(Parts(para(run("kept")) + para(run("&nope;"))))), (std::vector<std::string>{"kept"}));
}

TEST(WordReader, DeepNestingStopsTheParse) {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<x>";
    const DocxDocument d = load(Parts(para(run("before")) + deep));
    EXPECT_EQ(textsOf(d), (std::vector<std::string>{"before"}));
}

template <typename F>
std::string tooLargeOf(F&& f) {
    try {
        f();
    } catch (const DocxTooLargeError& e) {
        return e.what();
    }
    return "no error";
}

TEST(WordReader, ListsLargerThanACreditsListAreRefused) {
    // Characters, not bytes: a Chinese character is three bytes and counts once.
    std::string chinese;
    for (int i = 0; i < 2'000'000; ++i) chinese += "王";
    EXPECT_EQ(load(Parts(para(run(chinese)))).paragraphs.size(), 1u);
    EXPECT_EQ(tooLargeOf([&] { load(Parts(para(run(std::string(1'000'000, 'x'))) + para(run(std::string(1'000'001, 'y'))))); }),
              "“the document” is too large for a credits list: its text is longer than 2,000,000 characters.");
    // Lines are paragraphs and line breaks.
    std::string lines;
    for (int i = 0; i < 200'000; ++i) lines += "<w:p/>";
    EXPECT_EQ(load(Parts(lines)).paragraphs.size(), 200'000u);
    EXPECT_EQ(tooLargeOf([&] { load(Parts(lines + para("<w:r><w:br/></w:r>"))); }),
              "“the document” is too large for a credits list: it has more than 200,000 lines.");

    // Markup that carries no text still has a ceiling, read from the part's recorded size.
    std::string markup;
    while (markup.size() <= static_cast<std::size_t>(kMaxBodyPartSize)) markup += "<w:proofErr w:type=\"spellStart\"/>";
    const Parts huge(para(run("a") + markup));
    EXPECT_EQ(tooLargeOf([&] { load(huge); }),
              "“the document” is too large for a credits list: word/document.xml unpacks to more than 32 MB.");

    // Read from a file, the text names it.
    QTemporaryDir dir;
    const std::filesystem::path file = std::filesystem::path(dir.path().toStdString()) / "Big list.docx";
    test::TestArchive a;
    a.entries.emplace_back("word/document.xml", "<w:document><w:body>" + para(run("a") + markup) + "</w:body></w:document>");
    std::ofstream(file, std::ios::binary) << test::buildZip(a);
    EXPECT_EQ(tooLargeOf([&] { loadDocx(file); }),
              "“Big list.docx” is too large for a credits list: word/document.xml unpacks to more than 32 MB.");
}

DocRun runOf(DocRun::Content content) {
    DocRun r;
    r.content = std::move(content);
    return r;
}

TEST(DocxDocument, RemoveLeadingLines) {
    auto doc = [](std::vector<std::string> texts) {
        DocxDocument d;
        for (auto& t : texts) {
            DocxDocument::Paragraph p;
            p.runs.push_back(runOf(DocRun::Text{t}));
            d.paragraphs.push_back(p);
        }
        return d;
    };
    const std::vector<std::string> lines{"", "one", " \t\u3000", "two", "", "three", "four"};
    DocxDocument d = doc(lines);
    EXPECT_EQ(d.removeLeadingLines(0), 0);
    EXPECT_EQ(d.paragraphs.size(), 7u);
    EXPECT_EQ(d.removeLeadingLines(2), 5);
    EXPECT_EQ(textsOf(d), (std::vector<std::string>{"three", "four"}));
    d = doc(lines);
    EXPECT_EQ(d.removeLeadingLines(4), 7);
    EXPECT_TRUE(d.paragraphs.empty());

    // A picture is a line; line breaks and an empty paragraph are not.
    d = doc({"x"});
    d.paragraphs.insert(d.paragraphs.begin(), DocxDocument::Paragraph{});
    d.paragraphs[0].runs.push_back(runOf(DocRun::LineBreak{}));
    DocxDocument::Paragraph picture;
    picture.runs.push_back(runOf(DocRun::Image{nullptr, {1, 1}}));
    d.paragraphs.insert(d.paragraphs.begin() + 1, picture);
    EXPECT_EQ(d.removeLeadingLines(1), 2);
    EXPECT_EQ(textsOf(d), (std::vector<std::string>{"x"}));
}

}  // namespace
}  // namespace qm
