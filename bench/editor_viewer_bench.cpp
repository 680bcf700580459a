// The viewer's repaint in a 1920 x 1080 view with a selected clip's handles drawn, each time over a
// fresh 1280 x 720 preview from the model, beside a bare QPainter::drawImage of such a preview
// into the same canvas. The budget is an eighth of a 30 fps frame (4.2 ms) and 1.5 x the bare draw.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>

#include "editor/editor_model.h"
#include "editor/views/viewer_view.h"

namespace {

using namespace qm;

// A new picture each call: a moving gradient, so no two are alike. Opaque, in the format the
// editor's preview of a project with an opaque background comes in.
QImage freshPreview() {
    static int n = 0;
    QImage image(1280, 720, QImage::Format_RGBX8888);
    QPainter p(&image);
    QLinearGradient g(0, 0, 1280, 720);
    g.setColorAt(0, QColor::fromHsv((n * 7) % 360, 200, 220));
    g.setColorAt(1, QColor::fromHsv((n * 7 + 180) % 360, 200, 120));
    ++n;
    p.fillRect(image.rect(), g);
    return image;
}

struct Scene {
    EditorModel model{[] {
        EditorModel::Environment environment;
        environment.render = [](const Project&, const MediaInfos&, double) { return freshPreview(); };
        environment.sound = false;
        return environment;
    }()};
    ViewerView view{model};

    Scene() {
        MediaItem item;
        item.id = QUuid::createUuid();
        item.name = QStringLiteral("shot.mov");
        item.width = 1280;
        item.height = 720;
        item.duration = 60;
        Project p = model.project();
        p.media.push_back(item);
        model.setProject(p);
        MediaInfos infos;
        infos.insert(item.id, MediaInfo{});
        model.setInfos(infos);
        model.addClipAtPlayhead(item.id);  // selected: the overlay draws its handles
        view.resize(1920, 1080);
        view.show();
        QApplication::processEvents();
    }

    // The next preview from the model's render path, outside the timing.
    void nextPreview() {
        const qint64 before = model.previewImage().cacheKey();
        model.requestRender();
        QElapsedTimer waited;
        waited.start();
        while (model.previewImage().cacheKey() == before && waited.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
};

void BM_ViewerRepaint(benchmark::State& state) {
    Scene scene;
    QImage target(scene.view.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        state.PauseTiming();
        scene.nextPreview();
        state.ResumeTiming();
        scene.view.render(&target);
        benchmark::DoNotOptimize(target.constBits());
    }
}
BENCHMARK(BM_ViewerRepaint)->Unit(benchmark::kMillisecond);

// The reference: the same fresh picture drawn into the same canvas of a 1920 x 1080 image.
void BM_BareDrawImage(benchmark::State& state) {
    Scene scene;
    const QRectF canvas = scene.view.canvasRect();
    QImage target(1920, 1080, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        state.PauseTiming();
        const QImage preview = freshPreview();
        state.ResumeTiming();
        QPainter p(&target);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(canvas, preview);
        p.end();
        benchmark::DoNotOptimize(target.constBits());
    }
}
BENCHMARK(BM_BareDrawImage)->Unit(benchmark::kMillisecond);

}  // namespace
