#include "view_kit/pickers.h"

#include <QCoreApplication>
#include <QStandardItemModel>

namespace qm {

namespace {

QString utf8(std::string_view s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

}  // namespace

void fillChunkCountPicker(QComboBox* picker) {
    for (int n : {0, 1, 2, 4, 8, 16})
        picker->addItem(n == 0 ? QCoreApplication::translate("ChunkCount", "Automatic") : QString::number(n), n);
}

QString formatGroupTitleText(FormatGroup group) {
    return QCoreApplication::translate("OutputFormat", std::string(formatGroupTitle(group)).c_str());
}

QStandardItem* outputFormatPickerRow(OutputFormat format) {
    auto* row = new QStandardItem(utf8(label(format)));
    row->setData(static_cast<int>(format), Qt::UserRole);
    return row;
}

void fillOutputFormatPicker(QComboBox* picker, const std::function<bool(OutputFormat)>& offered,
                            UnofferedFormats unoffered) {
    auto* rows = new QStandardItemModel(picker);
    QFont bold = picker->font();
    bold.setBold(true);
    for (FormatGroup g : allFormatGroups) {
        QList<QStandardItem*> section;
        for (OutputFormat f : allOutputFormats) {
            if (group(f) != g) continue;
            const bool isOffered = offered(f);
            if (!isOffered && unoffered == UnofferedFormats::hidden) continue;
            QStandardItem* row = outputFormatPickerRow(f);
            // Indented under its header; the tag, not the text, identifies the format.
            row->setText(QStringLiteral("   ") + row->text());
            if (!isOffered) row->setFlags(row->flags() & ~(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
            section.append(row);
        }
        if (section.isEmpty()) continue;
        auto* header = new QStandardItem(formatGroupTitleText(g));
        header->setFlags(Qt::NoItemFlags);
        header->setFont(bold);
        rows->appendRow(header);
        for (QStandardItem* row : section) rows->appendRow(row);
    }
    picker->setModel(rows);
}

}  // namespace qm
