#include "credits/views/credits_transport.h"

#include <algorithm>
#include <cmath>

#include <QHBoxLayout>
#include <QLabel>
#include <QShortcut>
#include <QSlider>
#include <QToolButton>

#include "credits/views/clock_format.h"
#include "platform/desktop/icons.h"
#include "view_kit/form_style.h"

namespace qm {

CreditsTransport::CreditsTransport(CreditsModel& model, QWidget* scope, QWidget* parent) : QWidget(parent), model_(model) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(16, 10, 16, 10);
    row->setSpacing(12);

    start_ = new QToolButton;
    start_->setAutoRaise(true);
    start_->setIcon(symbolIcon(QStringLiteral("backward.end.fill")));
    start_->setToolTip(tr("Go to Start"));
    start_->setAccessibleName(tr("Go to Start"));
    row->addWidget(start_);
    connect(start_, &QToolButton::clicked, &model_, [this] { model_.seek(0); });

    play_ = new QToolButton;
    play_->setAutoRaise(true);
    play_->setIconSize(QSize(22, 22));
    play_->setFixedWidth(26 + 8);
    play_->setToolTip(tr("Play / Pause (Space)"));
    row->addWidget(play_);
    connect(play_, &QToolButton::clicked, this, &CreditsTransport::togglePlayback);

    scrubber_ = new QSlider(Qt::Horizontal);
    scrubber_->setFocusPolicy(Qt::NoFocus);
    row->addWidget(scrubber_, 1);
    connect(scrubber_, &QSlider::valueChanged, &model_,
            [this](int position) { model_.seek(double(position) / kStepsPerSecond); });

    readout_ = new QLabel;
    readout_->setFixedWidth(92);
    readout_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    readout_->setForegroundRole(QPalette::PlaceholderText);
    readout_->setFont(digitsFont(readout_->font()));
    row->addWidget(readout_);

    // Space toggles playback anywhere in the credits screen; a focused text field overrides the
    // shortcut and keeps Space for typing.
    space_ = new QShortcut(QKeySequence(Qt::Key_Space), scope ? scope : this);
    space_->setContext(Qt::WidgetWithChildrenShortcut);
    connect(space_, &QShortcut::activated, this, &CreditsTransport::togglePlayback);

    for (auto signal : {&CreditsModel::playheadChanged, &CreditsModel::isPlayingChanged, &CreditsModel::rendererChanged})
        connect(&model_, signal, this, &CreditsTransport::refresh);
    refresh();
}

double CreditsTransport::scrubberEnd() const { return std::max(model_.length(), 0.1); }

void CreditsTransport::togglePlayback() {
    if (model_.isPlaying())
        model_.pause();
    else
        model_.play();
}

void CreditsTransport::refresh() {
    const bool playing = model_.isPlaying();
    play_->setIcon(symbolIcon(playing ? QStringLiteral("pause.fill") : QStringLiteral("play.fill")));
    play_->setAccessibleName(playing ? tr("Pause") : tr("Play"));
    const double end = scrubberEnd();
    const QSignalBlocker quiet(scrubber_);
    scrubber_->setRange(0, int(std::lround(end * kStepsPerSecond)));
    const double playhead = std::isfinite(model_.playhead()) ? std::clamp(model_.playhead(), 0.0, end) : 0.0;
    scrubber_->setValue(int(std::lround(playhead * kStepsPerSecond)));
    readout_->setText(timeText(model_.playhead()) + QStringLiteral(" / ") + timeText(model_.length()));
}

}  // namespace qm
