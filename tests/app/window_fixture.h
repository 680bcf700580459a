#pragma once
// The window put together with the real Convert queue, credits and editor models, on a settings
// folder and a scripted desktop of the test's own.

#include <memory>

#include <QApplication>
#include <QSettings>

#include <gtest/gtest.h>

#include "app/app_shell.h"
#include "app/mode_setting.h"
#include "convert/conversion_queue.h"
#include "credits/credits_model.h"
#include "credits/model_test_support.h"
#include "editor/editor_model.h"
#include "support/qt_app.h"

namespace qm::test {

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        qtApp<QApplication>();
        QCoreApplication::setOrganizationName("Quillmere");
        QCoreApplication::setApplicationName("QuillmereWindowTest");
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, qpath(dir.path()));
        QSettings().clear();
        setDesktopServices(&desktop);
    }
    void TearDown() override {
        desktop.saveChangesAnswers = {SaveChangesAnswer::dontSave};  // a dirty project closes unasked
        shell.reset();
        editor.reset();
        credits.reset();
        queue.reset();
        setDesktopServices(nullptr);
    }
    // An empty builder is the application's own, and so is a missing editor model.
    void start(CreditsModel::StripBuilder builder = {}, std::unique_ptr<EditorModel> editorModel = nullptr) {
        DesktopServices* const services = panels ? panels : &desktop;
        setDesktopServices(services);
        mode = std::make_unique<ModeSetting>();
        ConversionQueue::Environment convert;
        convert.desktop = services;
        convert.store = SettingsStore(qpath(dir / "convert.ini"));
        queue = std::make_unique<ConversionQueue>(std::move(convert));
        CreditsModel::Environment environment;
        environment.desktop = services;
        environment.store = SettingsStore(qpath(dir / "credits.ini"));
        environment.buildStrip = std::move(builder);
        credits = std::make_unique<CreditsModel>(std::move(environment));
        if (editorModel) {
            editor = std::move(editorModel);
        } else {
            EditorModel::Environment editing;
            editing.desktop = services;
            editor = std::make_unique<EditorModel>(std::move(editing));
        }
        shell = std::make_unique<AppShell>(*mode, *queue, *credits, *editor);
    }

    TempDir dir;
    ScriptedDesktop desktop;
    DesktopServices* panels = nullptr;  // the real panels, where a test sets them before start()
    std::unique_ptr<ModeSetting> mode;
    std::unique_ptr<ConversionQueue> queue;
    std::unique_ptr<CreditsModel> credits;
    std::unique_ptr<EditorModel> editor;
    std::unique_ptr<AppShell> shell;
};

}  // namespace qm::test
