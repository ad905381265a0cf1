// Report-style list setup shared by the main dialog's four lists.
#include "app/ui/report_list.h"

#include "app/core/geometry.h"

#include <QHeaderView>
#include <QKeyEvent>

#include <algorithm>

namespace pw::app {

namespace {

void SetUpReportStyle(QTableView* view) {
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setShowGrid(true);
    view->setWordWrap(false);
    view->setSortingEnabled(false);
    view->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // A scroll position counts rows, whatever the style prefers (the log lists keep their place
    // by it when their oldest rows go).
    view->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    view->verticalHeader()->setVisible(false);
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    view->horizontalHeader()->setSectionsClickable(false);
    view->horizontalHeader()->setSectionsMovable(false);
    view->horizontalHeader()->setHighlightSections(false);
    view->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    view->horizontalHeader()->setMinimumSectionSize(1);
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
}

} // namespace

void SetColumnPercents(QTableView* view, const std::vector<int>& percents, int clientWidth,
                       bool fillLast) {
    const std::vector<int> widths = ColumnWidths(clientWidth, percents);
    for (std::size_t i = 0; i < widths.size(); ++i) {
        view->setColumnWidth(static_cast<int>(i), widths[i]);
    }
    view->horizontalHeader()->setStretchLastSection(fillLast);
}

ReportView::ReportView(QWidget* parent) : QTableView(parent) {
    SetUpReportStyle(this);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
}

QList<int> ReportView::selectedRowNumbers() const {
    QList<int> rows;
    for (const QModelIndex& index : selectionModel()->selectedRows()) {
        rows << index.row();
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

void ReportView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        emit copyRequested(); // whole rows, not the current cell as the view would copy
        return;
    }
    QTableView::keyPressEvent(event);
}

ReportTable::ReportTable(int rows, const ColumnSpec* columns, int columnCount, QWidget* parent)
    : QTableWidget(rows, columnCount, parent) {
    SetUpReportStyle(this);
    QStringList headers;
    for (int i = 0; i < columnCount; ++i) {
        headers << QString::fromUtf8(columns[i].caption);
    }
    setHorizontalHeaderLabels(headers);
}

void ReportTable::setCellText(int row, int column, const QString& text) {
    QTableWidgetItem* cell = item(row, column);
    if (cell == nullptr) {
        cell = new QTableWidgetItem(text);
        cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        setItem(row, column, cell);
    } else if (cell->text() != text) {
        cell->setText(text);
    }
}

} // namespace pw::app
