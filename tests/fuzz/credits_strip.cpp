// Arbitrary bytes as a credits list file (.docx or .pdf, chosen at build time) through buildStrip
// at a small width. Only the builder's documented errors may come out, and the strip must hold
// together: tiles inside it, top to bottom, in the tile format.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#include <QGuiApplication>
#include <QtGlobal>

#include "core/conversion_error.h"
#include "credits/strip_builder.h"
#include "documents/docx_reader.h"
#include "documents/zip_archive.h"

namespace {
std::filesystem::path file;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = new QGuiApplication(argc, argv);
    (void)app;
    file = std::filesystem::temp_directory_path() / ("qm-fuzz-" + std::to_string(getpid()) + QM_FUZZ_EXTENSION);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (std::FILE* f = std::fopen(file.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    } else {
        return 0;
    }
    qm::CreditsSettings settings;
    settings.width = 96;
    try {
        const qm::CreditsStrip strip = qm::buildStrip(file, settings, {});
        double bottom = 0;
        for (const auto& tile : strip.tiles) {
            if (tile.image.isNull() || tile.image.format() != qm::CreditsStrip::kTileFormat) __builtin_trap();
            if (tile.top < bottom || tile.top + tile.image.height() > std::ceil(strip.height) + 1) __builtin_trap();
            bottom = tile.top + tile.image.height();
        }
    } catch (const qm::ConversionError&) {
    } catch (const qm::ZipArchive::ZipError&) {
    } catch (const qm::DocxTooLargeError&) {
    } catch (const std::system_error&) {
    }
    return 0;
}
