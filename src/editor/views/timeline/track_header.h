#pragma once
// One layer's header: disclosure of its keyframe lanes, its name, visibility, audio and a menu to
// move or delete it. Kept per layer id, so typed text follows its layer when layers move.

#include <QUuid>
#include <QWidget>

class QLineEdit;
class QMenu;
class QToolButton;

namespace qm {

class EditorModel;

class TrackHeader : public QWidget {
    Q_OBJECT

public:
    TrackHeader(EditorModel& editor, const QUuid& trackID, QWidget* parent = nullptr);

    const QUuid& trackID() const { return trackID_; }
    // Follows the layer's stored state (its index may have changed); typed text stays.
    void refresh();

    QToolButton* disclosureButton() const { return disclosure_; }
    QToolButton* visibilityButton() const { return visibility_; }
    QToolButton* audioButton() const { return audio_; }
    QLineEdit* nameField() const { return name_; }
    // The layer menu for the layer's current index (the caller owns it).
    QMenu* layerMenu(QWidget* parent);

private:
    std::optional<std::size_t> index() const;

    EditorModel& editor_;
    QUuid trackID_;
    QString storedName_;  // the layer's name the field last took
    bool loaded_ = false;
    QToolButton* disclosure_;
    QLineEdit* name_;
    QToolButton* visibility_;
    QToolButton* audio_;
    QToolButton* menuButton_;
};

}  // namespace qm
