// The Advanced Editor window with its models, for the end-to-end tests and the screenshot tool.
#pragma once

#include "app/main_window.h"
#include "editor/editor_model.h"
#include "editor/views/editor_view.h"
#include "editor/views/export_sheet.h"
#include "editor/views/inspector/inspector_view.h"
#include "editor/views/selection_overlay.h"
#include "editor/views/viewer_view.h"
#include "platform/desktop/icons.h"

#include "editor_views/project_json.h"
#include "window_fixture.h"

#include <QComboBox>
#include <QDialog>
#include <QMessageBox>
#include <QScreen>
#include <QPushButton>
#include <QTest>

#include <cmath>

#include <gtest/gtest.h>

namespace qm {


namespace fs = std::filesystem;
using namespace test::project_json;
using test::qpath;
using test::waitUntil;

class EditorEndToEnd : public test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        installIconTheme();
        start();
        shell->window().resize(1280, 800);
    }
    // Until the preview shows the project as it is at the playhead.
    void settle() {
        ASSERT_TRUE(waitUntil([&] {
            return !editor->isProbing() && !editor->isRendering() && !editor->renderPending() &&
                   !editor->previewImage().isNull();
        }));
        QApplication::processEvents();
    }
};

}  // namespace qm
