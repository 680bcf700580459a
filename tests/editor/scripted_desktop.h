#pragma once
// Desktop services whose panels and questions answer from queues the test fills, recording what
// was asked.

#include <deque>
#include <optional>
#include <vector>

#include "platform/system/desktop_services.h"

namespace qm::test {

struct ScriptedDesktop : DesktopServices {
    std::deque<QStringList> openAnswers;
    std::deque<std::optional<QString>> saveAnswers;
    std::deque<SaveChangesAnswer> saveChangesAnswers;
    std::vector<OpenPanelRequest> openRequests;
    std::vector<SavePanelRequest> saveRequests;
    QStringList askedAbout;

    QStringList runOpenPanel(const OpenPanelRequest& request) override {
        openRequests.push_back(request);
        if (openAnswers.empty()) return {};
        QStringList answer = openAnswers.front();
        openAnswers.pop_front();
        return answer;
    }
    std::optional<QString> runSavePanel(const SavePanelRequest& request) override {
        saveRequests.push_back(request);
        if (saveAnswers.empty()) return std::nullopt;
        auto answer = saveAnswers.front();
        saveAnswers.pop_front();
        return answer;
    }
    void revealInFileManager(const QStringList&) override {}
    void playCompletionSound() override {}
    void requestAttention(AttentionRequest) override {}
    SaveChangesAnswer askToSaveChanges(const QString& name) override {
        askedAbout.append(name);
        if (saveChangesAnswers.empty()) return SaveChangesAnswer::cancel;
        auto answer = saveChangesAnswers.front();
        saveChangesAnswers.pop_front();
        return answer;
    }
};

}  // namespace qm::test
