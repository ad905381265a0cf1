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

template <class Queued>
void LogListModel::applyBatch(ListBatch<Queued>&& batch, std::vector<Queued>* dropped) {
    if (batch.clear && !rows_.empty()) {
        beginResetModel();
        rows_.clear();
        endResetModel();
    }
    const auto drop = std::min<std::size_t>(batch.dropFront, rows_.size());
    if (drop > 0) {
        beginRemoveRows(QModelIndex(), 0, static_cast<int>(drop) - 1);
        if (dropped != nullptr) {
            for (std::size_t i = 0; i < drop; ++i) {
                dropped->push_back(std::get<Queued>(std::move(rows_[i])));
            }
        }
        rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(drop));
        endRemoveRows();
    }
    if (!batch.rows.empty()) {
        const int first = static_cast<int>(rows_.size());
        beginInsertRows(QModelIndex(), first, first + static_cast<int>(batch.rows.size()) - 1);
        for (Queued& row : batch.rows) {
            rows_.emplace_back(std::move(row));
        }
        endInsertRows();
    }
}

void LogListModel::apply(ListBatch<QueuedEventRow>&& batch) {
    applyBatch(std::move(batch), static_cast<std::vector<QueuedEventRow>*>(nullptr));
}

void LogListModel::apply(ListBatch<QueuedTraceRow>&& batch, std::vector<QueuedTraceRow>& dropped) {
    applyBatch(std::move(batch), &dropped);
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
    const Row& r = rows_[static_cast<std::size_t>(row)];
    if (const auto* event = std::get_if<QueuedEventRow>(&r)) {
        switch (column) {
        case 0:
            return Utf8(event->timestamp);
        case 1:
            return Utf8(event->text);
        default:
            return QString();
        }
    }
    const auto& trace = std::get<QueuedTraceRow>(r);
    switch (column) {
    case 0:
        return Utf8(trace.timestamp);
    case 1:
        return Utf8(trace.linkPort);
    case 2:
        return Utf8(trace.direction);
    case 3:
        return Utf8(trace.length);
    case 4: {
        // Either hex pairs or, for an ASCII trace, the bytes themselves: Latin-1 characters.
        const std::string cell = DataCellText(trace);
        return QString::fromLatin1(cell.data(), static_cast<qsizetype>(cell.size()));
    }
    default:
        return QString();
    }
}

QString LogListModel::logLine(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
        return QString();
    }
    return Utf8(std::visit([](const auto& r) { return LogLineOf(r); },
                           rows_[static_cast<std::size_t>(row)]));
}

} // namespace pw::app
