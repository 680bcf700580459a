// oneTBB before Qt: Qt's `emit` keyword would break TBB's headers.
#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "credits/pdf_pages.h"

#include <poppler-qt6.h>

#include <algorithm>
#include <filesystem>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
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
// Runs of inked rows this close together are keyed as one.
constexpr int kRowsJoined = 8;
// Blank paper as poppler renders it.
constexpr QRgb kPaper = 0xFFFFFFFFu;

// Poppler tells of damage in a file through one process-wide function, on whatever thread reads
// the file. Each thread collects what is said while it reads for us; the rest is dropped.
thread_local std::vector<std::string>* popplerComplaints = nullptr;

struct ListeningToPoppler {
    explicit ListeningToPoppler(std::vector<std::string>& into) : previous(popplerComplaints) { popplerComplaints = &into; }
    ~ListeningToPoppler() { popplerComplaints = previous; }
    ListeningToPoppler(const ListeningToPoppler&) = delete;
    ListeningToPoppler& operator=(const ListeningToPoppler&) = delete;
    std::vector<std::string>* previous;
};

void heardFromPoppler(const QString& message, const QVariant&) {
    if (!popplerComplaints) return;
    // "Error (1234): xref num 6 not found<0a>" → "xref num 6 not found"
    QString text = message;
    if (text.startsWith(QLatin1String("Error"))) text = text.mid(text.indexOf(QLatin1Char(':')) + 1);
    text.replace(QLatin1String("<0a>"), QLatin1String(" "));
    popplerComplaints->push_back(text.simplified().toStdString());
}

std::unique_ptr<Poppler::Document> openDocument(const std::filesystem::path& file, bool* locked = nullptr) {
    static std::once_flag listening;
    std::call_once(listening, [] { Poppler::setDebugErrorFunction(heardFromPoppler, QVariant()); });
    std::error_code status;  // never a named pipe or a device: reading one may block forever
    if (!std::filesystem::is_regular_file(file, status)) return nullptr;
    std::unique_ptr<Poppler::Document> document = Poppler::Document::load(QString::fromStdString(file.string()));
    if (document && document->isLocked() && locked) *locked = true;
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
    bool missing = false;               // the page itself could not be read
    std::vector<std::string> damage;    // what poppler said of the file while drawing the page
};

// Renders one page on white paper at the strip's width, keys the paper away and keeps the rows
// that hold something.
PageResult renderPage(Poppler::Document& document, const PagePlan& plan, const CreditsSettings& settings) {
    PageResult result;
    const std::unique_ptr<Poppler::Page> page(document.page(plan.index));
    if (!page) {
        result.missing = true;
        return result;
    }
    const double dpi = 72.0 * plan.scale;
    QImage paper = page->renderToImage(dpi, dpi, 0, 0, plan.width, plan.height);
    if (!paper.isNull() && paper.format() != QImage::Format_RGB32 && paper.format() != QImage::Format_ARGB32)
        paper = paper.convertToFormat(QImage::Format_ARGB32);
    if (paper.isNull() || paper.width() != plan.width || paper.height() != plan.height) {
        result.failed = true;
        return result;
    }
    // Keying is per pixel and takes pure white paper to nothing, so only the boxes of rows that
    // hold ink are keyed; the rest stays transparent. Most of a credits page is paper.
    struct Inked {
        int first, last, left, right;
    };
    std::vector<Inked> inked;
    for (int y = 0; y < paper.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(paper.constScanLine(y));
        const auto* end = row + paper.width();
        const auto* left = std::find_if(row, end, [](QRgb p) { return p != kPaper; });
        if (left == end) continue;
        const auto* right = std::find_if(std::make_reverse_iterator(end), std::make_reverse_iterator(left),
                                         [](QRgb p) { return p != kPaper; }).base() - 1;
        const int l = static_cast<int>(left - row), r = static_cast<int>(right - row);
        if (!inked.empty() && y - inked.back().last <= kRowsJoined) {
            Inked& box = inked.back();
            box.last = y;
            box.left = std::min(box.left, l);
            box.right = std::max(box.right, r);
        } else {
            inked.push_back({y, y, l, r});
        }
    }
    if (inked.empty()) return result;
    const int top = inked.front().first;
    QImage keyed(plan.width, inked.back().last - top + 1, CreditsStrip::kTileFormat);
    if (keyed.isNull()) {
        result.failed = true;
        return result;
    }
    keyed.fill(Qt::transparent);
    const KeyRecolor recolor = settings.textColorMode == CreditsSettings::TextColorMode::single ? KeyRecolor::neutral
                                                                                                 : KeyRecolor::keep;
    for (const Inked& box : inked) {
        const int width = box.right - box.left + 1;
        // A view into the page's own pixels, not a copy.
        const QImage view(paper.constScanLine(box.first) + 4 * box.left, width, box.last - box.first + 1,
                          paper.bytesPerLine(), paper.format());
        const QImage part = keyPicture(view,
                                       CreditsSettings::KeyMode::white, recolor, false, RGBColor{0, 1, 0}, 0.03, 0.1,
                                       settings.textColor)
                                .convertToFormat(CreditsStrip::kTileFormat);
        if (part.isNull()) {
            result.failed = true;
            return result;
        }
        for (int y = 0; y < part.height(); ++y)
            std::memcpy(keyed.scanLine(box.first - top + y) + 4 * box.left, part.constScanLine(y),
                        static_cast<std::size_t>(width) * 4);
    }
    const auto [first, last] = contentRowRange(keyed);
    if (last < first) return result;
    result.band = first == 0 && last == keyed.height() - 1 ? keyed : keyed.copy(0, first, keyed.width(), last - first + 1);
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
    // What poppler says while the file is opened and measured, and the pages found damaged.
    std::vector<std::string> opening;
    std::vector<std::pair<int, std::string>> lost;  // by page index
    const std::string name = file.filename().string();
    const auto pageLost = [&](int index, const std::string& why, const char* outcome) {
        lost.emplace_back(index, "Page " + std::to_string(index + 1) + " of “" + name + "” " + why + ": " + outcome);
    };
    const auto damaged = [](const std::vector<std::string>& said) { return "is damaged (" + said.front() + ")"; };

    bool locked = false;
    std::unique_ptr<Poppler::Document> document;
    int count = 0;
    {
        ListeningToPoppler listening(opening);
        document = openDocument(file, &locked);
        if (locked) throw ConversionError::readerFailed(kPasswordProtectedPDFText);
        if (!document) return std::nullopt;
        count = document->numPages();
    }
    if (count < 1) return std::nullopt;

    const double targetWidth = static_cast<double>(settings.width) * settings.contentWidthPercent / 100 *
                               settings.textScalePercent / 100;
    const double gap = targetWidth * 0.06;
    // Each page that holds anything takes at least a row and a gap. Counted as if none were blank,
    // a file with more pages than the strip has room for is refused before any page is read.
    const double stripWidth = std::ceil(targetWidth);
    if (stripWidth * (count + gap * (count - 1)) > static_cast<double>(kMaxStripPixels))
        throw ConversionError::readerFailed(kStripTooLargeText);

    // Every page's size first, so a page too large to hold fails before anything is drawn.
    std::vector<PagePlan> plans;
    for (int i = 0; i < count; ++i) {
        std::vector<std::string> said;
        ListeningToPoppler listening(said);
        const std::unique_ptr<Poppler::Page> page(document->page(i));
        if (!page) {
            pageLost(i, said.empty() ? std::string("can't be read") : damaged(said), "it is left out.");
            continue;
        }
        const QSizeF bounds = page->pageSizeF();  // the crop box, in points
        const double scale = targetWidth / bounds.width();
        const double pw = std::ceil(bounds.width() * scale);
        const double ph = std::ceil(bounds.height() * scale);
        if (!(pw >= 1) || !(ph >= 1) || ph >= kMaxPageRows) {
            const char* why = ph >= kMaxPageRows ? "is too tall to draw at this width" : "has no area to draw";
            pageLost(i, said.empty() ? std::string(why) : damaged(said), "it is left out.");
            continue;
        }
        opening.insert(opening.end(), said.begin(), said.end());
        if (pw * ph > static_cast<double>(kMaxStripPixels)) throw ConversionError::readerFailed(kStripTooLargeText);
        plans.push_back({i, scale, static_cast<int>(pw), static_cast<int>(ph)});
    }
    if (plans.empty()) return std::nullopt;

    // Pages render in parallel, each thread with its own document, in windows of pages whose
    // bitmaps together stay within one strip's worth of pixels (at least one page a window). The
    // kept bands are counted after each window, so a list too long to hold stops early.
    tbb::enumerable_thread_specific<std::shared_ptr<Poppler::Document>> documents(
        [&] { return std::shared_ptr<Poppler::Document>(openDocument(file)); });
    std::vector<PageResult> results(plans.size());
    double keptRows = 0;
    int keptPages = 0;
    for (std::size_t begin = 0; begin < plans.size();) {
        std::size_t end = begin;
        std::int64_t pixels = 0;
        do {
            pixels += std::int64_t{plans[end].width} * plans[end].height;
            ++end;
        } while (end < plans.size() && pixels + std::int64_t{plans[end].width} * plans[end].height <= kMaxStripPixels);
        tbb::parallel_for(tbb::blocked_range<std::size_t>(begin, end, 1), [&](const auto& range) {
            for (std::size_t k = range.begin(); k != range.end(); ++k) {
                // The thread's own copy says on opening what the first copy said already.
                std::shared_ptr<Poppler::Document> own;
                try {
                    own = documents.local();
                } catch (const std::exception&) {
                }
                std::vector<std::string> said;
                ListeningToPoppler listening(said);
                try {
                    if (own) results[k] = renderPage(*own, plans[k], settings);
                    else results[k].failed = true;
                } catch (const std::exception&) {
                    // Out of memory: reported like a bitmap that cannot be made.
                    results[k] = PageResult();
                    results[k].failed = true;
                }
                results[k].damage = std::move(said);
            }
        });
        for (std::size_t k = begin; k < end; ++k) {
            if (results[k].failed) throw ConversionError::readerFailed(kStripTooLargeText);
            if (results[k].band.isNull()) continue;
            keptRows += results[k].band.height();
            ++keptPages;
        }
        if (stripWidth * (keptRows + gap * (keptPages - 1)) > static_cast<double>(kMaxStripPixels))
            throw ConversionError::readerFailed(kStripTooLargeText);
        begin = end;
    }

    CreditsStrip strip;
    double top = 0;
    for (std::size_t k = 0; k < results.size(); ++k) {
        PageResult& result = results[k];
        // A page poppler could not read, or drew blank while it complained, is a page lost; one
        // it drew while complaining may lack part of itself.
        if (result.missing)
            pageLost(plans[k].index, result.damage.empty() ? std::string("can't be read") : damaged(result.damage),
                     "it is left out.");
        else if (!result.damage.empty())
            pageLost(plans[k].index, damaged(result.damage),
                     result.band.isNull() ? "it is left out." : "it may be incomplete.");
        if (result.band.isNull()) continue;
        if (!strip.tiles.empty()) top += gap;
        const double rows = result.band.height();
        strip.tiles.push_back({std::move(result.band), top});
        top += rows;
    }
    if (strip.tiles.empty()) return std::nullopt;
    strip.width = targetWidth;
    strip.height = top;
    std::stable_sort(lost.begin(), lost.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> warnings;
    for (auto& [index, text] : lost) warnings.push_back(std::move(text));
    // Damage poppler found on opening that no page showed: the file is still told as damaged.
    if (warnings.empty() && !opening.empty())
        warnings.push_back("“" + name + "” is damaged (" + opening.front() + "): its pages may be incomplete.");
    strip.warnings = std::move(warnings);
    return strip;
}

}  // namespace qm
