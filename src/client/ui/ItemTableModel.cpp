#include "ItemTableModel.h"

ItemTableModel::ItemTableModel(QIcon itemIcon, QObject* parent) : QAbstractTableModel(parent), _itemIcon(std::move(itemIcon))
{
}

void ItemTableModel::reset(std::vector<form::ItemRow> rows)
{
    beginResetModel();
    _rows.reset(std::move(rows));
    endResetModel();
}

std::size_t ItemTableModel::refresh(int first, int last, const std::function<form::ItemTexts(const OPC_Item*)>& read)
{
    const form::ItemRows::Refreshed done = _rows.refresh(first, last, read);
    // One notice for the span: a view repaints only what of it is on screen.
    if (done.count > 0) emit dataChanged(index(done.first, Type), index(done.last, Quality), {Qt::DisplayRole});
    return done.count;
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
    switch (role) {
    case Qt::DisplayRole:
        // The system code page is UTF-8; a text cut inside a character shows a replacement mark.
        return QString::fromStdString(_rows.text(static_cast<std::size_t>(index.row()), index.column()));
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
    if (section < 0 || section >= kColumns) return {};
    return QString::fromUtf8(form::kItemColumnCaptions[static_cast<std::size_t>(section)]);
}
