#include "app/open_file_router.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QMimeDatabase>
#include <QTimer>

namespace qm {

QString lowerExtension(const QUrl& url) {
    const QString name = QFileInfo(url.path()).fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot <= 0) return {};  // no dot, or a hidden file's leading dot
    return name.mid(dot + 1).toLower();
}

namespace {

bool mimeSaysPicture(const QString& extension) {
    if (extension.isEmpty()) return false;
    static const QMimeDatabase db;
    const QList<QMimeType> types = db.mimeTypesForFileName(QStringLiteral("x.") + extension);
    for (const QMimeType& t : types)
        if (t.name().startsWith(QStringLiteral("image/"))) return true;
    return false;
}

bool isEditorProject(const QString& ext) { return ext == u"qmproj" || ext == u"qmpack"; }
bool isCreditsProject(const QString& ext) { return ext == u"qmcredits"; }
bool isCreditsList(const QString& ext) { return ext == u"docx" || ext == u"pdf"; }

}  // namespace

OpenFileRouter::OpenFileRouter(ModeStore modes, bool editorBuilt, bool creditsBuilt, PictureTest isPicture)
    : modes_(std::move(modes)),
      editorBuilt_(editorBuilt),
      creditsBuilt_(creditsBuilt),
      isPicture_(isPicture ? std::move(isPicture) : PictureTest(mimeSaysPicture)),
      defer_([](std::function<void()> work) { QTimer::singleShot(0, std::move(work)); }) {}

void OpenFileRouter::setQueue(QueueTarget queue) { queue_ = std::move(queue); }
void OpenFileRouter::setEditor(EditorTarget editor) { editor_ = std::move(editor); }
void OpenFileRouter::setCredits(CreditsTarget credits) { credits_ = std::move(credits); }

void OpenFileRouter::open(const QList<QUrl>& urls) {
    pending_.append(urls);
    routePending();
}

void OpenFileRouter::routePending() {
    if (!queue_) return;
    if (editorBuilt_ && !editor_) return;
    if (pending_.isEmpty()) return;
    const QList<QUrl> batch = std::exchange(pending_, {});

    // Files of modes this build lacks are simply queued (and fail at probing with their own text).
    const bool editorRoutes = editorBuilt_ && editor_.has_value();
    const bool creditsRoutes = creditsBuilt_ && credits_.has_value();

    QList<QUrl> editorProjects, creditsProjects, creditsLists, pictures;
    const bool inCredits = creditsRoutes && modes_.read && modes_.read() == QStringLiteral("credits");
    for (const QUrl& url : batch) {
        const QString ext = lowerExtension(url);
        if (editorRoutes && isEditorProject(ext)) editorProjects.append(url);
        if (creditsRoutes && isCreditsProject(ext)) creditsProjects.append(url);
        if (creditsRoutes && isCreditsList(ext)) creditsLists.append(url);
        if (inCredits && isPicture_(ext)) pictures.append(url);
    }

    if (creditsRoutes) {
        if (!creditsLists.isEmpty() || !pictures.isEmpty()) {
            if (modes_.write) modes_.write(QStringLiteral("credits"));
            if (credits_->openFiles) credits_->openFiles(creditsLists + pictures);
        }
        if (!creditsProjects.isEmpty()) {
            if (modes_.write) modes_.write(QStringLiteral("credits"));
            if (credits_->openProject) credits_->openProject(creditsProjects.first());
        }
    }

    QList<QUrl> rest;
    for (const QUrl& url : batch) {
        const QString ext = lowerExtension(url);
        if (editorRoutes && isEditorProject(ext)) continue;
        if (creditsRoutes && isCreditsProject(ext)) continue;
        if (creditsLists.contains(url) || pictures.contains(url)) continue;
        rest.append(url);
    }
    if (!rest.isEmpty() && queue_->add) queue_->add(rest);

    if (!editorProjects.isEmpty()) {
        if (modes_.write) modes_.write(QStringLiteral("edit"));
        if (editor_->openProject) {
            auto open = editor_->openProject;
            const QUrl first = editorProjects.first();
            defer_([open, first] { open(first); });
        }
    }
}

}  // namespace qm
