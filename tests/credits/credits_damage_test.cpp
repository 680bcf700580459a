// Damaged credits lists through the strip builder and the command: what was read before the damage
// is kept, and what is lost is told in words naming the file, the part, the page or the picture.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <QGuiApplication>

#include "credits/strip_builder.h"
#include "credits/strip_test_support.h"
#include "support/qt_app.h"
#include "support/test_support.h"

namespace qm {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// Two pages of names, and copies whose second page's content, or the page itself, can't be found.
constexpr const char* kPDFs = R"PY(
import re, sys
from reportlab.pdfgen import canvas
out = sys.argv[1]
c = canvas.Canvas(out + '/two.pdf', pagesize=(400, 300))
for names in (('Director', 'Wang Xiaoming'), ('Producer', 'Li Bai')):
    c.setFont('Helvetica', 24); c.drawString(50, 200, names[0]); c.drawString(50, 150, names[1]); c.showPage()
c.save()
data = open(out + '/two.pdf', 'rb').read()
content = re.findall(rb'/Contents (\d+) 0 R', data)[1]
page = re.search(rb'/Kids \[ \d+ 0 R (\d+) 0 R', data).group(1)
open(out + '/content.pdf', 'wb').write(data.replace(b'\n' + content + b' 0 obj', b'\n' + content + b' 0 ocj'))
open(out + '/page.pdf', 'wb').write(data.replace(b'\n' + page + b' 0 obj', b'\n' + page + b' 0 ocj'))
c = canvas.Canvas(out + '/locked.pdf', pagesize=(400, 300), encrypt='secret')
c.drawString(50, 200, 'Director'); c.showPage(); c.save()
)PY";

class CreditsDamage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::qtApp<QGuiApplication>();
        dir_ = new test::TempDir;
        ASSERT_EQ(test::run({"/usr/bin/python3", "-c", kPDFs, dir_->path().string()}).exitCode, 0);
        test::makeDamagedList(*dir_ / "Cast.docx");
    }
    static void TearDownTestSuite() { delete dir_; }

    static CreditsSettings settings() {
        CreditsSettings s;
        s.width = 1000;
        s.contentWidthPercent = 50;
        return s;
    }

    static test::TempDir* dir_;
};

test::TempDir* CreditsDamage::dir_ = nullptr;

TEST_F(CreditsDamage, PDFPagesLostToDamageAreNamed) {
    EXPECT_EQ(buildStrip(*dir_ / "two.pdf", settings(), {}).warnings, std::vector<std::string>{});
    for (const char* pdf : {"content.pdf", "page.pdf"}) {
        const CreditsStrip strip = buildStrip(*dir_ / pdf, settings(), {});
        EXPECT_EQ(strip.tiles.size(), 1u) << pdf;
        ASSERT_EQ(strip.warnings.size(), 1u) << pdf;
        EXPECT_THAT(strip.warnings[0], StartsWith("Page 2 of “" + std::string(pdf) + "” is damaged (")) << pdf;
        EXPECT_THAT(strip.warnings[0], HasSubstr("): it is left out.")) << pdf;
    }
}

TEST_F(CreditsDamage, ProtectedAndUnreadableListsFailInWords) {
    EXPECT_EQ(test::buildError(*dir_ / "locked.pdf", settings()),
              "The PDF is protected by a password. Save a copy without the password and use that.");
    // A Word list damaged before its first line is no list.
    test::writeFile(*dir_ / "Empty.docx", test::readFile(*dir_ / "Cast.docx"));
    test::run({"/usr/bin/python3", "-c",
               "import sys, zipfile\n"
               "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
               "z.writestr('word/document.xml', '<w:document><w:body><w:p')\n",
               (*dir_ / "Empty.docx").string()});
    EXPECT_EQ(test::buildError(*dir_ / "Empty.docx", settings()),
              "The list in “Empty.docx” is damaged before its first line (word/document.xml): nothing of it can be read.");
}

TEST_F(CreditsDamage, TheCommandTellsTheDamageAndExitsWithThree) {
    test::writeFile(*dir_ / "settings.json", settings().toJson().dump());
    const auto strip = [&](const std::string& list) {
        return test::run({"/bin/sh", "-c",
                          std::string(QM_BENCH) + " credits-strip \"$0\" --settings \"$1\" --out \"$2\" 2>&1", list,
                          (*dir_ / "settings.json").string(), (*dir_ / "strip.png").string()});
    };
    const auto cast = strip((*dir_ / "Cast.docx").string());
    EXPECT_EQ(cast.exitCode, 3) << cast.output;
    EXPECT_THAT(cast.output, HasSubstr("warning: The list in “Cast.docx” is damaged after line 4 (word/document.xml): "
                                       "it is read up to there.\n"
                                       "warning: The picture “word/media/image1.png” on line 3 of “Cast.docx” can't "
                                       "be read: it is left out.\n"));
    EXPECT_TRUE(std::filesystem::exists(*dir_ / "strip.png")) << "the lines read are laid out";

    const auto pdf = strip((*dir_ / "content.pdf").string());
    EXPECT_EQ(pdf.exitCode, 3) << pdf.output;
    EXPECT_THAT(pdf.output, HasSubstr("warning: Page 2 of “content.pdf” is damaged ("));
    EXPECT_EQ(strip((*dir_ / "two.pdf").string()).exitCode, 0);
}

}  // namespace
}  // namespace qm
