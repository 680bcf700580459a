#pragma once
// The pieces the inspector's forms are made of: titled sections, caption texts and buttons, and
// the one write of a clip's transform that the effect sections share.

#include <functional>

#include <QLabel>
#include <QString>
#include <QUuid>

#include "editor/model/clip_transform.h"

class QHBoxLayout;
class QPushButton;
class QVBoxLayout;
class QWidget;

namespace qm {

class EditorModel;

struct FormSection {
    QWidget* box = nullptr;
    QHBoxLayout* header = nullptr;
    QVBoxLayout* content = nullptr;
};

// A section appended to `form`; a non-empty title heads it as a label named "header".
FormSection addSection(QVBoxLayout* form, const QString& title);
QLabel* captionText(const QString& text);
QLabel* secondaryText(const QString& text);
// A borderless button in the caption size ("Reset").
QPushButton* captionButton(const QString& text, const QString& name);
QPushButton* namedButton(const QString& text, const QString& name);

// Looks the clip and its stored or default transform up again, changes a copy and stores it
// (with the clip's own opacity at 1); nothing when either is gone.
bool editClipTransform(EditorModel& model, const QUuid& clipID, bool undoable,
                       const std::function<void(ClipTransform&)>& change);

// One line of text cut in the middle to the width it is given (a long media name).
class MiddleElidedLabel : public QLabel {
public:
    MiddleElidedLabel();
    void setFullText(const QString& text);
    const QString& fullText() const { return full_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();
    QString full_;
};

// Sets a label's text only when it differs (a refresh runs on every step of a drag).
void setTextIfChanged(QLabel* label, const QString& text);

}  // namespace qm
