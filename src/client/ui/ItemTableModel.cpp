#include "ItemTableModel.h"

#include <algorithm>
#include <climits>

ItemTableModel::ItemTableModel(QIcon itemIcon, QObject* parent) : QAbstractTableModel(parent), _itemIcon(std::move(itemIcon))
{
}

void ItemTableModel::reset(std::vector<Row> rows)
{
    beginResetModel();
    _rows = std::move(rows);
    _rowOfItem.clear();
    _rowOfItem.reserve(static_cast<qsizetype>(_rows.size()));
    for (std::size_t i = 0; i < _rows.size(); ++i) {
        // A branch lists each item once; should a pointer come twice, the first row keeps it, as
        // a search from the top would find it.
        if (!_rowOfItem.contains(_rows[i].item)) _rowOfItem.insert(_rows[i].item, static_cast<int>(i));
    }
    _isDirty.assign(_rows.size(), false);
    _dirty.clear();
    endResetModel();
}

int ItemTableModel::rowOf(const OPC_Item* item) const
{
    const auto found = _rowOfItem.constFind(item);
    return found == _rowOfItem.constEnd() ? -1 : found.value();
}

void ItemTableModel::markDirty(int row)
{
    const auto index = static_cast<std::size_t>(row);
    if (row < 0 || index >= _rows.size() || _isDirty[index]) return;
    _isDirty[index] = true;
    _dirty.push_back(row);
}

std::size_t ItemTableModel::refresh(int first, int last, const std::function<Texts(const OPC_Item*)>& read)
{
    if (_dirty.empty()) return 0;
    int low = INT_MAX;
    int high = -1;
    std::size_t refreshed = 0;
    std::vector<int> kept;
    for (const int row : _dirty) {
        if (row < first || row > last) {
            kept.push_back(row);
            continue;
        }
        Row& target = _rows[static_cast<std::size_t>(row)];
        target.texts = read(target.item);
        _isDirty[static_cast<std::size_t>(row)] = false;
        low = std::min(low, row);
        high = std::max(high, row);
        ++refreshed;
    }
    _dirty.swap(kept);
    // One notice for the span: a view repaints only what of it is on screen.
    if (refreshed > 0) emit dataChanged(index(low, Type), index(high, Quality), {Qt::DisplayRole});
    return refreshed;
}

void ItemTableModel::dropDirty()
{
    for (const int row : _dirty) _isDirty[static_cast<std::size_t>(row)] = false;
    _dirty.clear();
}

int ItemTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(_rows.size());
}

int ItemTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant ItemTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= static_cast<int>(_rows.size())) return {};
    const Row& row = _rows[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return index.column() == Name ? row.name : row.texts[static_cast<std::size_t>(index.column() - 1)];
    case Qt::DecorationRole:
        if (index.column() == Name) return _itemIcon;
        return {};
    default:
        return {};
    }
}

QVariant ItemTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const captions[kColumns] = {"Name", "Type", "Value", "Время", "Quality"};
    if (section < 0 || section >= kColumns) return {};
    return QString::fromUtf8(captions[section]);
}
