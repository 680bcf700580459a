#include "credits/strip_test_support.h"

#include <gtest/gtest.h>

#include <QPainter>

#include <cmath>

#include <sys/resource.h>

#include "core/conversion_error.h"
#include "credits/strip_builder.h"
#include "support/test_support.h"

namespace qm::test {

namespace {

constexpr const char* kScript = R"PY(
import json, sys
from docx import Document
from docx.enum.text import WD_ALIGN_PARAGRAPH, WD_BREAK, WD_LINE_SPACING
from docx.oxml.ns import qn
from docx.shared import Pt

spec = json.loads(open(sys.argv[1], encoding='utf-8').read())
doc = Document()
if 'page' in spec:
    s = doc.sections[0]
    s.page_width, s.left_margin, s.right_margin = (Pt(v) for v in spec['page'])
aligns = {'left': WD_ALIGN_PARAGRAPH.LEFT, 'center': WD_ALIGN_PARAGRAPH.CENTER,
          'right': WD_ALIGN_PARAGRAPH.RIGHT, 'justify': WD_ALIGN_PARAGRAPH.JUSTIFY}
for ps in spec['paragraphs']:
    p = doc.add_paragraph()
    f = p.paragraph_format
    f.space_before = Pt(ps.get('before', 0)); f.space_after = Pt(ps.get('after', 0))
    if 'align' in ps: p.alignment = aligns[ps['align']]
    if 'exact' in ps: f.line_spacing = Pt(ps['exact']); f.line_spacing_rule = WD_LINE_SPACING.EXACTLY
    elif 'atLeast' in ps: f.line_spacing = Pt(ps['atLeast']); f.line_spacing_rule = WD_LINE_SPACING.AT_LEAST
    else: f.line_spacing = ps.get('multiple', 1.0)
    if 'left' in ps: f.left_indent = Pt(ps['left'])
    if 'right' in ps: f.right_indent = Pt(ps['right'])
    if 'first' in ps: f.first_line_indent = Pt(ps['first'])
    for rs in ps.get('runs', []):
        if 'picture' in rs:
            p.add_run().add_picture(rs['picture'], width=Pt(rs['pw']), height=Pt(rs['ph']))
            continue
        r = p.add_run()
        if rs.get('break'): r.add_break(); continue
        r.text = rs.get('text', '')
        r.font.size = Pt(rs.get('size', 12))
        if 'font' in rs:
            r.font.name = rs['font']
            r._r.get_or_add_rPr().rFonts.set(qn('w:eastAsia'), rs['font'])
        if rs.get('bold'): r.bold = True
        if rs.get('italic'): r.italic = True
doc.save(sys.argv[2])
)PY";

}  // namespace

void makeDocx(const nlohmann::json& spec, const std::filesystem::path& out) {
    const std::filesystem::path specFile = out.string() + ".json";
    writeFile(specFile, spec.dump());
    const auto result = run({"/usr/bin/python3", "-c", kScript, specFile.string(), out.string()});
    ASSERT_EQ(result.exitCode, 0) << "python-docx could not write " << out;
}

void makeDamagedList(const std::filesystem::path& out) {
    const std::filesystem::path whole = out.string() + ".whole.docx";
    const std::filesystem::path logo = out.string() + ".logo.png";
    QImage picture(40, 20, QImage::Format_RGB32);
    picture.fill(Qt::red);
    ASSERT_TRUE(picture.save(QString::fromStdString(logo.string()), "PNG"));
    nlohmann::json paragraphs = nlohmann::json::array();
    for (const char* line : {"Director", "Wang Xiaoming 王小明", "", "Li Bai 李白", "Du Fu 杜甫"})
        paragraphs.push_back({{"runs", {*line ? nlohmann::json{{"text", line}}
                                              : nlohmann::json{{"picture", logo.string()}, {"pw", 40}, {"ph", 20}}}}});
    makeDocx({{"paragraphs", paragraphs}}, whole);
    const auto result = run({"/usr/bin/python3", "-c", R"PY(
import sys, zipfile
source, out = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(source) as zin, zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as zout:
    for item in zin.infolist():
        data = zin.read(item.filename)
        if item.filename == 'word/document.xml':
            at = -1
            for _ in range(5):
                at = data.index(b'<w:p>', at + 1)
            data = data[:at + 3]
        elif item.filename.startswith('word/media/'):
            data = b'not a picture'
        zout.writestr(item, data)
)PY", whole.string(), out.string()});
    ASSERT_EQ(result.exitCode, 0) << "could not damage " << whole;
}

std::string buildError(const std::filesystem::path& file, const CreditsSettings& settings) {
    try {
        buildStrip(file, settings, {});
        return "(no error)";
    } catch (const ConversionError& e) {
        return e.kind() == ConversionError::Kind::readerFailed ? e.payload() : "(another kind: " + e.description() + ")";
    }
}

void expectRefusedAsTooLarge(const std::filesystem::path& file, const CreditsSettings& settings) {
    EXPECT_EQ(buildError(file, settings),
              "The credits list is too large to lay out at this size. Make the text size or the column width smaller.");
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 4L * 1024 * 1024) << "kilobytes at the peak";
}

QImage stripImage(const CreditsStrip& strip) {
    QImage image(static_cast<int>(std::ceil(strip.width)), static_cast<int>(std::ceil(strip.height)),
                 QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    for (const auto& tile : strip.tiles) painter.drawImage(QPoint(0, static_cast<int>(std::lround(tile.top))), tile.image);
    return image;
}

QRect inkBox(const QImage& image, const QRect& area, int above, int (*channel)(QRgb)) {
    const QRect inside = area & image.rect();
    int left = inside.right() + 1, right = inside.left() - 1, top = inside.bottom() + 1, bottom = inside.top() - 1;
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            if (channel(image.pixel(x, y)) <= above) continue;
            left = std::min(left, x);
            right = std::max(right, x);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    }
    if (right < left) return {};
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

}  // namespace qm::test
