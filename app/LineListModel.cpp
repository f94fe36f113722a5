#include "LineListModel.h"

#include <algorithm>

namespace tarvik {

LineListModel::LineListModel(const LineList& lines, QObject* parent)
    : QAbstractListModel(parent), lines_(lines) {
    flush_.setSingleShot(true);
    flush_.setInterval(50);
    QObject::connect(&flush_, &QTimer::timeout, this, [this] { Flush(); });
}

int LineListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shown_;
}

// Until the next flush the rows the view knows of sit below the lines added since.
QVariant LineListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid()) return {};
    const auto line = static_cast<std::size_t>(index.row() + pendingInserts_);
    if (line >= lines_.Count()) return {};
    const std::string& text = lines_.Line(line);
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

void LineListModel::InsertedAtTop(const std::string&) {
    ++pendingInserts_;
    if (!flush_.isActive()) flush_.start();
}

void LineListModel::RemovedLast() {
    if (!flush_.isActive()) flush_.start();
}

void LineListModel::Flush() {
    flush_.stop();
    const int count = static_cast<int>(lines_.Count());
    const int fallenOff = std::min(shown_, shown_ + pendingInserts_ - count);
    if (fallenOff > 0) {
        beginRemoveRows({}, shown_ - fallenOff, shown_ - 1);
        shown_ -= fallenOff;
        endRemoveRows();
    }
    const int added = count - shown_;
    if (added > 0) {
        beginInsertRows({}, 0, added - 1);
        shown_ = count;
        pendingInserts_ = 0;
        endInsertRows();
    }
    pendingInserts_ = 0;
}

}  // namespace tarvik
