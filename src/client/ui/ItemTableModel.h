// The item table's rows (form::ItemRows) as a Qt model: the view reads the texts kept in the rows
// and hears of each refresh in one notice.
#pragma once

#include "client/form/ItemRows.h"

#include <QAbstractTableModel>
#include <QIcon>

// Main thread only, like every model.
class ItemTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        Name = form::NameColumn,
        Type = form::TypeColumn,
        Value = form::ValueColumn,
        Time = form::TimeColumn,
        Quality = form::QualityColumn,
        kColumns = form::kItemColumns
    };

    explicit ItemTableModel(QIcon itemIcon, QObject* parent = nullptr);

    const form::ItemRows& rows() const { return _rows; }
    // For the dirty marks: the rows' texts change only through reset and refresh, which tell
    // the views.
    form::ItemRows& rows() { return _rows; }
    // Replaces every row (empty: no rows).
    void reset(std::vector<form::ItemRow> rows);
    void clear() { reset({}); }

    int rowOf(const OPC_Item* item) const { return _rows.rowOf(item); }
    void markDirty(int row) { _rows.markDirty(row); }
    bool hasDirty() const { return _rows.hasDirty(); }
    void dropDirty() { _rows.dropDirty(); }
    // form::ItemRows::refresh, then one notice to the views for the span it changed. Returns how
    // many rows were refreshed.
    std::size_t refresh(int first, int last, const std::function<form::ItemTexts(const OPC_Item*)>& read);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QIcon _itemIcon;
    form::ItemRows _rows;
};
