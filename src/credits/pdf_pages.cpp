#include "credits/pdf_pages.h"

#include <poppler-qt6.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/conversion_error.h"
#include "credits/logo_keying.h"
#include "credits/strip_builder.h"

namespace qm {

namespace {

// A page this tall or taller is left out rather than shrunk.
constexpr int kMaxPageRows = 16000;
// Alpha above this counts as visible.
constexpr int kVisibleAlpha = 12;

std::unique_ptr<Poppler::Document> openDocument(const std::filesystem::path& file) {
    std::unique_ptr<Poppler::Document> document = Poppler::Document::load(QString::fromStdString(file.string()));
    if (!document || document->isLocked()) return nullptr;
    document->setRenderHint(Poppler::Document::Antialiasing, true);
    document->setRenderHint(Poppler::Document::TextAntialiasing, true);
    return document;
}

struct PagePlan {
    int index = 0;
    double scale = 0;
    int width = 0;
    int height = 0;
};

struct PageResult {
    QImage band;  // the visible rows, keyed; null for a blank page
    bool failed = false;
};

// Renders one page on white paper at the strip's width, keys the paper away and keeps the rows
// that hold something.
PageResult renderPage(Poppler::Document& document, const PagePlan& plan, const CreditsSettings& settings) {
    PageResult result;
    const std::unique_ptr<Poppler::Page> page(document.page(plan.index));
    if (!page) return result;
    const double dpi = 72.0 * plan.scale;
    const QImage paper = page->renderToImage(dpi, dpi, 0, 0, plan.width, plan.height);
    if (paper.isNull() || paper.width() != plan.width || paper.height() != plan.height) {
        result.failed = true;
        return result;
    }
    const KeyRecolor recolor = settings.textColorMode == CreditsSettings::TextColorMode::single ? KeyRecolor::neutral
                                                                                                 : KeyRecolor::keep;
    const QImage keyed = keyPicture(paper, CreditsSettings::KeyMode::white, recolor, false, RGBColor{0, 1, 0}, 0.03,
                                    0.1, settings.textColor)
                             .convertToFormat(CreditsStrip::kTileFormat);
    if (keyed.isNull()) {
        result.failed = true;
        return result;
    }
    const auto [first, last] = contentRowRange(keyed);
    if (last < first) return result;
    result.band = keyed.copy(0, first, keyed.width(), last - first + 1);
    result.failed = result.band.isNull();
    return result;
}

}  // namespace

std::pair<int, int> contentRowRange(const QImage& image) {
    const int height = image.height();
    QImage converted;
    const QImage* source = &image;
    if (image.format() != QImage::Format_ARGB32_Premultiplied && image.format() != QImage::Format_ARGB32) {
        converted = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        if (converted.isNull()) return {0, height - 1};
        source = &converted;
    }
    const int width = source->width();
    auto visible = [&](int y) {
        const auto* row = reinterpret_cast<const QRgb*>(source->constScanLine(y));
        return std::any_of(row, row + width, [](QRgb pixel) { return qAlpha(pixel) > kVisibleAlpha; });
    };
    int first = 0;
    while (first < height && !visible(first)) ++first;
    if (first >= height - 1) return {first, height - 1};
    int last = height - 1;
    while (last > first && !visible(last)) --last;
    return {first, last};
}

std::optional<CreditsStrip> renderPDFPages(const std::filesystem::path& file, const CreditsSettings& settings) {
    std::unique_ptr<Poppler::Document> document = openDocument(file);
    if (!document) return std::nullopt;
    const int count = document->numPages();
    if (count < 1) return std::nullopt;

    const double targetWidth = static_cast<double>(settings.width) * settings.contentWidthPercent / 100 *
                               settings.textScalePercent / 100;
    const double gap = targetWidth * 0.06;

    // Every page's size first, so a page too large to hold fails before anything is drawn.
    std::vector<PagePlan> plans;
    for (int i = 0; i < count; ++i) {
        const std::unique_ptr<Poppler::Page> page(document->page(i));
        if (!page) continue;
        const QSizeF bounds = page->pageSizeF();  // the crop box, in points
        const double scale = targetWidth / bounds.width();
        const double pw = std::ceil(bounds.width() * scale);
        const double ph = std::ceil(bounds.height() * scale);
        if (!(pw >= 1) || !(ph >= 1) || ph >= kMaxPageRows) continue;
        if (pw * ph > static_cast<double>(kMaxStripPixels)) throw ConversionError::readerFailed(kStripTooLargeText);
        plans.push_back({i, scale, static_cast<int>(pw), static_cast<int>(ph)});
    }
    if (plans.empty()) return std::nullopt;

    // Pages render in parallel, each worker with its own document. Page bitmaps in flight together
    // stay within one strip's worth of pixels (at least one page goes at a time), and the kept
    // bands are counted as they come so that a list too long to hold stops early.
    std::vector<PageResult> results(plans.size());
    std::mutex mutex;
    std::condition_variable released;
    std::int64_t inFlight = 0;
    double keptRows = 0;
    int keptPages = 0;
    bool tooLarge = false;
    std::atomic<std::size_t> next{0};
    const double stripWidth = std::ceil(targetWidth);

    auto work = [&](Poppler::Document* own) {
        std::unique_ptr<Poppler::Document> opened;
        if (!own) {
            opened = openDocument(file);
            own = opened.get();
        }
        for (;;) {
            const std::size_t k = next.fetch_add(1);
            if (k >= plans.size()) return;
            const std::int64_t pixels = std::int64_t{plans[k].width} * plans[k].height;
            {
                std::unique_lock lock(mutex);
                released.wait(lock, [&] { return tooLarge || inFlight == 0 || inFlight + pixels <= kMaxStripPixels; });
                if (tooLarge) return;
                inFlight += pixels;
            }
            PageResult result = own ? renderPage(*own, plans[k], settings) : PageResult{{}, true};
            {
                std::lock_guard lock(mutex);
                inFlight -= pixels;
                if (!result.band.isNull()) {
                    keptRows += result.band.height();
                    ++keptPages;
                    if (stripWidth * (keptRows + gap * (keptPages - 1)) > static_cast<double>(kMaxStripPixels))
                        tooLarge = true;
                }
                if (result.failed) tooLarge = true;
                results[k] = std::move(result);
            }
            released.notify_all();
        }
    };
    const unsigned threads = std::clamp<unsigned>(std::thread::hardware_concurrency(), 1,
                                                  static_cast<unsigned>(std::min<std::size_t>(plans.size(), 16)));
    {
        std::vector<std::jthread> workers;
        for (unsigned t = 1; t < threads; ++t) workers.emplace_back(work, nullptr);
        work(document.get());
    }
    if (tooLarge) throw ConversionError::readerFailed(kStripTooLargeText);

    CreditsStrip strip;
    double top = 0;
    for (auto& result : results) {
        if (result.band.isNull()) continue;
        if (!strip.tiles.empty()) top += gap;
        const double rows = result.band.height();
        strip.tiles.push_back({std::move(result.band), top});
        top += rows;
    }
    if (strip.tiles.empty()) return std::nullopt;
    strip.width = targetWidth;
    strip.height = top;
    return strip;
}

}  // namespace qm
