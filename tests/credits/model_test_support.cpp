#include "model_test_support.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include "support/qt_app.h"

namespace qm::test {

CreditsStrip StripGate::build(const CreditsSettings& settings) {
    std::unique_lock guard(lock_);
    ++calls_;
    lastWidth_ = settings.width;
    opened_.wait(guard, [this] { return !closed_; });
    if (error) throw ConversionError::readerFailed(*error);
    QImage band(int(settings.width * 6 / 10), 400, CreditsStrip::kTileFormat);
    band.fill(Qt::white);
    CreditsStrip strip = CreditsStrip::fromPicture(band);
    strip.choices = choices;
    return strip;
}

void StripGate::close() {
    std::lock_guard guard(lock_);
    closed_ = true;
}

void StripGate::release() {
    {
        std::lock_guard guard(lock_);
        closed_ = false;
    }
    opened_.notify_all();
}

int StripGate::calls() const {
    std::lock_guard guard(lock_);
    return calls_;
}

int64_t StripGate::lastWidth() const {
    std::lock_guard guard(lock_);
    return lastWidth_;
}

void CreditsModelTest::SetUp() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qtApp<QGuiApplication>();
}

void CreditsModelTest::TearDown() {
    gate->release();
    model.reset();
}

std::unique_ptr<CreditsModel> CreditsModelTest::makeModel(bool realBuilder) {
    CreditsModel::Environment environment;
    environment.desktop = &desktop;
    environment.store = store();
    if (!realBuilder) {
        environment.buildStrip = [gate = gate](const std::filesystem::path&, const CreditsSettings& settings,
                                               const ChineseConverter::Overrides&) { return gate->build(settings); };
    }
    environment.clock = [clock = clock] { return *clock; };
    return std::make_unique<CreditsModel>(std::move(environment));
}

std::filesystem::path CreditsModelTest::picture(const std::string& name, const std::string& color) {
    const std::filesystem::path file = dir / name;
    std::filesystem::create_directories(file.parent_path());
    ffmpeg({"-f", "lavfi", "-i", "color=" + color + ":s=64x48", "-frames:v", "1", file.string()});
    return file;
}

}  // namespace qm::test
