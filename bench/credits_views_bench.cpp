// One paint of the End Credits preview with a 1280 × 720 frame, offscreen: the frame drawn into
// picture areas of 1280 × 720 (no scaling), 960 × 540 and 1600 × 900 (smooth scaling down and up).
// The budget is a quarter of a 60 Hz frame (4.2 ms).
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include "credits/credits_model.h"
#include "credits/views/credits_preview.h"

namespace {

using namespace qm;

struct Scene {
    QTemporaryDir dir;
    std::unique_ptr<CreditsModel> model;

    Scene() {
        CreditsModel::Environment environment;
        environment.store = SettingsStore(dir.filePath(QStringLiteral("settings.ini")));
        model = std::make_unique<CreditsModel>(std::move(environment));
        CreditsSettings s = model->settings();
        s.width = 1280;
        s.height = 720;
        s.head.key = CreditsSettings::KeyMode::none;
        s.head.scalePercent = 100;
        model->setSettings(s);
        // A busy picture, so the scaling has detail to work on.
        QImage picture(1280, 720, QImage::Format_RGB32);
        for (int y = 0; y < picture.height(); ++y)
            for (int x = 0; x < picture.width(); ++x) picture.setPixel(x, y, qRgb(x * 7 % 256, y * 13 % 256, (x ^ y) % 256));
        const QString file = dir.filePath(QStringLiteral("opening.png"));
        picture.save(file);
        model->loadPicture(file, CreditsModel::Slot::opening);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((model->preview().isNull() || model->isRenderingPreview()) && std::chrono::steady_clock::now() < limit) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

Scene& scene() {
    static Scene* s = new Scene;
    return *s;
}

void PaintPreview(benchmark::State& state) {
    Scene& s = scene();
    if (s.model->preview().isNull()) {
        state.SkipWithError("no preview frame was rendered");
        return;
    }
    const int areaWidth = int(state.range(0));
    const QSize size(areaWidth + 2 * CreditsPreview::kInset, areaWidth * 9 / 16 + 2 * CreditsPreview::kInset);
    CreditsPreview preview(*s.model);
    preview.resize(size);
    QImage target(size, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        preview.render(&target);
        benchmark::DoNotOptimize(target.constBits());
    }
    state.counters["frame_w"] = s.model->preview().width();
    state.counters["area_w"] = preview.pictureArea().width();
}
BENCHMARK(PaintPreview)->Arg(1280)->Arg(960)->Arg(1600)->Unit(benchmark::kMillisecond);

}  // namespace
