#include "credits/views/chinese_choices_sheet.h"

#include "credits/credits_fonts.h"

#include <algorithm>

#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTextBoundaryFinder>
#include <QVBoxLayout>

#include "platform/desktop/icons.h"
#include "view_kit/form_style.h"

namespace qm {

namespace {

constexpr const char* kOrange = "#e67e00";

QString utf8(const std::string& s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }

// Where each grapheme cluster starts, plus the end.
QList<qsizetype> clusterBounds(const QString& text) {
    QList<qsizetype> bounds{0};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype at = finder.toNextBoundary(); at > 0; at = finder.toNextBoundary()) bounds.append(at);
    if (bounds.back() != text.size()) bounds.append(text.size());
    return bounds;
}

qsizetype clusterCount(const QString& text) { return clusterBounds(text).size() - 1; }

QLabel* sectionHeader(const QString& symbol, const QString& text, const QColor& colour) {
    auto* header = new QLabel(text);
    QFont bold = header->font();
    bold.setBold(true);
    header->setFont(bold);
    if (colour.isValid()) header->setStyleSheet(QStringLiteral("color: %1;").arg(colour.name()));
    header->setProperty("symbol", symbol);
    return header;
}

QWidget* headerRow(QLabel* header, const QColor& tint) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(4, 10, 4, 2);
    layout->setSpacing(6);
    auto* icon = new QLabel;
    icon->setPixmap(symbolPixmap(header->property("symbol").toString(), 16, tint));
    layout->addWidget(icon);
    layout->addWidget(header, 1);
    return row;
}

}  // namespace

ContextSpans contextSpans(const ChineseConverter::Choice& choice) {
    const QString context = utf8(choice.context);
    const QList<qsizetype> bounds = clusterBounds(context);
    const qsizetype count = bounds.size() - 1;
    const qsizetype start = std::clamp<qsizetype>(choice.contextOffset, 0, count);
    const qsizetype end = std::min(start + clusterCount(utf8(choice.result)), count);
    return {context.left(bounds[start]), context.mid(bounds[start], bounds[end] - bounds[start]),
            context.mid(bounds[end])};
}

// --- ChoiceRow -------------------------------------------------------------------------------

ChoiceRow::ChoiceRow(CreditsModel& model, const ChineseConverter::Choice& choice, int sameSourceCount, QWidget* parent)
    : QWidget(parent), model_(model), choice_(choice) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(4, 4, 4, 4);
    row->setSpacing(12);

    // The source is in the script converted from; context and options in the one converted to.
    const bool toTraditional = model_.settings().chineseConversion != ChineseConverter::Direction::toSimplified;
    source_ = new QLabel(utf8(choice.source) + QStringLiteral(" →"));
    QFont title = chineseFont(source_->font(), !toTraditional);
    title.setPointSizeF(title.pointSizeF() * 1.35);
    source_->setFont(title);
    source_->setForegroundRole(QPalette::PlaceholderText);
    source_->setFixedWidth(54);
    row->addWidget(source_);

    const ContextSpans spans = contextSpans(choice);
    context_ = new QLabel;
    context_->setTextFormat(Qt::RichText);
    context_->setText(spans.before.toHtmlEscaped() + QStringLiteral("<b style=\"color:%1\">").arg(QLatin1String(kOrange)) +
                      spans.place.toHtmlEscaped() + QStringLiteral("</b>") + spans.after.toHtmlEscaped());
    context_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    QFont contextFont = chineseFont(context_->font(), toTraditional);
    contextFont.setPointSizeF(contextFont.pointSizeF() * 1.15);
    context_->setFont(contextFont);
    row->addWidget(context_, 1);

    picker_ = new QComboBox;
    picker_->setFont(chineseFont(picker_->font(), toTraditional));
    picker_->setFixedWidth(70);
    picker_->setAccessibleName(utf8(choice.source));
    for (const std::string& option : choice.options) picker_->addItem(utf8(option), utf8(option));
    picker_->setCurrentIndex(picker_->findData(utf8(choice.result)));
    row->addWidget(picker_);
    connect(picker_, &QComboBox::activated, this, [this](int index) {
        model_.choose(picker_->itemData(index).toString().toStdString(), choice_, false);
    });

    // The button's column is kept on every row, so the pickers line up.
    auto* sameColumn = new QWidget;
    sameColumn->setFixedWidth(100);
    auto* sameLayout = new QHBoxLayout(sameColumn);
    sameLayout->setContentsMargins(0, 0, 0, 0);
    row->addWidget(sameColumn);
    if (sameSourceCount > 1) {
        sameForAll_ = new QPushButton(tr("Same for all %1").arg(sameSourceCount));
        sameForAll_->setFont(captionFont(sameForAll_->font()));
        sameForAll_->setToolTip(tr("Uses %1 everywhere %2 appears in the list.").arg(utf8(choice.result), utf8(choice.source)));
        sameLayout->addWidget(sameForAll_);
        connect(sameForAll_, &QPushButton::clicked, this, [this] { model_.choose(choice_.result, choice_, true); });
    }
}

// --- ChineseChoicesSheet ---------------------------------------------------------------------

ChineseChoicesSheet::ChineseChoicesSheet(CreditsModel& model, QWidget* parent) : QDialog(parent), model_(model) {
    setWindowModality(Qt::WindowModal);
    setWindowTitle(tr("Check the conversion"));
    setFixedSize(620, 560);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* header = new QWidget;
    auto* headerRows = new QVBoxLayout(header);
    headerRows->setContentsMargins(20, 20, 20, 20);
    headerRows->setSpacing(6);
    auto* heading = new QLabel(tr("Check the conversion"));
    QFont bold = heading->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.35);
    heading->setFont(bold);
    headerRows->addWidget(heading);
    explanation_ = new QLabel;
    explanation_->setWordWrap(true);
    explanation_->setForegroundRole(QPalette::PlaceholderText);
    headerRows->addWidget(explanation_);
    column->addWidget(header);
    column->addWidget(divider(Qt::Horizontal));

    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    list_ = new QWidget;
    listRows_ = new QVBoxLayout(list_);
    listRows_->setContentsMargins(16, 6, 16, 6);
    listRows_->setSpacing(2);
    scroll->setWidget(list_);
    column->addWidget(scroll, 1);
    column->addWidget(divider(Qt::Horizontal));

    auto* footer = new QWidget;
    auto* footerRow = new QHBoxLayout(footer);
    footerRow->setContentsMargins(16, 16, 16, 16);
    busy_ = new QProgressBar;
    busy_->setRange(0, 0);
    busy_->setTextVisible(false);
    busy_->setFixedSize(48, 8);
    footerRow->addWidget(busy_);
    footerRow->addStretch(1);
    done_ = new QPushButton(tr("Done"));
    done_->setDefault(true);
    footerRow->addWidget(done_);
    column->addWidget(footer);
    connect(done_, &QPushButton::clicked, this, &QDialog::accept);

    connect(&model_, &CreditsModel::stripChanged, this, &ChineseChoicesSheet::rebuild);
    connect(&model_, &CreditsModel::settingsChanged, this, &ChineseChoicesSheet::refreshState);
    connect(&model_, &CreditsModel::isBuildingStripChanged, this, &ChineseChoicesSheet::refreshState);
    rebuild();
}

QList<ChoiceRow*> ChineseChoicesSheet::rows() const { return list_->findChildren<ChoiceRow*>(); }

void ChineseChoicesSheet::refreshState() {
    const bool simplified = model_.settings().chineseConversion == ChineseConverter::Direction::toSimplified;
    explanation_->setText(tr("These characters have more than one %1 form (for example 干 can be 乾, 幹 or 干). Pick "
                             "the right one; the preview updates right away.")
                              .arg(simplified ? tr("Simplified") : tr("Traditional")));
    busy_->setVisible(model_.isBuildingStrip());
}

void ChineseChoicesSheet::rebuild() {
    // The list changes shape with each strip: rows are made afresh, keyed by the choice's id.
    while (QLayoutItem* item = listRows_->takeAt(0)) {
        if (QWidget* old = item->widget()) {
            // Out of the list at once; deleted later, as a row's own click may have led here.
            old->hide();
            old->setParent(nullptr);
            old->deleteLater();
        }
        delete item;
    }
    guessedHeader_ = nullptr;
    decidedHeader_ = nullptr;

    static const std::vector<ChineseConverter::Choice> none;
    const auto& all = model_.strip() ? model_.strip()->choices : none;
    auto sameSource = [&all](const ChineseConverter::Choice& c) {
        return int(std::count_if(all.begin(), all.end(), [&c](const auto& o) { return o.source == c.source; }));
    };
    const QColor orange{QLatin1String(kOrange)};
    const auto uncertain = model_.uncertainChoices();
    if (!uncertain.empty()) {
        guessedHeader_ = sectionHeader(QStringLiteral("exclamationmark.triangle.fill"),
                                       tr("Guessed from the character alone: please check"), orange);
        listRows_->addWidget(headerRow(guessedHeader_, orange));
        for (const auto& choice : uncertain) listRows_->addWidget(new ChoiceRow(model_, choice, sameSource(choice)));
    }
    if (std::any_of(all.begin(), all.end(), [](const auto& c) { return c.byPhrase; })) {
        decidedHeader_ = sectionHeader(QStringLiteral("checkmark.circle"), tr("Decided from the word around it: usually right"),
                                       QColor());
        listRows_->addWidget(headerRow(decidedHeader_, QColor()));
        for (const auto& choice : all)
            if (choice.byPhrase) listRows_->addWidget(new ChoiceRow(model_, choice, sameSource(choice)));
    }
    listRows_->addStretch(1);
    refreshState();
}

}  // namespace qm
