#include "credits/credits_model.h"

#include <QDir>
#include <QFileInfo>
#include <QThreadPool>

#include "core/conversion_error.h"
#include "core/output_format.h"
#include "platform/system/desktop_services.h"
#include "platform/system/model_support.h"

namespace qm {

// --- Export --------------------------------------------------------------------------------------

QString CreditsModel::exportName() const {
    const QString base = documentURL_.isEmpty() ? tr("End Credits") : QFileInfo(documentURL_).completeBaseName();
    return QStringLiteral("%1_%2x%3_%4")
        .arg(base)
        .arg(settings_.width)
        .arg(settings_.height)
        .arg(QString::fromUtf8(fileTag(output_.format).data(), qsizetype(fileTag(output_.format).size())));
}

QString CreditsModel::projectName() const {
    return projectURL_.isEmpty() ? QString() : QFileInfo(projectURL_).completeBaseName();
}

QString CreditsModel::defaultBaseName() const {
    if (!projectURL_.isEmpty()) return projectName();
    if (!documentURL_.isEmpty()) return QFileInfo(documentURL_).completeBaseName();
    return tr("End Credits");
}

void CreditsModel::revealPackage() {
    if (!lastPackageURL_.isEmpty()) desktop().revealInFileManager({lastPackageURL_});
}

void CreditsModel::exportCredits() {
    // A second export would be refused anyway; asking for its destination first would only
    // throw the answer away.
    if (isExporting_ || !renderer_ || !(length() > 0)) return;
    pause();
    const QString name = exportName();
    QString destination;
    if (isImageSequence(output_.format)) {
        OpenPanelRequest request;
        request.canChooseFiles = false;
        request.canChooseDirectories = true;
        request.canCreateDirectories = true;
        request.prompt = tr("Export Here");
        request.kind = PanelKind::creditsExport;
        request.documentDirectory = panelFolder();
        const QStringList chosen = desktop().runOpenPanel(request);
        if (chosen.isEmpty()) return;
        destination = QDir(chosen.first()).filePath(name);
    } else {
        const bool mp4 = output_.format == OutputFormat::h264 || output_.format == OutputFormat::hevc;
        const QString extension = mp4 ? QStringLiteral("mp4") : QStringLiteral("mov");
        SavePanelRequest request;
        request.suggestedName = name + QLatin1Char('.') + extension;
        request.allowedExtensions = {extension};
        request.kind = PanelKind::creditsExport;
        request.documentDirectory = panelFolder();
        const auto chosen = desktop().runSavePanel(request);
        if (!chosen || chosen->isEmpty()) return;
        destination = *chosen;
    }
    startExport(destination);
}

void CreditsModel::startExport(const QString& destination) {
    if (isExporting_ || !renderer_) return;
    const ConversionSettings output = output_;
    setIsExporting(true);
    setExportResult(QString());
    setExportError(std::nullopt);
    setExportProgress(TranscodeProgress{});
    const uint64_t generation = ++exportGeneration_;
    std::shared_ptr<CreditsExporter> exporter;
    try {
        auto renderer = std::make_shared<const CreditsRenderer>(renderer_->settings(), headKeyed_, strip_, tailKeyed_);
        exporter = std::make_shared<CreditsExporter>(std::move(renderer), output, toPath(destination));
    } catch (const std::exception& e) {
        exportFinished(generation, QString::fromUtf8(e.what()), false);
        return;
    }
    setExporter(exporter);
    exportPool_->start([this, exporter, generation] {
        std::optional<QString> error;
        bool cancelled = false;
        try {
            exporter->exportCredits([this, generation](const TranscodeProgress& progress) {
                postTo(this, [this, generation, progress] {
                    // Reports of an earlier export never overwrite a newer one's.
                    if (generation == exportGeneration_) setExportProgress(progress);
                });
            });
        } catch (const ConversionError& e) {
            if (e.kind() == ConversionError::Kind::cancelled) {
                cancelled = true;
            } else {
                error = QString::fromStdString(e.description());
            }
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
        // A sequence folder may have taken the next free name, and so may a movie whose name
        // another file took meanwhile.
        const QString written = QString::fromStdString(exporter->transcoder().output().string());
        postTo(this, [this, generation, error, cancelled, written] {
            if (generation != exportGeneration_) return;
            if (!error && !cancelled) setExportResult(written);
            exportFinished(generation, error, cancelled);
        });
    });
}

void CreditsModel::exportFinished(uint64_t generation, std::optional<QString> error, bool cancelled) {
    if (generation != exportGeneration_) return;
    setExportError(cancelled ? std::nullopt : error);
    setIsExporting(false);
    setExporter(nullptr);
}

void CreditsModel::cancelExport() {
    if (exporter_) exporter_->cancellation().set();
}

}  // namespace qm
