#pragma once
// The sheet for checking characters with more than one Simplified or Traditional form: the
// guessed places first, then those the surrounding word decided; each pick rebuilds the strip.

#include <QDialog>
#include <QString>

#include "credits/credits_model.h"

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace qm {

// The context of a choice cut around its place, in grapheme clusters as the converter counts
// characters: the offset is limited to the context, and a place running past its end stops there.
struct ContextSpans {
    QString before;
    QString place;
    QString after;
    bool operator==(const ContextSpans&) const = default;
};
ContextSpans contextSpans(const ChineseConverter::Choice& choice);

// One place in the list.
class ChoiceRow : public QWidget {
    Q_OBJECT
public:
    ChoiceRow(CreditsModel& model, const ChineseConverter::Choice& choice, int sameSourceCount, QWidget* parent = nullptr);

    const ChineseConverter::Choice& choice() const { return choice_; }
    QLabel* sourceLabel() const { return source_; }
    QLabel* contextLabel() const { return context_; }
    QComboBox* picker() const { return picker_; }
    // Null when no other place has this source.
    QPushButton* sameForAllButton() const { return sameForAll_; }

private:
    CreditsModel& model_;
    ChineseConverter::Choice choice_;
    QLabel* source_ = nullptr;
    QLabel* context_ = nullptr;
    QComboBox* picker_ = nullptr;
    QPushButton* sameForAll_ = nullptr;
};

class ChineseChoicesSheet : public QDialog {
    Q_OBJECT
public:
    explicit ChineseChoicesSheet(CreditsModel& model, QWidget* parent = nullptr);

    QLabel* explanation() const { return explanation_; }
    // The section headers, or null while a section is absent.
    QLabel* guessedHeader() const { return guessedHeader_; }
    QLabel* decidedHeader() const { return decidedHeader_; }
    QList<ChoiceRow*> rows() const;
    QPushButton* doneButton() const { return done_; }
    QProgressBar* busyIndicator() const { return busy_; }

private:
    void rebuild();
    void refreshState();

    CreditsModel& model_;
    QLabel* explanation_ = nullptr;
    QWidget* list_ = nullptr;
    QVBoxLayout* listRows_ = nullptr;
    QLabel* guessedHeader_ = nullptr;
    QLabel* decidedHeader_ = nullptr;
    QProgressBar* busy_ = nullptr;
    QPushButton* done_ = nullptr;
};

}  // namespace qm
