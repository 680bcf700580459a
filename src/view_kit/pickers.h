#pragma once
// Picker rows shared by the modes' views: one row per case of a choice enumeration, and the output
// format picker with its group sections.

#include <functional>
#include <optional>

#include <QComboBox>
#include <QString>
#include <QVariant>

#include "core/output_format.h"

class QStandardItem;

namespace qm {

// Appends the row of one case: its title as plain text, tagged with the case, so the picker's
// selection is the case itself.
template <typename E>
void pickerOptionRow(QComboBox* picker, E value, const QString& title) {
    picker->addItem(title, QVariant(static_cast<int>(value)));
}

// The case a row is tagged with; none for a row without a tag (a section header).
template <typename E>
std::optional<E> pickerOption(const QComboBox* picker, int index) {
    const QVariant tag = picker->itemData(index);
    if (!tag.isValid()) return std::nullopt;
    return static_cast<E>(tag.toInt());
}

// Shows the row tagged with a case, or no row when none is.
template <typename E>
void selectPickerOption(QComboBox* picker, E value) {
    picker->setCurrentIndex(picker->findData(QVariant(static_cast<int>(value))));
}

// The translated section title of a format group.
QString formatGroupTitleText(FormatGroup group);

// The row of one output format: its label as plain text, tagged with the format.
QStandardItem* outputFormatPickerRow(OutputFormat format);

// What a format picker does with formats it does not offer.
enum class UnofferedFormats { hidden, disabled };

// Fills a picker with one section per format group, in group order, headed by its title; each
// section lists its formats in catalogue order. With `hidden`, a group left without offered
// formats has no section.
void fillOutputFormatPicker(QComboBox* picker, const std::function<bool(OutputFormat)>& offered,
                            UnofferedFormats unoffered);

// The Hap chunk counts a picker offers: "Automatic" (0), then 1, 2, 4, 8, 16, each row tagged with
// its count.
void fillChunkCountPicker(QComboBox* picker);

}  // namespace qm
