// qm-bench editor-view PROJECT [--size WxH] [--paint N] [--play S] [--grab PNG]: the editor's window
// content offscreen on a model that plays without sound, a project opened as the editor opens it,
// its first preview painted; then the viewer's repaint time, a playback's pacing and a screenshot.

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QImage>
#include <QPixmap>

#include "editor/editor_model.h"
#include "editor/views/editor_view.h"
#include "editor/views/viewer_view.h"
#include "gui_app.h"
#include "platform/desktop/icons.h"
#include "registry.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string project;
    int width = 1600, height = 1000;
    std::optional<int> paint;
    std::optional<double> play;
    std::optional<std::string> grab;
};

std::optional<int> positiveInt(const std::string& s) {
    try {
        std::size_t used = 0;
        const long long v = std::stoll(s, &used);
        if (used == s.size() && v >= 1 && v <= 1000000) return int(v);
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::optional<Options> parse(const std::vector<std::string>& args) {
    if (args.empty() || args[0].empty() || args[0][0] == '-') return std::nullopt;
    Options o;
    o.project = args[0];
    for (std::size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) return std::nullopt;
        const std::string& name = args[i];
        const std::string& value = args[i + 1];
        if (name == "--size") {
            const auto x = value.find('x');
            if (x == std::string::npos) return std::nullopt;
            const auto w = positiveInt(value.substr(0, x)), h = positiveInt(value.substr(x + 1));
            if (!w || !h || *w > 16384 || *h > 16384) return std::nullopt;
            o.width = *w;
            o.height = *h;
        } else if (name == "--paint") {
            if (!(o.paint = positiveInt(value))) return std::nullopt;
        } else if (name == "--play") {
            try {
                std::size_t used = 0;
                const double s = std::stod(value, &used);
                if (used != value.size() || !std::isfinite(s) || s <= 0) return std::nullopt;
                o.play = s;
            } catch (const std::exception&) {
                return std::nullopt;
            }
        } else if (name == "--grab") {
            if (value.empty()) return std::nullopt;
            o.grab = value;
        } else {
            return std::nullopt;
        }
    }
    return o;
}

// Counts the distinct preview pictures the viewer's picture area paints (while playing, once
// playback has begun).
class PaintWatch : public QObject {
public:
    explicit PaintWatch(const qm::EditorModel& model) : model_(model) {}
    std::size_t shown() const { return shown_.size(); }
    bool painted() const { return !shown_.empty(); }
    bool painted(qint64 picture) const { return shown_.count(picture) > 0; }
    // From now on: only while playing, and not the picture already up.
    void reset(qint64 shownBefore) {
        shown_.clear();
        whilePlaying_ = true;
        before_ = shownBefore;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !model_.previewImage().isNull() && (!whilePlaying_ || model_.isPlaying()) &&
            model_.previewImage().cacheKey() != before_)
            shown_.insert(model_.previewImage().cacheKey());
        return QObject::eventFilter(watched, event);
    }

private:
    const qm::EditorModel& model_;
    std::set<qint64> shown_;
    bool whilePlaying_ = false;
    qint64 before_ = 0;
};

void spin() {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::microseconds(500));
}

std::pair<double, double> percentiles(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, std::size_t(q * double(ms.size() - 1) + 0.5))]; };
    return {at(0.5), at(0.95)};
}

int editorView(const std::vector<std::string>& args) {
    const auto options = parse(args);
    if (!options) {
        std::fprintf(stderr, "usage: qm-bench editor-view PROJECT [--size WxH] [--paint N] [--play S] [--grab PNG]\n");
        return 2;
    }
    qm::bench::ensureGuiApplication<QApplication>();
    std::setlocale(LC_NUMERIC, "C");  // the printed numbers are read by scripts
    qm::installIconTheme();

    qm::EditorModel::Environment silent;
    silent.sound = false;
    qm::EditorModel model(silent);
    qm::EditorView view(model);
    PaintWatch watch(model);
    view.viewer()->pictureArea()->installEventFilter(&watch);
    view.resize(options->width, options->height);
    view.show();

    const QFuture<void> opened = model.openProject(QString::fromStdString(options->project));
    while (!opened.isFinished()) spin();
    if (!model.importErrors().isEmpty()) {
        for (const QString& e : model.importErrors()) std::fprintf(stderr, "qm-bench editor-view: %s\n", qPrintable(e));
        return 1;
    }
    // The first picture of the opened project, painted: once its media are probed, the render
    // that follows has ended and its picture is on screen.
    QElapsedTimer waited;
    waited.start();
    while ((model.isProbing() || model.isRendering() || !watch.painted(model.previewImage().cacheKey())) &&
           waited.elapsed() < 120000)
        spin();
    if (!watch.painted()) {
        std::fprintf(stderr, "qm-bench editor-view: no preview was painted\n");
        return 1;
    }

    if (options->paint) {
        // Into an image, as the window's backing store would: the offscreen platform exposes nothing.
        QWidget* viewer = view.viewer();
        QImage target(viewer->size() * viewer->devicePixelRatio(), QImage::Format_ARGB32_Premultiplied);
        target.setDevicePixelRatio(viewer->devicePixelRatio());
        std::vector<double> ms;
        for (int k = 0; k < *options->paint; ++k) {
            const auto started = Clock::now();
            viewer->render(&target);
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
        }
        const auto [p50, p95] = percentiles(ms);
        std::printf("paint n=%d p50_ms=%.3f p95_ms=%.3f\n", *options->paint, p50, p95);
    }

    if (options->play) {
        if (model.playhead() != 0) {
            const qint64 before = model.previewImage().cacheKey();
            model.seek(0);
            QElapsedTimer settle;
            settle.start();
            while (model.previewImage().cacheKey() == before && settle.elapsed() < 10000) spin();
        }
        watch.reset(model.previewImage().cacheKey());
        QElapsedTimer clock;
        clock.start();
        model.play();
        while (model.isPlaying()) {
            if (double(clock.nsecsElapsed()) / 1e9 >= *options->play) {
                model.pause();
                break;
            }
            spin();
        }
        // Due: the frames whose time the playhead passed, the first included.
        const double fps = model.project().frameRate;
        const long long due = fps > 0 && std::isfinite(fps) ? std::llround(std::floor(model.playhead() * fps + 1e-6)) : 0;
        std::printf("play due=%lld rendered=%d shown=%zu playhead=%.3f\n", due, model.playbackFrames(), watch.shown(),
                    model.playhead());
    }

    if (options->grab) {
        const QImage shot = view.grab().toImage();
        if (!shot.save(QString::fromStdString(*options->grab), "PNG")) {
            std::fprintf(stderr, "qm-bench editor-view: cannot write %s\n", options->grab->c_str());
            return 1;
        }
        std::printf("grab %s %dx%d\n", options->grab->c_str(), shot.width(), shot.height());
    }
    return 0;
}

const qm::bench::Register registered(
    "editor-view", "PROJECT [--size WxH] [--paint N] [--play S] [--grab PNG]   (the editor offscreen: repaint, playback, screenshot)",
    editorView);

}  // namespace
