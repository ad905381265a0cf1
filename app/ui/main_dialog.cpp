// The main dialog's widgets, their arrangement in dialog units, and their wiring to the logic.
#include "app/ui/main_dialog.h"

#include "app/ui/banner.h"
#include "app/ui/icons.h"
#include "app/ui/log_list_model.h"
#include "app/ui/report_list.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>

namespace pw::app {

namespace {

// The designed dialog, in dialog units.
constexpr int DIALOG_WIDTH_DU = 718;
constexpr int DIALOG_HEIGHT_DU = 375;
constexpr int ALPHABET_LETTERS = 52;
constexpr char TIMESTAMP_SAMPLE[] = "00/00/0000 00:00:00.000 "; // as the logs write them

// Section labels: blue on white.
constexpr char SECTION_LABEL_STYLE[] = "QLabel { color: rgb(0, 0, 255); background: white; }";

template <std::size_t N>
std::vector<int> Percents(const ColumnSpec (&columns)[N]) {
    std::vector<int> out;
    for (const ColumnSpec& c : columns) {
        out.push_back(c.percent);
    }
    return out;
}

QString Text(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The list's client width as it is designed: its width less its frame.
int ClientWidth(const QAbstractScrollArea* list) {
    return list->minimumWidth() - 2 * list->frameWidth();
}

} // namespace

DialogUnits DialogUnitsFor(const QFont& font, const QSize& available) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    DialogUnits du{std::max(1, (letters + ALPHABET_LETTERS / 2) / ALPHABET_LETTERS),
                   std::max(1, metrics.height())};
    // Large fonts on a small screen: shrink the units so the window still fits (the controls
    // keep at least their texts' width through the layouts).
    if (available.width() > 0 && du.x(DIALOG_WIDTH_DU) > available.width() * 95 / 100) {
        du.baseX = std::max(1, du.baseX * available.width() * 95 / 100 / du.x(DIALOG_WIDTH_DU));
    }
    if (available.height() > 0 && du.y(DIALOG_HEIGHT_DU) > available.height() * 85 / 100) {
        du.baseY = std::max(1, du.baseY * available.height() * 85 / 100 / du.y(DIALOG_HEIGHT_DU));
    }
    return du;
}

MainDialog::MainDialog(MainDialogLogic& logic, QWidget* parent) : QWidget(parent), logic_(logic) {
    const QSize available = screen() != nullptr ? screen()->availableGeometry().size() : QSize();
    const DialogUnits du = DialogUnitsFor(font(), available);

    links_ = new ReportTable(0, LINKS_COLUMNS, static_cast<int>(std::size(LINKS_COLUMNS)), this);
    stats_ = new ReportTable(STATS_ROW_COUNT, STATS_COLUMNS,
                             static_cast<int>(std::size(STATS_COLUMNS)), this);
    for (int row = 0; row < STATS_ROW_COUNT; ++row) {
        stats_->setCellText(row, 0, QString::fromUtf8(STATS_ROW_LABELS[row]));
    }
    eventModel_ = new LogListModel(EVENT_COLUMNS, static_cast<int>(std::size(EVENT_COLUMNS)), this);
    traceModel_ = new LogListModel(TRACE_COLUMNS, static_cast<int>(std::size(TRACE_COLUMNS)), this);
    events_ = new ReportView(this);
    events_->setModel(eventModel_);
    events_->horizontalHeader()->setVisible(false);
    traces_ = new ReportView(this);
    traces_->setModel(traceModel_);
    banner_ = new Banner(this);
    banner_->setVisible(false);

    clearStats_ = new QPushButton(QString::fromUtf8(BUTTON_CLEAR_STATS), this);
    activate_[0] = new QPushButton(QString::fromUtf8(ActivateCaption(0, false)), this);
    activate_[1] = new QPushButton(QString::fromUtf8(ActivateCaption(1, false)), this);
    clearTrace_ = new QPushButton(QString::fromUtf8(BUTTON_CLEAR_TRACE), this);
    enableTracing_ = new QCheckBox(QString::fromUtf8(CHECK_ENABLE_TRACING), this);
    logTrace_ = new QCheckBox(QString::fromUtf8(CHECK_LOG_TRACE), this);
    logEvents_ = new QCheckBox(QString::fromUtf8(CHECK_LOG_EVENTS), this);
    hex_ = new QCheckBox(QString::fromUtf8(CHECK_HEX), this);
    ascii_ = new QCheckBox(QString::fromUtf8(CHECK_ASCII), this);
    for (QPushButton* button : {clearStats_, activate_[0], activate_[1], clearTrace_}) {
        button->setAutoDefault(false);
    }

    buildToolBar();
    buildLayout(du);

    SetColumnPercents(links_, Percents(LINKS_COLUMNS), ClientWidth(links_), false);
    SetColumnPercents(stats_, Percents(STATS_COLUMNS), ClientWidth(stats_), false);
    SetColumnPercents(events_, Percents(EVENT_COLUMNS), ClientWidth(events_), true);
    SetColumnPercents(traces_, Percents(TRACE_COLUMNS), ClientWidth(traces_), true);
    // The event list's timestamps are never cut short, whatever the font: the sample is written
    // with the font's widest digit; each side of a cell has the focus frame's margin and a pixel,
    // and the grid line and a spare pixel take two more.
    QString sample = QString::fromLatin1(TIMESTAMP_SAMPLE);
    QChar widest = QLatin1Char('0');
    for (char digit = '1'; digit <= '9'; ++digit) {
        if (events_->fontMetrics().horizontalAdvance(QLatin1Char(digit)) >
            events_->fontMetrics().horizontalAdvance(widest)) {
            widest = QLatin1Char(digit);
        }
    }
    sample.replace(QLatin1Char('0'), widest);
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, events_) + 1;
    const int stamp = events_->fontMetrics().horizontalAdvance(sample) + 2 * margin + 2;
    events_->setColumnWidth(0, std::max(events_->columnWidth(0), stamp));

    refresh_.setInterval(REFRESH_INTERVAL_MS);
    connect(&refresh_, &QTimer::timeout, this, [this] { logic_.refreshTimerTick(); });
    connectInput();
    logic_.setView(this);
}

MainDialog::~MainDialog() {
    logic_.setView(nullptr);
}

void MainDialog::buildToolBar() {
    toolbar_ = new QToolBar(this);
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);
    toolbar_->setIconSize(QSize(16, 16));
    toolbar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolbar_->setContextMenuPolicy(Qt::PreventContextMenu);
    struct Button {
        IconKind icon;
        const char* text;
        Command command;
    };
    const Button buttons[] = {
        {IconKind::NewLink, CMD_NEW_LINK, Command::NewLink},
        {IconKind::EditLink, CMD_EDIT_LINK, Command::EditLink},
        {IconKind::DeleteLink, TOOL_DELETE_LINK, Command::RemoveLink},
        {IconKind::SendBuffer, CMD_SEND_BUFFER, Command::SendBuffer},
        {IconKind::Help, TOOL_ONLINE_HELP, Command::Help},
    };
    for (const Button& b : buttons) {
        QAction* action = toolbar_->addAction(MakeIcon(b.icon), QString::fromUtf8(b.text));
        // No tool tips: the text is beside the image already.
        action->setToolTip(QString());
        const Command command = b.command;
        connect(action, &QAction::triggered, this,
                [this, command] { emit commandRequested(command); });
    }
}

QLabel* MainDialog::sectionLabel(const char* text) {
    auto* label = new QLabel(QString::fromUtf8(text), this);
    label->setStyleSheet(QString::fromLatin1(SECTION_LABEL_STYLE));
    label->setAutoFillBackground(true);
    return label;
}

void MainDialog::buildLayout(const DialogUnits& du) {
    // Positions and sizes of the designed dialog in dialog units; the gaps below are the
    // differences between neighbouring controls.
    links_->setMinimumSize(du.x(350), du.y(209));
    links_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    stats_->setMinimumSize(du.x(352), du.y(94));
    stats_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    events_->setMinimumSize(du.x(352), du.y(92));
    events_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    traces_->setMinimumSize(du.x(709), du.y(112));
    traces_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    for (QPushButton* button : {activate_[0], activate_[1]}) {
        button->setMinimumWidth(std::max(du.x(65), button->sizeHint().width()));
        button->setFixedHeight(std::max(du.y(14), button->sizeHint().height()));
    }
    clearStats_->setMinimumWidth(du.x(50));
    clearTrace_->setMinimumWidth(du.x(50));

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);
    root->addWidget(toolbar_);

    auto* body = new QVBoxLayout;
    body->setContentsMargins(du.x(3), du.y(2), du.x(6), du.y(2));
    body->setSpacing(0);
    root->addLayout(body, 1);

    auto* left = new QVBoxLayout;
    left->setSpacing(du.y(6));
    QLabel* linksLabel = sectionLabel(LABEL_CONFIGURED_LINKS);
    linksLabel->setFixedWidth(du.x(350));
    left->addWidget(linksLabel);
    left->addWidget(links_);
    left->addStretch(1);

    auto* head = new QHBoxLayout;
    head->setSpacing(du.x(2));
    head->addWidget(clearStats_);
    QLabel* statsLabel = sectionLabel(LABEL_SELECTED_LINK_STATS);
    statsLabel->setMinimumWidth(du.x(298));
    head->addWidget(statsLabel, 1, Qt::AlignVCenter);
    auto* statsRow = new QHBoxLayout;
    statsRow->setSpacing(0);
    statsRow->addWidget(stats_, 0, Qt::AlignLeft);
    statsRow->addWidget(banner_, 1);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(0);
    buttons->addSpacing(du.x(456 - 360));
    buttons->addWidget(activate_[0]);
    buttons->addSpacing(du.x(578 - 456 - 65));
    buttons->addWidget(activate_[1]);
    buttons->addStretch(1);
    auto* right = new QVBoxLayout;
    right->setSpacing(0);
    right->addLayout(head);
    right->addSpacing(du.y(2));
    right->addLayout(statsRow);
    right->addSpacing(du.y(4));
    right->addLayout(buttons);
    right->addSpacing(du.y(5));
    right->addWidget(events_);

    auto* top = new QHBoxLayout;
    top->setSpacing(du.x(7));
    top->addLayout(left);
    top->addLayout(right, 1);
    body->addLayout(top);
    body->addSpacing(du.y(3));

    auto* bottom = new QHBoxLayout;
    bottom->setSpacing(0);
    enableTracing_->setMinimumWidth(du.x(64));
    bottom->addWidget(enableTracing_);
    bottom->addSpacing(du.x(11));
    logTrace_->setMinimumWidth(du.x(69));
    bottom->addWidget(logTrace_);
    bottom->addSpacing(du.x(6));
    bottom->addWidget(clearTrace_);
    bottom->addSpacing(du.x(2));
    QLabel* traceLabel = sectionLabel(LABEL_LINK_TRACE);
    traceLabel->setMinimumWidth(du.x(75));
    bottom->addWidget(traceLabel);
    bottom->addSpacing(du.x(6));
    hex_->setMinimumWidth(du.x(29));
    bottom->addWidget(hex_);
    bottom->addSpacing(du.x(4));
    ascii_->setMinimumWidth(du.x(34));
    bottom->addWidget(ascii_);
    bottom->addSpacing(du.x(60));
    logEvents_->setMinimumWidth(du.x(72));
    bottom->addWidget(logEvents_);
    bottom->addStretch(1);
    body->addLayout(bottom);
    body->addSpacing(du.y(3));
    body->addWidget(traces_, 1);
}

void MainDialog::connectInput() {
    connect(links_, &QTableWidget::cellClicked, this, [this](int row, int) {
        logic_.rowClicked(row);
        emit userActed();
    });
    connect(links_, &QTableWidget::cellDoubleClicked, this,
            [this](int, int) { emit commandRequested(Command::EditLink); });
    // Enter edits the selected link, as a double click does; only here, where nothing else wants
    // the key.
    auto* edit = new QAction(links_);
    edit->setShortcuts({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
    edit->setShortcutContext(Qt::WidgetShortcut);
    links_->addAction(edit);
    connect(edit, &QAction::triggered, this, [this] { emit commandRequested(Command::EditLink); });
    connect(links_, &QTableWidget::currentCellChanged, this,
            [this](int row, int, int previous, int) {
                if (row != previous) {
                    logic_.currentRowChanged(row);
                }
            });
    connect(clearStats_, &QPushButton::clicked, this, [this] {
        logic_.clearStatsClicked();
        emit userActed();
    });
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        connect(activate_[p], &QPushButton::clicked, this, [this, p] {
            logic_.activateClicked(p);
            emit userActed();
        });
    }
    connect(clearTrace_, &QPushButton::clicked, this, [this] { logic_.clearTraceClicked(); });
    connect(events_, &ReportView::copyRequested, this, [this] { copyRows(events_, eventModel_); });
    connect(traces_, &ReportView::copyRequested, this, [this] { copyRows(traces_, traceModel_); });
    connect(enableTracing_, &QCheckBox::clicked, this, [this](bool checked) {
        logic_.enableTracingClicked(checked);
        emit userActed();
    });
    connect(logEvents_, &QCheckBox::clicked, this,
            [this](bool checked) { logic_.logEventsToFileClicked(checked); });
    connect(logTrace_, &QCheckBox::clicked, this,
            [this](bool checked) { logic_.logTraceToFileClicked(checked); });
    connect(hex_, &QCheckBox::clicked, this, [this](bool checked) { logic_.hexClicked(checked); });
    connect(ascii_, &QCheckBox::clicked, this,
            [this](bool checked) { logic_.asciiClicked(checked); });
}

namespace {

// Where a log list is scrolled before a batch: only a list that shows its newest row follows the
// new rows; one scrolled up keeps showing the same rows.
struct ListPlace {
    bool atEnd; // the last row is in view
    int top;    // the first row in view (the scroll position counts rows)
};

ListPlace PlaceOf(const QTableView* view) {
    const QScrollBar* bar = view->verticalScrollBar();
    return ListPlace{bar->value() >= bar->maximum(), bar->value()};
}

// What a batch does to a list, as far as its scroll position cares.
struct BatchShape {
    bool clear;  // every row goes
    int dropped; // rows dropped from the top
    bool added;  // rows appended
};

template <class Queued>
BatchShape ShapeOf(const ListBatch<Queued>& batch) {
    return BatchShape{batch.clear, static_cast<int>(batch.dropFront), !batch.rows.empty()};
}

void Restore(QTableView* view, const ListPlace& place, const BatchShape& shape) {
    if (place.atEnd) {
        if (shape.added) {
            view->scrollToBottom();
        }
        return;
    }
    // The rows dropped from the top moved the ones in view up by as many: follow them.
    view->verticalScrollBar()->setValue(shape.clear ? 0 : std::max(0, place.top - shape.dropped));
}

} // namespace

std::vector<QueuedTraceRow> MainDialog::applyRows(RowBatch&& batch) {
    if (batch.traceToFileSwitchedOff) {
        logic_.traceToFileSwitchedOff();
    }
    const ListPlace events = PlaceOf(events_), traces = PlaceOf(traces_);
    const BatchShape eventShape = ShapeOf(batch.events), traceShape = ShapeOf(batch.traces);
    eventModel_->apply(std::move(batch.events));
    std::vector<QueuedTraceRow> dropped;
    traceModel_->apply(std::move(batch.traces), dropped);
    Restore(events_, events, eventShape);
    Restore(traces_, traces, traceShape);
    return dropped;
}

void MainDialog::copyRows(const ReportView* view, const LogListModel* model) {
    QString text;
    for (const int row : view->selectedRowNumbers()) {
        text += model->logLine(row) + QLatin1Char('\n');
    }
    if (!text.isEmpty()) {
        QGuiApplication::clipboard()->setText(text);
    }
}

void MainDialog::setMaximizedLayout(bool maximized) {
    banner_->setVisible(maximized);
}

void MainDialog::fillLinkRow(int row) {
    const LinkRow& r = logic_.state().links.row(row);
    links_->setCellText(row, 0, Text(r.name));
    links_->setCellText(row, 1, Text(r.port1));
    links_->setCellText(row, 2, Text(r.port2));
    links_->setCellText(row, LINKS_COLUMN_STATUS, Text(r.status));
}

void MainDialog::linkRowInserted(int row) {
    const QSignalBlocker block(links_);
    links_->insertRow(row);
    fillLinkRow(row);
}

void MainDialog::linkRowChanged(int row) {
    if (row >= 0 && row < links_->rowCount()) {
        fillLinkRow(row);
    }
}

void MainDialog::linkRowRemoved(int row) {
    const QSignalBlocker block(links_);
    links_->removeRow(row);
    const int current = logic_.state().links.currentRow();
    links_->setCurrentCell(current, 0);
    if (current < 0) {
        links_->clearSelection();
    }
}

void MainDialog::linkRowSelected(int row) {
    const QSignalBlocker block(links_);
    if (row < 0 || row >= links_->rowCount()) {
        links_->setCurrentCell(-1, -1);
        links_->clearSelection();
        return;
    }
    links_->setCurrentCell(row, 0);
    links_->selectRow(row);
    links_->setFocus();
    links_->scrollToItem(links_->item(row, 0));
}

void MainDialog::statsChanged() {
    const StatsState& stats = logic_.stats();
    for (std::uint32_t p = 0; p < PORTS_PER_LINK; ++p) {
        for (int row = 0; row < STATS_ROW_COUNT; ++row) {
            stats_->setCellText(row, static_cast<int>(p) + 1, Text(stats.port[p].cell[row]));
        }
        activate_[p]->setText(QString::fromUtf8(stats.activateCaption[p]));
    }
}

void MainDialog::switchesChanged() {
    const Switches& s = logic_.switches();
    enableTracing_->setChecked(s.enableTracing);
    logTrace_->setChecked(s.logTraceToFile);
    logEvents_->setChecked(s.logEventsToFile);
    hex_->setChecked(s.hex);
    ascii_->setChecked(s.ascii);
}

void MainDialog::startRefreshTimer() {
    refresh_.start();
}

} // namespace pw::app
