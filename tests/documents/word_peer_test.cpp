// Word documents written by python-docx read back with the texts, formatting, tables and pictures
// that python-docx put in. The script below makes the document and, reading it back through
// python-docx, writes down the text every paragraph and table row must show.

#include <gtest/gtest.h>

#include <QImage>

#include <cmath>

#include "documents/docx_reader.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using Run = DocxDocument::Run;

constexpr const char* kScript = R"PY(
import json, sys
from docx import Document
from docx.enum.style import WD_STYLE_TYPE
from docx.enum.text import WD_ALIGN_PARAGRAPH, WD_BREAK, WD_LINE_SPACING
from docx.oxml import OxmlElement
from docx.oxml.ns import qn
from docx.shared import Inches, Pt, RGBColor
from docx.text.paragraph import Paragraph

out, png, expected, jpeg = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
doc = Document()
styles = doc.styles
a = styles.add_style('CreditA', WD_STYLE_TYPE.PARAGRAPH)
a.base_style = styles['Normal']
a.font.size = Pt(14)
a.font.bold = True
a.paragraph_format.alignment = WD_ALIGN_PARAGRAPH.CENTER
b = styles.add_style('CreditB', WD_STYLE_TYPE.PARAGRAPH)
b.base_style = a
b.font.size = Pt(12)
c = styles.add_style('CreditC', WD_STYLE_TYPE.PARAGRAPH)
c.base_style = b
c.font.italic = True
c.font.color.rgb = RGBColor(0x12, 0x34, 0x56)
role = styles.add_style('Role', WD_STYLE_TYPE.CHARACTER)
role.font.bold = True
role.font.size = Pt(9)

doc.add_paragraph('Title in B', style='CreditB')                        # 0
doc.add_paragraph('Chain C', style='CreditC')                           # 1
p = doc.add_paragraph(); p.add_run('Hello '); p.add_run('world')        # 2
p = doc.add_paragraph(); p.add_run('plain ')                            # 3
r = p.add_run('role'); r.style = role
r = p.add_run(' big red'); r.font.size = Pt(20); r.font.color.rgb = RGBColor(0xFF, 0, 0); r.font.name = 'Arial'
doc.add_paragraph('Name\tRole')                                         # 4
p = doc.add_paragraph(); r = p.add_run('line one'); r.add_break()       # 5
r.add_text('line two'); r.add_break(WD_BREAK.PAGE); r.add_text('after page')
p = doc.add_paragraph('formatted')                                      # 6
f = p.paragraph_format
f.line_spacing = 1.5; f.space_before = Pt(6); f.left_indent = Pt(36); f.first_line_indent = Pt(-18); f.right_indent = Pt(10)
p = doc.add_paragraph('exact')                                          # 7
p.paragraph_format.line_spacing = Pt(12); p.paragraph_format.line_spacing_rule = WD_LINE_SPACING.EXACTLY
p = doc.add_paragraph('at least')                                       # 8
p.paragraph_format.line_spacing = Pt(14); p.paragraph_format.line_spacing_rule = WD_LINE_SPACING.AT_LEAST
doc.add_paragraph('right').alignment = WD_ALIGN_PARAGRAPH.RIGHT         # 9
doc.add_paragraph('justified').alignment = WD_ALIGN_PARAGRAPH.JUSTIFY   # 10
p = doc.add_paragraph(); r = p.add_run('東亞')                          # 11
r.font.name = 'Arial'
r._r.get_or_add_rPr().rFonts.set(qn('w:eastAsia'), 'SimSun')
position = OxmlElement('w:position'); position.set(qn('w:val'), '-4'); r._r.get_or_add_rPr().append(position)
p = doc.add_paragraph(style='CreditA'); p.add_run('not bold').bold = False   # 12
doc.add_paragraph()                                                     # 13

t = doc.add_table(rows=5, cols=3)
t.cell(0, 0).text = 'Name'; t.cell(0, 1).text = 'Role'                   # third cell empty
t.cell(1, 1).text = 'Director'; t.cell(1, 2).text = 'Ann'                # first cell empty
t.cell(2, 0).text = 'Left'; t.cell(2, 2).text = 'Right'                  # empty cell between
m = t.cell(3, 0).merge(t.cell(3, 1)); m.text = 'Merged across'; t.cell(3, 2).text = 'Tail'
t.cell(4, 0).text = 'Top'; t.cell(4, 1).add_paragraph('Second paragraph')
nested = t.cell(4, 2).add_table(rows=1, cols=1); nested.cell(0, 0).text = 'Nested text'
v = doc.add_table(rows=2, cols=2)
v.cell(0, 0).text = 'Tall'; v.cell(0, 1).text = 'One'; v.cell(1, 1).text = 'Two'
v.cell(0, 0).merge(v.cell(1, 0))
# Names set out in tables inside cells, three deep.
n = doc.add_table(rows=1, cols=2)
n.cell(0, 0).text = 'Director'
inner = n.cell(0, 1).add_table(rows=2, cols=1)
inner.cell(0, 0).text = 'Wang Xiaoming 王小明'
deeper = inner.cell(1, 0).add_table(rows=1, cols=2)
deeper.cell(0, 0).text = 'Li Bai 李白'; deeper.cell(0, 1).text = 'Du Fu 杜甫'

p = doc.add_paragraph(); p.add_run().add_picture(png, width=Inches(2)); p.add_run().add_picture(jpeg)
def cropped(paragraph, l, r):
    run = paragraph.add_run()
    shape = run.add_picture(png, width=Inches(2))
    fill = shape._inline.graphic.graphicData.pic.blipFill
    rect = OxmlElement('a:srcRect'); rect.set('l', str(l)); rect.set('r', str(r))
    fill.insert(1, rect)
p = doc.add_paragraph(); cropped(p, 25000, 25000); cropped(p, 25000, 25000)
p = doc.add_paragraph(); cropped(p, 60000, 60000)
doc.save(out)

# Read it back as python-docx sees it and write down what every paragraph and row must show.
doc = Document(out)
SEP = '\u3000\u3000'
def pictures(p):
    return [[int(e.get('cx')) / 12700, int(e.get('cy')) / 12700] for e in p.xpath('.//wp:extent')]
# A cell's paragraphs and the rows of tables nested in it, each on a line of its own.
def cell_text(tc):
    entry = ''
    for child in tc.iterchildren():
        pieces = []
        if child.tag == qn('w:p'):
            pieces = [Paragraph(child, doc).text]
        elif child.tag == qn('w:tbl'):
            pieces = [row_text(tr) for tr in child.tr_lst]
        for piece in pieces:
            if entry:
                entry += '\n'
            entry += piece
    return entry
def row_text(tr):
    row = ''
    for i, tc in enumerate(tr.tc_lst):
        entry = cell_text(tc)
        if not entry:
            continue
        if i >= 1 and row:
            row += SEP
        row += entry
    return row
result = []
for child in doc.element.body.iterchildren():
    if child.tag == qn('w:p'):
        result.append({'text': Paragraph(child, doc).text, 'pictures': pictures(child)})
    elif child.tag == qn('w:tbl'):
        for tr in child.tr_lst:
            result.append({'text': row_text(tr), 'pictures': []})
s = doc.sections[-1]
json.dump({'paragraphs': result,
           'textWidth': s.page_width.pt - s.left_margin.pt - s.right_margin.pt}, open(expected, 'w'))
)PY";

std::string textOf(const DocxDocument::Paragraph& p) {
    std::string s;
    for (const auto& run : p.runs) {
        if (const std::string* t = run.text()) s += *t;
        if (std::holds_alternative<Run::LineBreak>(run.content)) s += "\n";
    }
    return s;
}

std::vector<const Run::Image*> imagesOf(const DocxDocument::Paragraph& p) {
    std::vector<const Run::Image*> images;
    for (const auto& run : p.runs)
        if (const auto* image = std::get_if<Run::Image>(&run.content)) images.push_back(image);
    return images;
}

class WordPeer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new test::TempDir;
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=400x200:rate=1", "-frames:v", "1", (*dir / "pic.png").string()});
        test::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=1", "-frames:v", "1", (*dir / "pic.jpg").string()});
        const auto r = test::run({"/usr/bin/python3", "-c", kScript, (*dir / "credits.docx").string(),
                                  (*dir / "pic.png").string(), (*dir / "expected.json").string(),
                                  (*dir / "pic.jpg").string()});
        ASSERT_EQ(r.exitCode, 0) << "python-docx script failed";
        expected = nlohmann::json::parse(test::readFile(*dir / "expected.json"));
        document = new DocxDocument(loadDocx(*dir / "credits.docx"));
    }
    static void TearDownTestSuite() {
        delete document;
        delete dir;
    }
    static const DocxDocument::Paragraph& paragraph(std::size_t i) { return document->paragraphs.at(i); }

    static inline test::TempDir* dir = nullptr;
    static inline nlohmann::json expected;
    static inline DocxDocument* document = nullptr;
};

TEST_F(WordPeer, TextsMatchWhatWasWritten) {
    ASSERT_TRUE(document);
    const auto& want = expected["paragraphs"];
    ASSERT_EQ(document->paragraphs.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        const auto& p = document->paragraphs[i];
        EXPECT_EQ(textOf(p), want[i]["text"].get<std::string>()) << "paragraph " << i;
        const auto images = imagesOf(p);
        ASSERT_EQ(images.size(), want[i]["pictures"].size()) << "paragraph " << i;
        for (std::size_t k = 0; k < images.size(); ++k) {
            EXPECT_DOUBLE_EQ(images[k]->size.width, want[i]["pictures"][k][0].get<double>());
            EXPECT_DOUBLE_EQ(images[k]->size.height, want[i]["pictures"][k][1].get<double>());
        }
    }
    EXPECT_DOUBLE_EQ(document->textWidth, expected["textWidth"].get<double>());
}

TEST_F(WordPeer, StyleChainsAndDefaults) {
    ASSERT_TRUE(document);
    // Style B is based on A: B's size, A's weight and alignment, the defaults' spacing (after 200
    // twentieths, line 276/240).
    const auto& b = paragraph(0);
    EXPECT_EQ(b.runs.at(0).fontSize, 12);
    EXPECT_TRUE(b.runs.at(0).bold);
    EXPECT_FALSE(b.runs.at(0).italic);
    EXPECT_EQ(b.alignment, DocxDocument::Alignment::center);
    EXPECT_DOUBLE_EQ(b.spaceAfter, 10);
    EXPECT_DOUBLE_EQ(b.lineMultiple, 276.0 / 240);

    const auto& c = paragraph(1).runs.at(0);
    EXPECT_EQ(c.fontSize, 12);
    EXPECT_TRUE(c.bold && c.italic);
    ASSERT_TRUE(c.color);
    EXPECT_EQ(*c.color, (DocxDocument::Color{0x12 / 255.0, 0x34 / 255.0, 0x56 / 255.0}));

    // The document defaults' 11 pt; two runs of equal formatting become one.
    ASSERT_EQ(paragraph(2).runs.size(), 1u);
    EXPECT_EQ(paragraph(2).runs[0].fontSize, 11);
    EXPECT_FALSE(paragraph(2).runs[0].color);
    EXPECT_FALSE(paragraph(2).runs[0].fontName);

    // Direct "not bold" wins over the bold paragraph style.
    EXPECT_FALSE(paragraph(12).runs.at(0).bold);
    EXPECT_EQ(paragraph(12).runs.at(0).fontSize, 14);

    // An empty paragraph keeps one empty run that carries its size.
    ASSERT_EQ(paragraph(13).runs.size(), 1u);
    EXPECT_EQ(*paragraph(13).runs[0].text(), "");
    EXPECT_EQ(paragraph(13).runs[0].fontSize, 11);
}

TEST_F(WordPeer, RunProperties) {
    ASSERT_TRUE(document);
    const auto& runs = paragraph(3).runs;
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(*runs[0].text(), "plain ");
    EXPECT_EQ(*runs[1].text(), "role");
    EXPECT_TRUE(runs[1].bold);  // from the character style
    EXPECT_EQ(runs[1].fontSize, 9);
    EXPECT_EQ(runs[2].fontSize, 20);
    EXPECT_EQ(runs[2].color, (DocxDocument::Color{1, 0, 0}));
    EXPECT_EQ(runs[2].fontName, "Arial");

    // The East Asian font wins over the ASCII one; a position of -4 half-points lowers by 2 pt.
    const auto& east = paragraph(11).runs.at(0);
    EXPECT_EQ(east.fontName, "SimSun");
    EXPECT_EQ(east.baselineShift, -2);
}

TEST_F(WordPeer, ParagraphFormatting) {
    ASSERT_TRUE(document);
    const auto& f = paragraph(6);
    EXPECT_DOUBLE_EQ(f.lineMultiple, 1.5);
    EXPECT_DOUBLE_EQ(f.spaceBefore, 6);
    EXPECT_DOUBLE_EQ(f.leftIndent, 36);
    EXPECT_DOUBLE_EQ(f.rightIndent, 10);
    EXPECT_DOUBLE_EQ(f.firstLineIndent, -18);
    EXPECT_EQ(paragraph(7).lineExact, 12.0);
    EXPECT_EQ(paragraph(7).lineMultiple, 1.0);
    EXPECT_EQ(paragraph(8).lineAtLeast, 14.0);
    EXPECT_FALSE(paragraph(8).lineExact);
    EXPECT_EQ(paragraph(9).alignment, DocxDocument::Alignment::right);
    EXPECT_EQ(paragraph(10).alignment, DocxDocument::Alignment::justified);
}

TEST_F(WordPeer, TableRows) {
    ASSERT_TRUE(document);
    // The separator run takes the formatting of the cell it introduces.
    const auto& row = paragraph(14).runs;
    ASSERT_EQ(row.size(), 3u);
    EXPECT_EQ(*row[1].text(), "\u3000\u3000");
    EXPECT_EQ(row[1].fontSize, row[2].fontSize);
}

TEST_F(WordPeer, PicturesWithCrops) {
    ASSERT_TRUE(document);
    const std::size_t first = document->paragraphs.size() - 3;
    const auto whole = imagesOf(paragraph(first));
    const auto twice = imagesOf(paragraph(first + 1));
    const auto over = imagesOf(paragraph(first + 2));
    ASSERT_EQ(whole.size(), 2u);
    ASSERT_EQ(twice.size(), 2u);
    ASSERT_EQ(over.size(), 1u);

    // The uncropped picture is the PNG as ffmpeg wrote it; 2 inches wide is 144 by 72 points.
    const QImage source((*dir / "pic.png").string().c_str());
    ASSERT_EQ(whole[0]->picture->width(), 400);
    EXPECT_EQ(whole[0]->picture->image().convertToFormat(QImage::Format_ARGB32),
              source.convertToFormat(QImage::Format_ARGB32));
    EXPECT_EQ(whole[0]->size, (DocxDocument::Size{144, 72}));
    // JPEG comes through the image-format plugins.
    EXPECT_EQ(whole[1]->picture->width(), 64);
    EXPECT_EQ(whole[1]->picture->height(), 48);

    // A quarter off each side of 400 pixels leaves the 200 pixels from x = 100; the same picture and
    // crop twice is decoded once.
    EXPECT_EQ(twice[0]->picture, twice[1]->picture);
    ASSERT_EQ(twice[0]->picture->width(), 200);
    ASSERT_EQ(twice[0]->picture->height(), 200);
    EXPECT_EQ(twice[0]->picture->image().convertToFormat(QImage::Format_ARGB32),
              source.copy(100, 0, 200, 200).convertToFormat(QImage::Format_ARGB32));

    // Crops adding up to more than the whole still leave a hundredth of the side: x from 240,
    // 4 pixels wide.
    EXPECT_EQ(over[0]->picture->width(), 4);
    EXPECT_EQ(over[0]->picture->image().convertToFormat(QImage::Format_ARGB32),
              source.copy(240, 0, 4, 200).convertToFormat(QImage::Format_ARGB32));
}

}  // namespace
}  // namespace qm
