#include "editor/views/timeline/track_header.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QSignalBlocker>
#include <QToolButton>
#include <QTransform>

#include "editor/editor_model.h"
#include "platform/desktop/icons.h"

namespace qm {

namespace {

QToolButton* flatButton(QWidget* parent, const QString& tip) {
    auto* b = new QToolButton(parent);
    b->setAutoRaise(true);
    b->setToolTip(tip);
    return b;
}

}  // namespace

TrackHeader::TrackHeader(EditorModel& editor, const QUuid& trackID, QWidget* parent)
    : QWidget(parent), editor_(editor), trackID_(trackID) {
    setFixedHeight(56);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(10, 0, 10, 0);
    row->setSpacing(6);
    disclosure_ = flatButton(this, tr("Show transform properties and keyframes"));
    disclosure_->setFixedWidth(18);
    connect(disclosure_, &QToolButton::clicked, this, [this] { editor_.toggleTrackExpanded(trackID_); });
    name_ = new QLineEdit(this);
    name_->setPlaceholderText(tr("Layer"));
    name_->setFrame(false);
    QFont f = name_->font();
    f.setWeight(QFont::Medium);
    name_->setFont(f);
    // Return commits, one undo step each time. Leaving the field (a click elsewhere, Tab) keeps a
    // changed name too: what the header shows is the layer's name.
    connect(name_, &QLineEdit::returnPressed, this, [this] {
        if (const auto i = index()) {
            const QString text = name_->text();
            editor_.updateTrack(*i, true, [text](Track& t) { t.name = text; });
        }
    });
    connect(name_, &QLineEdit::editingFinished, this, [this] {
        const auto i = index();
        const QString text = name_->text();
        if (i && editor_.project().tracks[*i].name != text)
            editor_.updateTrack(*i, true, [text](Track& t) { t.name = text; });
    });
    visibility_ = flatButton(this, tr("Show / Hide Layer"));
    connect(visibility_, &QToolButton::clicked, this, [this] {
        if (const auto i = index()) editor_.toggleTrackVisibility(*i, true);
    });
    audio_ = flatButton(this, tr("Audio On / Off"));
    connect(audio_, &QToolButton::clicked, this, [this] {
        if (const auto i = index()) editor_.toggleTrackAudio(*i, true);
    });
    menuButton_ = flatButton(this, QString());
    menuButton_->setIcon(symbolIcon(QStringLiteral("ellipsis")));
    menuButton_->setFixedWidth(22);
    menuButton_->setPopupMode(QToolButton::InstantPopup);
    menuButton_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    connect(menuButton_, &QToolButton::pressed, this, [this] {
        QMenu* menu = layerMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(menuButton_->mapToGlobal(QPoint(0, menuButton_->height())));
    });
    row->addWidget(disclosure_);
    row->addWidget(name_, 1);
    row->addWidget(visibility_);
    row->addWidget(audio_);
    row->addWidget(menuButton_);
    refresh();
}

std::optional<std::size_t> TrackHeader::index() const {
    const auto& tracks = editor_.project().tracks;
    for (std::size_t i = 0; i < tracks.size(); ++i)
        if (tracks[i].id == trackID_) return i;
    return std::nullopt;
}

void TrackHeader::refresh() {
    const auto i = index();
    if (!i) return;
    const Track& t = editor_.project().tracks[*i];
    // The field follows a changed stored name (undo, a rename elsewhere), not every rebuild.
    if (!loaded_ || t.name != storedName_) {
        const QSignalBlocker block(name_);
        name_->setText(t.name);
        storedName_ = t.name;
        loaded_ = true;
    }
    const bool expanded = editor_.expandedTracks().contains(trackID_);
    QPixmap chevron = symbolPixmap(QStringLiteral("chevron.right"), 12);
    if (expanded) chevron = chevron.transformed(QTransform().rotate(90));
    disclosure_->setIcon(QIcon(chevron));
    const QColor tertiary = palette().color(QPalette::PlaceholderText);
    visibility_->setIcon(t.isVisible ? symbolIcon(QStringLiteral("eye"))
                                     : QIcon(symbolPixmap(QStringLiteral("eye.slash"), 16, tertiary)));
    audio_->setIcon(t.isAudioEnabled ? symbolIcon(QStringLiteral("speaker.wave.2"))
                                     : QIcon(symbolPixmap(QStringLiteral("speaker.slash"), 16, tertiary)));
    visibility_->setProperty("on", t.isVisible);
    audio_->setProperty("on", t.isAudioEnabled);
}

QMenu* TrackHeader::layerMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    const auto i = index();
    const std::size_t count = editor_.project().tracks.size();
    QAction* up = menu->addAction(tr("Move Layer Up"), this, [this] {
        if (const auto at = index()) editor_.moveTrack(*at, -1);
    });
    up->setEnabled(i && *i > 0);
    QAction* down = menu->addAction(tr("Move Layer Down"), this, [this] {
        if (const auto at = index()) editor_.moveTrack(*at, 1);
    });
    down->setEnabled(i && *i + 1 < count);
    menu->addSeparator();
    menu->addAction(tr("Delete Layer"), this, [this] {
        if (const auto at = index()) editor_.deleteTrack(*at);
    });
    return menu;
}

}  // namespace qm
