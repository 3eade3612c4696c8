// The rows of the item table: one per item of the branch shown, with every text kept in the row,
// so that painting never reads an item (an item may be destroyed by a disconnect worker while its
// row is still on screen).
#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QIcon>
#include <QString>

#include <array>
#include <functional>
#include <vector>

class OPC_Item;

// Main thread only, like every model.
class ItemTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Name = 0, Type, Value, Time, Quality, kColumns };
    // The four texts of a value record, in column order from Type.
    using Texts = std::array<QString, 4>;

    struct Row {
        const OPC_Item* item = nullptr;  // not owned; never dereferenced here
        QString name;
        Texts texts;
    };

    explicit ItemTableModel(QIcon itemIcon, QObject* parent = nullptr);

    // Replaces every row (empty: no rows).
    void reset(std::vector<Row> rows);
    void clear() { reset({}); }

    // The row that carries the item, or -1. Constant time, whatever the number of rows.
    int rowOf(const OPC_Item* item) const;
    const Row& row(int index) const { return _rows[static_cast<std::size_t>(index)]; }
    const OPC_Item* itemAt(int index) const { return row(index).item; }

    // A row whose item has a newer value record; its texts are replaced at the next refresh.
    void markDirty(int row);
    bool hasDirty() const { return !_dirty.empty(); }
    std::size_t dirtyCount() const { return _dirty.size(); }
    // Gives the dirty rows between first and last (inclusive) their new texts through read, which
    // gets each item once, then tells the views in one notice. Dirty rows outside the range stay
    // dirty. Returns how many rows were refreshed.
    std::size_t refresh(int first, int last, const std::function<Texts(const OPC_Item*)>& read);
    // Forgets every dirty mark; the rows keep the texts they have.
    void dropDirty();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QIcon _itemIcon;
    std::vector<Row> _rows;
    QHash<const OPC_Item*, int> _rowOfItem;
    std::vector<bool> _isDirty;   // per row
    std::vector<int> _dirty;      // the dirty rows, each once, in the order they became dirty
};
