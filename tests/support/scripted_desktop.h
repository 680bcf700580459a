#pragma once
// Desktop services whose panels and questions answer from queues a test fills, recording what
// was asked.

#include <deque>
#include <optional>
#include <vector>

#include "platform/system/desktop_services.h"

namespace qm::test {

class ScriptedDesktop : public DesktopServices {
public:
    QStringList runOpenPanel(const OpenPanelRequest& request) override {
        opens.push_back(request);
        if (openAnswers.empty()) return {};
        QStringList answer = openAnswers.front();
        openAnswers.pop_front();
        return answer;
    }
    std::optional<QString> runSavePanel(const SavePanelRequest& request) override {
        saves.push_back(request);
        if (saveAnswers.empty()) return std::nullopt;
        const QString answer = saveAnswers.front();
        saveAnswers.pop_front();
        if (answer.isEmpty()) return std::nullopt;
        return answer;
    }
    void revealInFileManager(const QStringList& paths) override { revealed.append(paths); }
    void playCompletionSound() override {}
    void requestAttention(AttentionRequest) override {}
    SaveChangesAnswer askToSaveChanges(const QString& name) override {
        askedAbout.append(name);
        if (saveChangesAnswers.empty()) return SaveChangesAnswer::cancel;
        const SaveChangesAnswer answer = saveChangesAnswers.front();
        saveChangesAnswers.pop_front();
        return answer;
    }

    std::deque<QStringList> openAnswers;
    std::deque<QString> saveAnswers;  // an empty answer cancels the panel
    std::deque<SaveChangesAnswer> saveChangesAnswers;
    std::vector<OpenPanelRequest> opens;
    std::vector<SavePanelRequest> saves;
    QStringList revealed;
    QStringList askedAbout;
};

}  // namespace qm::test
