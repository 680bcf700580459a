#include "app/app_mode.h"
#include "app/open_file_router.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

QUrl file(const char* path) { return QUrl::fromLocalFile(QString::fromUtf8(path)); }

// A router over recording fakes; every mode is built unless a test says otherwise.
struct Harness {
    QString mode;
    QList<QList<QUrl>> queued, creditsFiles;
    QList<QUrl> creditsProjects, editorProjects;
    OpenFileRouter router;

    explicit Harness(QString storedMode = {}, bool editorBuilt = true, bool creditsBuilt = true)
        : mode(std::move(storedMode)),
          router({[this] { return mode; }, [this](const QString& m) { mode = m; }}, editorBuilt, creditsBuilt,
                 [](const QString& ext) { return ext == u"png" || ext == u"jpg"; }) {
        router.setDeferral([](std::function<void()> work) { work(); });
    }
    void handOver(bool editor = true, bool credits = true) {
        if (credits)
            router.setCredits({[this](const QList<QUrl>& u) { creditsFiles.append(u); },
                               [this](const QUrl& u) { creditsProjects.append(u); }});
        router.setQueue({[this](const QList<QUrl>& u) { queued.append(u); }});
        router.routePending();
        if (editor) router.setEditor({[this](const QUrl& u) { editorProjects.append(u); }});
        router.routePending();
    }
};

TEST(OpenFileRouting, FilesWaitUntilTheModelsAreHandedOver) {
    Harness h;
    h.router.open({file("/m/a.mov")});
    EXPECT_EQ(h.router.pendingUrls().size(), 1);
    h.router.setQueue({[&](const QList<QUrl>& u) { h.queued.append(u); }});
    h.router.routePending();
    EXPECT_TRUE(h.queued.isEmpty()) << "the editor is not known yet";
    h.router.setEditor({[&](const QUrl& u) { h.editorProjects.append(u); }});
    h.router.routePending();
    ASSERT_EQ(h.queued.size(), 1);
    EXPECT_EQ(h.queued[0], QList<QUrl>{file("/m/a.mov")});
    EXPECT_TRUE(h.mode.isEmpty()) << "a queued movie does not change the mode";
}

TEST(OpenFileRouting, ExtensionsAreComparedInLowerCase) {
    Harness h("convert");
    h.handOver();
    h.router.open({file("/d/List.DOCX"), file("/d/noext"), file("/d/.hidden")});
    EXPECT_EQ(h.mode, "credits");
    ASSERT_EQ(h.creditsFiles.size(), 1);
    EXPECT_EQ(h.creditsFiles[0], QList<QUrl>{file("/d/List.DOCX")});
    ASSERT_EQ(h.queued.size(), 1);
    EXPECT_EQ(h.queued[0], (QList<QUrl>{file("/d/noext"), file("/d/.hidden")}));
}

TEST(OpenFileRouting, PicturesGoToCreditsOnlyInCreditsModeAndAfterLists) {
    Harness convert("convert");
    convert.handOver();
    convert.router.open({file("/p/a.png")});
    EXPECT_TRUE(convert.creditsFiles.isEmpty());
    ASSERT_EQ(convert.queued.size(), 1);

    Harness credits("credits");
    credits.handOver();
    credits.router.open({file("/p/a.png"), file("/p/b.docx")});
    ASSERT_EQ(credits.creditsFiles.size(), 1);
    EXPECT_EQ(credits.creditsFiles[0], (QList<QUrl>{file("/p/b.docx"), file("/p/a.png")}));
    EXPECT_TRUE(credits.queued.isEmpty());
}

TEST(OpenFileRouting, OnlyTheFirstProjectOfEachKindOpensAndTheLastRouteSetsTheMode) {
    Harness h("convert");
    h.handOver();
    h.router.open({file("/x/one.qmproj"), file("/x/two.qmproj")});
    EXPECT_EQ(h.editorProjects, QList<QUrl>{file("/x/one.qmproj")});
    EXPECT_TRUE(h.queued.isEmpty()) << "extra projects are dropped, not queued";
    EXPECT_EQ(h.mode, "edit");

    h.router.open({file("/x/p.qmpack"), file("/x/clip.mov")});
    EXPECT_EQ(h.editorProjects.last(), file("/x/p.qmpack"));
    ASSERT_EQ(h.queued.size(), 1);
    EXPECT_EQ(h.mode, "edit");

    h.router.open({file("/x/c.qmcredits"), file("/x/list.pdf")});
    EXPECT_EQ(h.creditsFiles.last(), QList<QUrl>{file("/x/list.pdf")});
    EXPECT_EQ(h.creditsProjects, QList<QUrl>{file("/x/c.qmcredits")});
    EXPECT_EQ(h.mode, "credits");

    const auto before = h.queued.size();
    h.router.open({});
    EXPECT_EQ(h.queued.size(), before);
}

TEST(OpenFileRouting, FilesOfModesNotBuiltAreQueuedAndRoutingWaitsForTheQueueAlone) {
    Harness h("credits", /*editorBuilt=*/false, /*creditsBuilt=*/false);
    h.router.open({file("/y/a.qmproj"), file("/y/b.docx"), file("/y/c.png"), file("/y/d.qmcredits")});
    h.router.setQueue({[&](const QList<QUrl>& u) { h.queued.append(u); }});
    h.router.routePending();
    ASSERT_EQ(h.queued.size(), 1);
    EXPECT_EQ(h.queued[0].size(), 4);
    EXPECT_EQ(h.mode, "credits") << "the stored mode is left alone";
}

}  // namespace
}  // namespace qm
