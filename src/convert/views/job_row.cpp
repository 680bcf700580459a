#include "convert/views/job_row.h"

#include <cmath>

#include <QContextMenuEvent>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "platform/desktop/icons.h"

namespace qm {

namespace {

using Kind = ConversionJob::State::Kind;

QToolButton* borderlessButton(const QString& symbol, const QString& tip, const QColor& tint = QColor()) {
    auto* button = new QToolButton;
    button->setAutoRaise(true);
    button->setIcon(tint.isValid() ? QIcon(symbolPixmap(symbol, 16, tint)) : symbolIcon(symbol));
    button->setToolTip(tip);
    return button;
}

QLabel* secondaryText(const QString& text) {
    auto* label = new QLabel(text);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

}  // namespace

QString jobDetailLine(const ConversionJob& job) {
    const auto& info = job.info();
    if (!info) return QDir::toNativeSeparators(QFileInfo(job.path()).absolutePath());
    QStringList parts;
    parts << QString::fromStdString(info->codecName);
    parts << QStringLiteral("%1×%2").arg(info->width).arg(info->height);
    parts << QString::asprintf("%.3g fps", info->frameRate);
    double seconds = info->duration.seconds();
    if (!std::isfinite(seconds)) seconds = 0;
    const long long whole = std::llround(std::clamp(seconds, -1e12, 1e12));
    parts << QString::asprintf("%lld:%02lld", whole / 60, whole % 60);
    if (info->hasAudio) parts << JobRow::tr("Audio");
    return parts.join(QStringLiteral(" · "));
}

QString runningProgressText(double fraction, double fps) {
    return QString::asprintf("%.0f%% · %.0f fps", fraction * 100, fps);
}

QMenu* buildJobContextMenu(ConversionQueue& queue, const ConversionJobRef& job, QWidget* parent) {
    auto* menu = new QMenu(parent);
    const auto& state = job->state();
    if (state.is(Kind::done)) {
        const QString output = state.output;
        QObject::connect(menu->addAction(JobRow::tr("Show in File Manager")), &QAction::triggered, menu,
                         [&queue, output] { queue.revealInFinder(output); });
    }
    if (state.is(Kind::failed) && job->info()) {
        QObject::connect(menu->addAction(JobRow::tr("Retry")), &QAction::triggered, menu, [job] {
            if (job->info() && job->info()->decoder.kind != SourceDecoder::Kind::unsupported)
                job->setState(ConversionJob::State::ready());
        });
    }
    const QString source = job->path();
    QObject::connect(menu->addAction(JobRow::tr("Show Source in File Manager")), &QAction::triggered, menu,
                     [&queue, source] { queue.revealInFinder(source); });
    menu->addSeparator();
    QAction* remove = menu->addAction(JobRow::tr("Remove"));
    remove->setEnabled(!state.is(Kind::running));
    QObject::connect(remove, &QAction::triggered, menu, [&queue, job] { queue.remove(job); });
    return menu;
}

JobRow::JobRow(ConversionQueue& queue, ConversionJobRef job, QWidget* parent)
    : QWidget(parent), queue_(queue), job_(std::move(job)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 4, 8, 4);
    row->setSpacing(12);

    auto* film = new QLabel;
    film->setPixmap(symbolIcon(QStringLiteral("film")).pixmap(22, 22));
    film->setFixedWidth(28);
    film->setAlignment(Qt::AlignCenter);
    row->addWidget(film);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(3);
    name_ = new QLabel;
    name_->setObjectName(QStringLiteral("nameText"));
    QFont medium = name_->font();
    medium.setWeight(QFont::Medium);
    name_->setFont(medium);
    name_->setMinimumWidth(80);
    name_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    texts->addWidget(name_);
    detail_ = new QLabel;
    detail_->setObjectName(QStringLiteral("detailText"));
    QFont caption = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    caption.setPointSizeF(caption.pointSizeF() * 0.85);
    caption.setStyleHint(QFont::TypeWriter);
    detail_->setFont(caption);
    detail_->setForegroundRole(QPalette::PlaceholderText);
    detail_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    texts->addWidget(detail_);
    row->addLayout(texts, 1);
    row->addSpacing(12);

    status_ = new QWidget;
    statusLayout_ = new QHBoxLayout(status_);
    statusLayout_->setContentsMargins(0, 0, 0, 0);
    statusLayout_->setSpacing(8);
    row->addWidget(status_);

    connect(job_.get(), &ConversionJob::infoChanged, this, &JobRow::refreshDetail);
    connect(job_.get(), &ConversionJob::stateChanged, this, [this] {
        if (built_ && job_->state().kind == shownKind_ && shownKind_ == Kind::running)
            updateRunning();
        else
            rebuildStatus();
    });
    refreshDetail();
    rebuildStatus();
}

QString JobRow::nameText() const { return QFileInfo(job_->path()).fileName(); }
QString JobRow::detailText() const { return jobDetailLine(*job_); }

void JobRow::refreshDetail() {
    elideName();
    name_->setToolTip(nameText());
    detail_->setText(detailText());
}

// The name is shortened in the middle to the width it has now, so again whenever that changes.
void JobRow::elideName() {
    name_->setText(name_->fontMetrics().elidedText(nameText(), Qt::ElideMiddle, std::max(80, name_->width())));
}

void JobRow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    elideName();
}

void JobRow::updateRunning() {
    const auto& state = job_->state();
    if (auto* bar = status_->findChild<QProgressBar*>()) bar->setValue(int(std::lround(state.fraction * 1000)));
    if (auto* label = status_->findChild<QLabel*>(QStringLiteral("progressText")))
        label->setText(runningProgressText(state.fraction, state.fps));
}

void JobRow::rebuildStatus() {
    while (QLayoutItem* item = statusLayout_->takeAt(0)) {
        if (item->widget()) item->widget()->deleteLater();
        if (item->layout()) {
            while (QLayoutItem* inner = item->layout()->takeAt(0)) {
                if (inner->widget()) inner->widget()->deleteLater();
                delete inner;
            }
        }
        delete item;
    }
    const auto& state = job_->state();
    shownKind_ = state.kind;
    built_ = true;

    auto addRemove = [this] {
        QColor tertiary = palette().color(QPalette::PlaceholderText);
        tertiary.setAlphaF(0.6f);
        QToolButton* remove = borderlessButton(QStringLiteral("xmark.circle.fill"), tr("Remove"), tertiary);
        remove->setObjectName(QStringLiteral("removeButton"));
        connect(remove, &QToolButton::clicked, this, [this] { queue_.remove(job_); });
        statusLayout_->addWidget(remove);
    };

    switch (state.kind) {
    case Kind::probing: {
        auto* busy = new QProgressBar;
        busy->setRange(0, 0);  // indeterminate
        busy->setFixedWidth(60);
        busy->setMaximumHeight(8);
        busy->setTextVisible(false);
        statusLayout_->addWidget(busy);
        break;
    }
    case Kind::ready:
        statusLayout_->addWidget(secondaryText(tr("Ready")));
        addRemove();
        break;
    case Kind::running: {
        auto* box = new QWidget;
        auto* stack = new QVBoxLayout(box);
        stack->setContentsMargins(0, 0, 0, 0);
        stack->setSpacing(2);
        auto* bar = new QProgressBar;
        bar->setRange(0, 1000);
        bar->setTextVisible(false);
        bar->setFixedWidth(150);
        bar->setMaximumHeight(8);
        stack->addWidget(bar);
        auto* text = secondaryText({});
        text->setObjectName(QStringLiteral("progressText"));
        QFont caption = text->font();
        caption.setPointSizeF(caption.pointSizeF() * 0.85);
        text->setFont(caption);
        stack->addWidget(text, 0, Qt::AlignRight);
        statusLayout_->addWidget(box);
        updateRunning();
        break;
    }
    case Kind::done: {
        auto* check = new QLabel;
        check->setPixmap(symbolPixmap(QStringLiteral("checkmark.circle.fill"), 16, QColor(0x28, 0xa7, 0x45)));
        statusLayout_->addWidget(check);
        QToolButton* reveal = borderlessButton(QStringLiteral("magnifyingglass"), tr("Show in File Manager"));
        reveal->setObjectName(QStringLiteral("revealButton"));
        const QString output = state.output;
        connect(reveal, &QToolButton::clicked, this, [this, output] { queue_.revealInFinder(output); });
        statusLayout_->addWidget(reveal);
        break;
    }
    case Kind::failed: {
        auto* warning = new QLabel;
        warning->setPixmap(symbolPixmap(QStringLiteral("exclamationmark.triangle.fill"), 14, QColor(0xd7, 0x00, 0x15)));
        statusLayout_->addWidget(warning, 0, Qt::AlignVCenter);
        auto* message = new QLabel;
        message->setObjectName(QStringLiteral("failureText"));
        message->setWordWrap(true);
        message->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        QFont caption = message->font();
        caption.setPointSizeF(caption.pointSizeF() * 0.85);
        message->setFont(caption);
        // At most two lines within 220 points; the whole text is in the tooltip.
        const QFontMetrics metrics(caption);
        const int width =
            metrics.boundingRect(QRect(0, 0, 220, 10000), Qt::TextWordWrap, state.message).width() + 2;
        message->setFixedWidth(width);
        message->setText(metrics.elidedText(state.message, Qt::ElideRight, width * 2 - metrics.averageCharWidth() * 4));
        message->setMaximumHeight(metrics.lineSpacing() * 2 + 2);
        message->setStyleSheet(QStringLiteral("color: #d70015;"));
        message->setToolTip(state.message);
        statusLayout_->addWidget(message);
        addRemove();
        break;
    }
    case Kind::cancelled:
        statusLayout_->addWidget(secondaryText(tr("Cancelled")));
        addRemove();
        break;
    }
}

void JobRow::contextMenuEvent(QContextMenuEvent* event) {
    QMenu* menu = buildJobContextMenu(queue_, job_, this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

}  // namespace qm
