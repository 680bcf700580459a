// PDF credits lists against poppler's own command-line renderer: PDFs written by reportlab and by
// LibreOffice, every page rendered by `pdftoppm -cropbox` at the same size, keyed and cropped by
// this test's own arithmetic, and compared with the strip's tiles.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>

#include "core/conversion_error.h"
#include "credits/pdf_pages.h"
#include "credits/strip_builder.h"
#include "credits/strip_test_support.h"
#include "support/qt_app.h"
#include "support/test_support.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

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
c.setPageSize((600, 800)); c.setCropBox((100, 100, 500, 400))
c.setFillColorRGB(0, 0, 0); c.setFont('Helvetica', 24)
c.drawString(60, 380, 'Outside the crop box'); c.drawString(150, 300, 'Music   Ann Poe')
c.rect(100, 100, 60, 40, stroke=0, fill=1)
c.showPage(); c.save()
c = canvas.Canvas(out + '/blank.pdf', pagesize=(400, 300)); c.showPage(); c.showPage(); c.save()
c = canvas.Canvas(out + '/wide.pdf', pagesize=(1000, 250)); c.drawString(40, 100, 'Wide'); c.showPage(); c.save()
from docx import Document
from docx.shared import Pt
d = Document()
for i in range(40):
    d.add_paragraph().add_run('Role %d   Person %d' % (i, i)).font.size = Pt(14)
d.save(out + '/list.docx')
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

    // Page `page` (from 1) as pdftoppm renders its crop box at `dpi`.
    static QImage reference(const fs::path& pdf, int page, double dpi) {
        const auto stem = *dir_ / ("ref-" + pdf.stem().string() + "-" + std::to_string(page));
        char resolution[32];
        std::snprintf(resolution, sizeof resolution, "%.12g", dpi);
        EXPECT_EQ(test::run({"pdftoppm", "-cropbox", "-png", "-singlefile", "-f", std::to_string(page), "-l",
                             std::to_string(page), "-r", resolution, pdf.string(), stem.string()})
                      .exitCode,
                  0);
        return QImage(QString::fromStdString(stem.string() + ".png"));
    }

    // Checks the strip of `pdf` page by page against the reference; gives the strip.
    static CreditsStrip compare(const fs::path& pdf, CreditsSettings::TextColorMode mode,
                                const std::vector<std::pair<double, double>>& pageSizes) {
        const CreditsSettings s = settings(mode);
        const CreditsStrip strip = buildStrip(pdf, s, {});
        EXPECT_EQ(strip.width, 500);
        EXPECT_TRUE(strip.choices.empty());
        double top = 0;
        std::size_t tile = 0;
        for (std::size_t p = 0; p < pageSizes.size(); ++p) {
            const auto [w, h] = pageSizes[p];
            const int height = static_cast<int>(std::ceil(h * 500 / w));
            // pdftoppm may round the width up by a pixel where 500 / w is inexact.
            const QImage rendered = reference(pdf, static_cast<int>(p) + 1, 72 * 500 / w);
            EXPECT_NEAR(rendered.width(), 500, 1);
            EXPECT_NEAR(rendered.height(), height, 1);
            const QImage page = rendered.copy(0, 0, 500, height);
            const QImage keyed = keyPaper(page, mode == CreditsSettings::TextColorMode::single ? &s.textColor : nullptr);
            const auto [first, last] = contentRowRange(keyed);
            if (last < first) continue;  // a blank page gives no tile and no gap
            if (tile >= strip.tiles.size()) {
                ADD_FAILURE() << "missing tile for page " << p + 1;
                break;
            }
            const auto& t = strip.tiles[tile];
            if (tile > 0) top += 500 * 0.06;
            EXPECT_NEAR(t.top, top, 1.0) << "page " << p + 1;
            EXPECT_NEAR(t.image.height(), last - first + 1, 1) << "page " << p + 1;
            const int rows = std::min(t.image.height(), last - first + 1);
            EXPECT_GE(psnr(t.image.copy(0, 0, 500, rows), keyed.copy(0, first, 500, rows)), 35) << "page " << p + 1;
            top = t.top + t.image.height();
            ++tile;
        }
        EXPECT_EQ(tile, strip.tiles.size());
        EXPECT_NEAR(strip.height, top, 1e-9);
        return strip;
    }

    static test::TempDir* dir_;
};

test::TempDir* CreditsPDF::dir_ = nullptr;

TEST_F(CreditsPDF, ReportlabPagesMatchPdftoppmKeyedAndCropped) {
    const std::vector<std::pair<double, double>> pages{{400, 300}, {400, 300}, {400, 300}};
    const CreditsStrip single = compare(*dir_ / "mixed.pdf", CreditsSettings::TextColorMode::single, pages);
    ASSERT_EQ(single.tiles.size(), 2u) << "the blank page is left out";
    // One colour: grey print takes the text colour, the red logo stays red.
    const QImage& first = single.tiles[0].image;
    const QRect logo = test::inkBox(first, QRect(0, first.height() / 2, 500, first.height()));
    const QColor centre = first.pixelColor(logo.center());
    EXPECT_TRUE(centre.red() > 240 && centre.green() < 15 && centre.blue() < 15) << centre.name().toStdString();
    const QRect text = test::inkBox(first, QRect(0, 0, 500, 30), 100);
    ASSERT_FALSE(text.isNull());
    bool green = false;
    for (int x = text.left(); x <= text.right(); ++x) {
        const QColor c = first.pixelColor(x, text.center().y());
        green = green || (c.alpha() > 100 && c.green() > 100 && c.red() < 10 && c.blue() < 10);
    }
    EXPECT_TRUE(green);

    compare(*dir_ / "mixed.pdf", CreditsSettings::TextColorMode::document, pages);
}

TEST_F(CreditsPDF, LibreOfficePagesMatchPdftoppm) {
    const fs::path pdf = *dir_ / "list.pdf";
    const auto info = test::run({"pdfinfo", pdf.string()});
    const auto at = info.output.find("Page size:");
    ASSERT_NE(at, std::string::npos);
    double w = 0, h = 0;
    ASSERT_EQ(std::sscanf(info.output.c_str() + at, "Page size: %lf x %lf", &w, &h), 2);
    int count = 0;
    ASSERT_EQ(std::sscanf(info.output.c_str() + info.output.find("Pages:"), "Pages: %d", &count), 1);
    ASSERT_GE(count, 2) << "forty lines at 14 points fill more than one page";
    const CreditsStrip strip = compare(pdf, CreditsSettings::TextColorMode::single,
                                       std::vector<std::pair<double, double>>(static_cast<std::size_t>(count), {w, h}));
    EXPECT_EQ(strip.tiles.size(), static_cast<std::size_t>(count));
}

TEST_F(CreditsPDF, BlankAndOversizedDocumentsFailWithTheirTexts) {
    const struct {
        const char* file;
        CreditsSettings settings;
        const char* text;
    } cases[] = {
        {"blank.pdf", settings(CreditsSettings::TextColorMode::single), "The PDF has no pages that can be read."},
        {"wide.pdf",
         [] {
             CreditsSettings s;
             s.width = 16384;
             s.textScalePercent = 400;  // 39322 × 9831 pixels for the one page
             return s;
         }(),
         "The credits list is too large to lay out at this size. Make the text size or the column width smaller."},
    };
    for (const auto& c : cases) {
        try {
            buildStrip(*dir_ / c.file, c.settings, {});
            ADD_FAILURE() << c.file << ": no error";
        } catch (const ConversionError& e) {
            EXPECT_EQ(e.kind(), ConversionError::Kind::readerFailed);
            EXPECT_EQ(e.payload(), c.text);
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 4L * 1024 * 1024) << "kilobytes at the peak";
}

}  // namespace
}  // namespace qm
