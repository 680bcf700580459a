#pragma once
// A user at the real file panels and their alerts. Each step waits until its kind of window is
// the active modal one, then acts on its widgets with keys and clicks. Steps run from fresh
// single-shot timers, so they go on while a panel, or an alert over it, runs its own loop.

#include <deque>
#include <functional>

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace qm::test {

class PanelUser {
public:
    PanelUser() = default;
    PanelUser(const PanelUser&) = delete;
    PanelUser& operator=(const PanelUser&) = delete;

    // Types `text` into the name field and presses Return.
    PanelUser& type(const QString& text) {
        return onPanel([text](QFileDialog& panel) {
            QLineEdit* edit = panel.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            // A person types into the active panel. Qt fills the name field from the list's
            // selection whenever the field has no focus, which would overwrite the typing.
            QApplication::setActiveWindow(&panel);
            edit->setFocus();
            edit->selectAll();
            QTest::keyClick(edit, Qt::Key_Backspace);
            QTest::keyClicks(edit, text);
            // A user's first Return would take the completion list away.
            if (edit->completer() && edit->completer()->popup()) edit->completer()->popup()->hide();
            QTest::keyClick(edit, Qt::Key_Return);
        });
    }
    // Clicks `name` in the list of the panel's folder, then its default button (or double-clicks).
    PanelUser& pick(const QString& name, bool doubleClick = false) {
        add({[name](QWidget* w) { return itemRect(panelOf(w), name).isValid(); },
                          [name, doubleClick](QWidget* w) {
                              QFileDialog* panel = panelOf(w);
                              auto* list = panel->findChild<QListView*>(QStringLiteral("listView"));
                              const QPoint at = itemRect(panel, name).center();
                              QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
                              if (doubleClick) {
                                  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
                                  return;
                              }
                              auto* box = panel->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
                              QTest::mouseClick(box->buttons().first(), Qt::LeftButton);
                          }});
        return *this;
    }
    // Waits until `name` is listed in the panel's folder, as a person looks before typing (the
    // panel lists a folder in the background).
    PanelUser& sees(const QString& name) {
        add({[name](QWidget* w) { return itemRect(panelOf(w), name).isValid(); }, [](QWidget*) {}});
        return *this;
    }
    // Clicks the button titled `title` in the alert that comes up.
    PanelUser& answer(const QString& title) {
        add({[](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                          [title](QWidget* w) {
                              for (QAbstractButton* b : static_cast<QMessageBox*>(w)->buttons())
                                  if (b->text().remove(u'&') == title) QTest::mouseClick(b, Qt::LeftButton);
                          }});
        return *this;
    }
    // Reads the question and its explanation of the alert that comes up into `into`, one line each.
    PanelUser& readAlert(QString& into) {
        add({[](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
             [&into](QWidget* w) {
                 const auto* box = static_cast<QMessageBox*>(w);
                 into = box->text() + u'\n' + box->informativeText();
             }});
        return *this;
    }
    // Reads the panel's notice (what it says about the typed name) into `into`.
    PanelUser& readNotice(QString& into) {
        return onPanel([&into](QFileDialog& panel) {
            const auto* notice = panel.findChild<QLabel*>(QStringLiteral("panelNotice"));
            into = notice && notice->isVisible() ? notice->text() : QString();
        });
    }
    // With a panel or alert up, waits until `condition` holds, then runs `act`.
    PanelUser& when(std::function<bool()> condition, std::function<void()> act = {}) {
        add({[condition = std::move(condition)](QWidget*) { return condition(); },
             [act = std::move(act)](QWidget*) {
                 if (act) act();
             }});
        return *this;
    }
    PanelUser& onPanel(std::function<void(QFileDialog&)> act) {
        add({[](QWidget* w) { return panelOf(w) != nullptr; },
                          [act = std::move(act)](QWidget* w) { act(*panelOf(w)); }});
        return *this;
    }
    bool done() const { return steps_.empty(); }

private:
    struct Step {
        std::function<bool(QWidget*)> ready;
        std::function<void(QWidget*)> act;
    };

    static QFileDialog* panelOf(QWidget* w) { return qobject_cast<QFileDialog*>(w); }
    static QRect itemRect(QFileDialog* panel, const QString& name) {
        if (panel == nullptr) return {};
        auto* list = panel->findChild<QListView*>(QStringLiteral("listView"));
        auto* model = qobject_cast<QFileSystemModel*>(list->model());
        const QModelIndex index = model->index(QDir(panel->directory()).filePath(name));
        if (!index.isValid() || index.parent() != list->rootIndex()) return {};
        return list->visualRect(index);
    }

    void add(Step step) {
        steps_.push_back(std::move(step));
        if (!armed_) arm();
        armed_ = true;
    }
    void arm() {
        QTimer::singleShot(10, &context_, [this] {
            arm();  // first, so that a step that opens a nested loop does not stop the others
            QWidget* modal = QApplication::activeModalWidget();
            if (modal == nullptr || !modal->isVisible()) return;
            if (steps_.empty() || !steps_.front().ready(modal)) {
                // A window nobody acts on any more is closed, so that a failing test ends.
                if (++idle_ > 1000) modal->close();
                return;
            }
            idle_ = 0;
            const Step step = std::move(steps_.front());
            steps_.pop_front();
            step.act(modal);
        });
    }

    QObject context_;
    int idle_ = 0;
    bool armed_ = false;
    std::deque<Step> steps_;
};

}  // namespace qm::test
