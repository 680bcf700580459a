#pragma once
// The bar under the preview: go to start, play and pause (Space), the scrubber and the time.

#include <QWidget>

#include "credits/credits_model.h"

class QLabel;
class QShortcut;
class QSlider;
class QToolButton;

namespace qm {

class CreditsTransport : public QWidget {
    Q_OBJECT
public:
    // Scrubber positions per second of the roll.
    static constexpr int kStepsPerSecond = 1000;

    // `scope` is the widget within which Space toggles playback (the whole credits screen).
    explicit CreditsTransport(CreditsModel& model, QWidget* scope = nullptr, QWidget* parent = nullptr);

    QToolButton* startButton() const { return start_; }
    QToolButton* playButton() const { return play_; }
    QSlider* scrubber() const { return scrubber_; }
    QLabel* readout() const { return readout_; }
    // The scrubber's upper end in seconds: the roll's length, at least 0.1.
    double scrubberEnd() const;

    // Toggles playback as the play button does.
    void togglePlayback();

private:
    void refresh();

    CreditsModel& model_;
    QToolButton* start_ = nullptr;
    QToolButton* play_ = nullptr;
    QSlider* scrubber_ = nullptr;
    QLabel* readout_ = nullptr;
    QShortcut* space_ = nullptr;
};

}  // namespace qm
