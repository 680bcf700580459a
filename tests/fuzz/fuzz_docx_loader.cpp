// Arbitrary bytes as a .docx file through the whole loader: archive, styles, relationships, body
// and pictures. Only the reader's own errors may come out.

#include <cmath>
#include <cstddef>
#include <cstdint>

#include <QtGlobal>

#include "documents/docx_reader.h"

// The picture decoders' complaints about broken data would drown the fuzzer's own output.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const qm::ZipArchive zip(std::vector<std::uint8_t>(data, data + size));
        const qm::DocxDocument document = qm::loadDocx(zip);
        if (!(document.textWidth >= 72) || !std::isfinite(document.textWidth)) __builtin_trap();
        for (const auto& paragraph : document.paragraphs)
            for (const auto& run : paragraph.runs)
                if (const auto* image = std::get_if<qm::DocxDocument::Run::Image>(&run.content))
                    if (!image->picture || !(image->size.width >= 0) || !(image->size.height >= 0)) __builtin_trap();
    } catch (const qm::ZipArchive::ZipError&) {
    } catch (const qm::DocxTooLargeError&) {
    }
    return 0;
}
