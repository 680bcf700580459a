#pragma once
// An output-format picker as the user reads its menu: each section's header text, then the
// formats listed under it and whether each can be chosen.

#include <utility>
#include <vector>

#include <QComboBox>
#include <QStandardItemModel>

#include "core/output_format.h"

namespace qm::test {

struct PickerRow {
    OutputFormat format;
    bool enabled;
    bool operator==(const PickerRow&) const = default;
};
using PickerSection = std::pair<QString, std::vector<PickerRow>>;

inline std::vector<PickerSection> pickerSections(const QComboBox& picker) {
    std::vector<PickerSection> sections;
    const auto* rows = qobject_cast<const QStandardItemModel*>(picker.model());
    if (rows == nullptr) return sections;
    for (int i = 0; i < rows->rowCount(); ++i) {
        const QStandardItem* row = rows->item(i);
        const QVariant tag = row->data(Qt::UserRole);
        if (!tag.isValid())
            sections.push_back({row->text(), {}});
        else if (!sections.empty())
            sections.back().second.push_back({static_cast<OutputFormat>(tag.toInt()), row->isEnabled()});
        else
            sections.push_back({QString(), {{static_cast<OutputFormat>(tag.toInt()), row->isEnabled()}}});
    }
    return sections;
}

// The sections a picker of these group titles should show: each group's formats in catalogue
// order, those `offered` rejects shown disabled (or left out with `dropUnoffered`), and a group
// left empty without a section.
template <typename Offered>
std::vector<PickerSection> expectedSections(Offered offered, bool dropUnoffered) {
    static const std::pair<FormatGroup, const char*> titles[] = {
        {FormatGroup::hap, "Hap"},          {FormatGroup::dxv, "Resolume DXV"},
        {FormatGroup::proRes, "Apple ProRes"}, {FormatGroup::delivery, "H.264 / HEVC"},
        {FormatGroup::imageSequence, "Image Sequence"}, {FormatGroup::notch, "NotchLC"}};
    std::vector<PickerSection> sections;
    for (const auto& [g, title] : titles) {
        PickerSection section{QString::fromUtf8(title), {}};
        for (OutputFormat f : allOutputFormats) {
            if (group(f) != g) continue;
            if (offered(f) || !dropUnoffered) section.second.push_back({f, offered(f)});
        }
        if (!section.second.empty()) sections.push_back(section);
    }
    return sections;
}

}  // namespace qm::test
