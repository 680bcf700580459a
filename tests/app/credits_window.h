// The End Credits window with its models, for the end-to-end tests and the screenshot tool.
#pragma once

#include "app/app_shell.h"
#include "app/main_window.h"
#include "app/mode_setting.h"
#include "convert/conversion_queue.h"
#include "credits/views/chinese_choices_sheet.h"
#include "credits/views/credits_export_bar.h"
#include "credits/views/credits_settings_panel.h"
#include "credits/views/credits_view.h"
#include "platform/desktop/icons.h"

#include "window_fixture.h"
#include "credits/strip_test_support.h"
#include "support/qt_app.h"

#include <QApplication>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>

#include <cmath>

#include <gtest/gtest.h>

namespace qm {


namespace fs = std::filesystem;
using test::qpath;
using test::waitUntil;

class CreditsEndToEnd : public test::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        installIconTheme();
        QSettings().setValue("appMode", "credits");
        start();
        shell->window().resize(1280, 800);
    }
    QUrl picture(const std::string& name, const std::string& source) {
        test::ffmpeg({"-f", "lavfi", "-i", source, "-frames:v", "1", (dir / name).string()});
        return QUrl::fromLocalFile(qpath(dir / name));
    }
    QUrl list(const std::string& name, const std::vector<std::string>& lines) {
        nlohmann::json paragraphs = nlohmann::json::array();
        for (const std::string& line : lines)
            paragraphs.push_back({{"align", "center"}, {"runs", {{{"text", line}, {"size", 20}}}}});
        test::makeDocx({{"paragraphs", paragraphs}}, dir / name);
        return QUrl::fromLocalFile(qpath(dir / name));
    }
    void settle() {
        ASSERT_TRUE(waitUntil([&] {
            return (credits->strip().has_value() && !credits->isBuildingStrip() && !credits->isRenderingPreview()) ||
                   credits->errorMessage();
        }));
        ASSERT_FALSE(credits->errorMessage()) << credits->errorMessage()->toStdString();
    }

};

}  // namespace qm
