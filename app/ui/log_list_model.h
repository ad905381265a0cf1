// The rows of the event list or the trace list. The log decides what the rows are; this model
// only applies the batches the RowQueue hands the main thread: one reset, one removal and one
// insertion per batch at most, however many rows arrived.
#pragma once

#include "app/core/row_queue.h"
#include "app/core/texts.h"

#include <QAbstractTableModel>
#include <QStringList>

#include <array>
#include <deque>
#include <variant>
#include <vector>

namespace pw::app {

class LogListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // `columns` headers ("" columns of the event list show no header at all).
    LogListModel(const ColumnSpec* columns, int columnCount, QObject* parent = nullptr);

    void apply(ListBatch<QueuedEventRow>&& batch);
    // As above; the trace rows dropped from the front are moved to `dropped` (for reuse).
    void apply(ListBatch<QueuedTraceRow>&& batch, std::vector<QueuedTraceRow>& dropped);

    [[nodiscard]] int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role) const override;
    // The text of one cell (tests and tools).
    [[nodiscard]] QString cell(int row, int column) const;
    // The row as a line of its log file (see LogLineOf); empty past the end.
    [[nodiscard]] QString logLine(int row) const;

private:
    // A list traced at full speed takes tens of thousands of rows a second and shows a few of
    // them: each row keeps the texts it came with, and a cell becomes a QString only when the
    // view asks for it, so that the main thread's time goes to the rows on screen.
    using Row = std::variant<QueuedEventRow, QueuedTraceRow>;
    template <class Queued>
    void applyBatch(ListBatch<Queued>&& batch, std::vector<Queued>* dropped);

    QStringList headers_;
    std::deque<Row> rows_;
};

} // namespace pw::app
