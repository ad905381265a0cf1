// Batches of log rows applied to a table model.
#include "app/ui/log_list_model.h"

namespace pw::app {

namespace {

QString Utf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

LogListModel::LogListModel(const ColumnSpec* columns, int columnCount, QObject* parent)
    : QAbstractTableModel(parent) {
    for (int i = 0; i < columnCount; ++i) {
        headers_ << QString::fromUtf8(columns[i].caption);
    }
}

template <class Queued, class Convert>
void LogListModel::applyBatch(ListBatch<Queued>&& batch, Convert convert) {
    if (batch.clear && !rows_.empty()) {
        beginResetModel();
        rows_.clear();
        endResetModel();
    }
    const auto drop = std::min<std::size_t>(batch.dropFront, rows_.size());
    if (drop > 0) {
        beginRemoveRows(QModelIndex(), 0, static_cast<int>(drop) - 1);
        rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(drop));
        endRemoveRows();
    }
    if (!batch.rows.empty()) {
        const int first = static_cast<int>(rows_.size());
        beginInsertRows(QModelIndex(), first, first + static_cast<int>(batch.rows.size()) - 1);
        for (const Queued& row : batch.rows) {
            rows_.push_back(convert(row));
        }
        endInsertRows();
    }
}

void LogListModel::apply(ListBatch<QueuedEventRow>&& batch) {
    applyBatch(std::move(batch), [](const QueuedEventRow& row) {
        return Row{QStringList{Utf8(row.timestamp), Utf8(row.text)}};
    });
}

void LogListModel::apply(ListBatch<QueuedTraceRow>&& batch) {
    applyBatch(std::move(batch), [](const QueuedTraceRow& row) {
        // The Data cell of an ASCII trace holds the bytes themselves: Latin-1 characters.
        return Row{QStringList{Utf8(row.timestamp), Utf8(row.linkPort), Utf8(row.direction),
                               Utf8(row.length),
                               QString::fromLatin1(row.data.data(),
                                                   static_cast<qsizetype>(row.data.size()))},
                   true, row.ascii};
    });
}

int LogListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int LogListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(headers_.size());
}

QVariant LogListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid()) {
        return QVariant();
    }
    return cell(index.row(), index.column());
}

QVariant LogListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal || section < 0 ||
        section >= headers_.size()) {
        return QVariant();
    }
    return headers_.at(section);
}

QString LogListModel::cell(int row, int column) const {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
        return QString();
    }
    const QStringList& cells = rows_[static_cast<std::size_t>(row)].cells;
    return column >= 0 && column < cells.size() ? cells.at(column) : QString();
}

QString LogListModel::logLine(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
        return QString();
    }
    const Row& r = rows_[static_cast<std::size_t>(row)];
    auto text = [&r](int column) { return r.cells.value(column).toStdString(); };
    const std::string line =
        r.trace ? LogLineOf(QueuedTraceRow{text(0), text(1), text(2), text(3),
                                           r.cells.value(4).toLatin1().toStdString(), r.ascii})
                : LogLineOf(QueuedEventRow{text(0), text(1)});
    return Utf8(line);
}

} // namespace pw::app
