// PDF credits lists against poppler's own command-line renderer: PDFs written by reportlab and by
// LibreOffice, every page rendered by `pdftoppm -cropbox` at the same size, keyed and cropped by
// this test's own arithmetic, and compared with the strip's tiles.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>

#include <algorithm>
#include <cmath>

#include "credits/strip_builder.h"
#include "credits/strip_test_support.h"
#include "support/qt_app.h"
#include "support/test_support.h"

namespace qm {
namespace {

constexpr const char* kPDFs = R"PY(
import sys
from reportlab.pdfgen import canvas
out = sys.argv[1]
c = canvas.Canvas(out + '/mixed.pdf', pagesize=(400, 300))
c.setFillColorRGB(0.5, 0.5, 0.5); c.setFont('Helvetica', 18)
c.drawString(40, 240, 'Director   Jane Doe'); c.drawString(40, 210, 'Camera   John Roe')
c.setFillColorRGB(1, 0, 0); c.rect(150, 60, 100, 80, stroke=0, fill=1)
c.showPage()
c.setPageSize((400, 300)); c.showPage()
c.setFillColorRGB(0.985, 0.985, 0.985); c.rect(50, 50, 300, 200, stroke=0, fill=1); c.showPage()
c.setPageSize((600, 800)); c.setCropBox((100, 100, 500, 400))
c.setFillColorRGB(0, 0, 0); c.setFont('Helvetica', 24)
c.drawString(60, 380, 'Outside the crop box'); c.drawString(150, 300, 'Music   Ann Poe')
c.rect(100, 100, 60, 40, stroke=0, fill=1)
c.showPage(); c.save()
c = canvas.Canvas(out + '/blank.pdf', pagesize=(400, 300)); c.showPage(); c.showPage(); c.save()
c = canvas.Canvas(out + '/wide.pdf', pagesize=(1000, 250)); c.drawString(40, 100, 'Wide'); c.showPage(); c.save()
c = canvas.Canvas(out + '/many.pdf', pagesize=(40, 30))
for i in range(300): c.showPage()
c.save()
)PY";

double smoothstep(double e0, double e1, double x) {
    const double t = std::clamp((x - e0) / (e1 - e0), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// The paper keyed away (tolerance 0.03), neutral ink optionally taking the tint; premultiplied.
QImage keyPaper(const QImage& page, const RGBColor* tint) {
    QImage out(page.size(), QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < page.height(); ++y) {
        for (int x = 0; x < page.width(); ++x) {
            const QRgb p = page.pixel(x, y);
            double c[3] = {qRed(p) / 255.0, qGreen(p) / 255.0, qBlue(p) / 255.0};
            const double d = std::max({1 - c[0], 1 - c[1], 1 - c[2]});
            if (d > 0.0001)
                for (double& v : c) v = (v - (1 - d)) / d;
            const double a = std::clamp((d - 0.03) / 0.97, 0.0, 1.0);
            if (tint) {
                const double neutral = 1 - smoothstep(0.10, 0.22, std::max({c[0], c[1], c[2]}) - std::min({c[0], c[1], c[2]}));
                const double t[3] = {tint->r, tint->g, tint->b};
                for (int k = 0; k < 3; ++k) c[k] += (t[k] - c[k]) * neutral;
            }
            auto byte = [&](double v) { return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * a * 255)); };
            out.setPixel(x, y, qRgba(byte(c[0]), byte(c[1]), byte(c[2]), static_cast<int>(std::lround(a * 255))));
        }
    }
    return out;
}

double psnr(const QImage& a, const QImage& b) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            for (int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q), qAlpha(p) - qAlpha(q)})
                sum += d * d;
        }
    const double mse = sum / (4.0 * a.width() * a.height());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

class CreditsPDF : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::qtApp<QGuiApplication>();
        dir_ = new test::TempDir;
        ASSERT_EQ(test::run({"/usr/bin/python3", "-c", kPDFs, dir_->path().string()}).exitCode, 0);
        nlohmann::json lines = nlohmann::json::array();
        for (int i = 0; i < 40; ++i) lines.push_back({{"runs", {{{"text", "Role " + std::to_string(i) + "   Person"}, {"size", 14}}}}});
        test::makeDocx({{"paragraphs", lines}}, *dir_ / "list.docx");
        // A private profile, so that other LibreOffice processes on the machine do not interfere.
        const auto result = test::run({"soffice", "-env:UserInstallation=file://" + (*dir_ / "profile").string(),
                                       "--headless", "--convert-to", "pdf", "--outdir", dir_->path().string(),
                                       (*dir_ / "list.docx").string()});
        ASSERT_EQ(result.exitCode, 0);
    }
    static void TearDownTestSuite() { delete dir_; }

    static CreditsSettings settings(CreditsSettings::TextColorMode mode) {
        CreditsSettings s;
        s.width = 1000;
        s.contentWidthPercent = 50;  // 500 pixels wide
        s.textColorMode = mode;
        s.textColor = {0, 1, 0};
        return s;
    }

    // Checks the strip of `pdf` against pdftoppm's pages at the strip's width, keyed and cropped
    // here; gives the strip.
    static CreditsStrip compare(const std::string& pdf, CreditsSettings::TextColorMode mode) {
        const CreditsSettings s = settings(mode);
        const CreditsStrip strip = buildStrip(*dir_ / pdf, s, {});
        EXPECT_EQ(strip.width, 500);
        const auto stem = *dir_ / ("ref-" + pdf);
        EXPECT_EQ(test::run({"pdftoppm", "-cropbox", "-png", "-scale-to-x", "500", "-scale-to-y", "-1",
                             (*dir_ / pdf).string(), stem.string()}).exitCode, 0);
        double top = 0;
        std::size_t tile = 0;
        for (int p = 1;; ++p) {
            const QImage page(QString::fromStdString(stem.string() + "-" + std::to_string(p) + ".png"));
            if (page.isNull()) break;
            const QImage keyed = keyPaper(page, mode == CreditsSettings::TextColorMode::single ? &s.textColor : nullptr);
            auto visible = [&](int y) {
                for (int x = 0; x < 500; ++x)
                    if (qAlpha(keyed.pixel(x, y)) > 12) return true;
                return false;
            };
            int first = 0, last = keyed.height() - 1;
            while (first <= last && !visible(first)) ++first;
            if (first > last) continue;  // a blank page gives no tile and no gap
            while (!visible(last)) --last;
            if (tile >= strip.tiles.size()) {
                ADD_FAILURE() << "no tile for page " << p;
                break;
            }
            const auto& t = strip.tiles[tile++];
            if (tile > 1) top += 500 * 0.06;
            EXPECT_NEAR(t.top, top, 1.0) << "page " << p;
            EXPECT_NEAR(t.image.height(), last - first + 1, 1) << "page " << p;
            const int rows = std::min(t.image.height(), last - first + 1);
            EXPECT_GE(psnr(t.image.copy(0, 0, 500, rows), keyed.copy(0, first, 500, rows)), 35) << "page " << p;
            top = t.top + t.image.height();
        }
        EXPECT_EQ(tile, strip.tiles.size());
        EXPECT_EQ(strip.height, top);
        return strip;
    }

    static test::TempDir* dir_;
};

test::TempDir* CreditsPDF::dir_ = nullptr;

TEST_F(CreditsPDF, ReportlabPagesMatchPdftoppmKeyedAndCropped) {
    const CreditsStrip single = compare("mixed.pdf", CreditsSettings::TextColorMode::single);
    ASSERT_EQ(single.tiles.size(), 2u) << "the blank and the near-white page are left out";
    // One colour: grey print takes the text colour, the red logo stays red.
    const QImage& first = single.tiles[0].image;
    const QRect logo = test::inkBox(first, QRect(0, first.height() / 2, 500, first.height()));
    const QColor centre = first.pixelColor(logo.center());
    EXPECT_TRUE(centre.red() > 240 && centre.green() < 15 && centre.blue() < 15) << centre.name().toStdString();
    const QRect text = test::inkBox(first, QRect(0, 0, 500, 30), 100);
    int green = 0;
    for (int x = text.left(); x <= text.right(); ++x) {
        const QColor c = first.pixelColor(x, text.center().y());
        green += c.alpha() > 100 && c.green() > 100 && c.red() < 10 && c.blue() < 10;
    }
    EXPECT_GT(green, 0);
    compare("mixed.pdf", CreditsSettings::TextColorMode::document);

    // The text scale sizes PDF pages too.
    CreditsSettings half = settings(CreditsSettings::TextColorMode::single);
    half.textScalePercent = 50;
    const CreditsStrip small = buildStrip(*dir_ / "mixed.pdf", half, {});
    EXPECT_EQ(small.width, 250);
    ASSERT_EQ(small.tiles.size(), 2u);
    EXPECT_EQ(small.tiles[0].image.width(), 250);
}

TEST_F(CreditsPDF, LibreOfficePagesMatchPdftoppm) {
    EXPECT_GE(compare("list.pdf", CreditsSettings::TextColorMode::single).tiles.size(), 2u)
        << "forty lines at 14 points fill more than one page";
}

TEST_F(CreditsPDF, BlankAndOversizedDocumentsFailWithTheirTexts) {
    EXPECT_EQ(test::buildError(*dir_ / "blank.pdf", settings(CreditsSettings::TextColorMode::single)),
              "The PDF has no pages that can be read.");
    CreditsSettings huge;
    huge.width = 16384;
    huge.textScalePercent = 400;  // 39322 × 9831 pixels for the one page
    test::expectRefusedAsTooLarge(*dir_ / "wide.pdf", huge);

    // Decided from the page count before any page is drawn: at 4000 pixels wide, 300 pages take
    // 300 gaps of 240 rows, more than a strip holds, whatever the pages hold.
    CreditsSettings wide;
    wide.width = 4000;
    wide.contentWidthPercent = 100;
    test::expectRefusedAsTooLarge(*dir_ / "many.pdf", wide);
}

}  // namespace
}  // namespace qm
