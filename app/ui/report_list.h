// The report-style lists of the main dialog: one selected row, whole rows selected, grid lines,
// headers that do not sort, fixed row heights (so 30000 rows stay cheap). Their preferred size is
// their minimum size, which the dialog sets in dialog units, so the dialog's designed size comes
// out of its layout exactly.
#pragma once

#include "app/core/texts.h"

#include <QTableView>
#include <QTableWidget>

#include <vector>

namespace pw::app {

// Sets the columns' widths from their percentages of `clientWidth`; with `fillLast` the last
// column takes whatever width is left, at least its header's.
void SetColumnPercents(QTableView* view, const std::vector<int>& percents, int clientWidth,
                       bool fillLast);

// A list backed by a model (the event and trace lists). Several rows may be selected, and the
// copy key asks for them to be copied.
class ReportView : public QTableView {
    Q_OBJECT
public:
    explicit ReportView(QWidget* parent = nullptr);
    [[nodiscard]] QSize sizeHint() const override { return minimumSize(); }
    // The selected rows, in list order.
    [[nodiscard]] QList<int> selectedRowNumbers() const;

signals:
    void copyRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// A list holding its own items (the links and statistics lists).
class ReportTable : public QTableWidget {
    Q_OBJECT
public:
    ReportTable(int rows, const ColumnSpec* columns, int columnCount, QWidget* parent = nullptr);
    [[nodiscard]] QSize sizeHint() const override { return minimumSize(); }
    // Sets the text of one cell, creating its item when needed.
    void setCellText(int row, int column, const QString& text);
};

} // namespace pw::app
