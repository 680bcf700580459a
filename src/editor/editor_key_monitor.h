#pragma once
// The editor's keyboard shortcuts: an application-wide key filter, installed while the editor is
// on screen, that turns keys meant for the editor into model commands and lets every other key
// through. Keys match by their place on the keyboard (named as on a US layout), not by the
// character the layout types there; modifiers match exactly.

#include <QObject>
#include <QPointer>

class QKeyEvent;
class QWindow;

namespace qm {

class EditorModel;

class EditorKeyMonitor : public QObject {
    Q_OBJECT

public:
    explicit EditorKeyMonitor(QObject* parent = nullptr);
    ~EditorKeyMonitor() override;

    // Installs the filter unless one is installed (the first model stays until stop()).
    void start(EditorModel* model);
    void stop();
    bool isStarted() const { return started_; }

    // Whether a key press in `window` is for the editor: the focused window, nothing modal, not a
    // dialog or popup, and no text input has the focus.
    static bool shouldHandle(const QWindow* window);
    // The shortcut table; true when the key was used.
    static bool handleKey(const QKeyEvent& event, EditorModel& model);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<EditorModel> model_;
    bool started_ = false;
};

}  // namespace qm
