// The rows of the item table: one per item of the branch shown, with every text kept in the row,
// so that drawing never reads an item (an item may be destroyed by a disconnect worker while its
// row is still on screen). A view draws them as they stand and asks for a refresh of the rows it
// shows. Main thread only.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

class OPC_Item;

namespace form {

enum ItemColumn { NameColumn = 0, TypeColumn, ValueColumn, TimeColumn, QualityColumn, kItemColumns };

// The column captions, in order.
extern const std::array<const char*, kItemColumns> kItemColumnCaptions;

// The four texts of a value record, in column order from the type (UTF-8).
using ItemTexts = std::array<std::string, 4>;

// The texts of the item's current record, read whole once. The item's changes are taken first, so
// that its next change notifies again. The item must be alive.
ItemTexts itemTexts(const OPC_Item* item);

// Rows beyond those on screen that are kept current too, so that a short scroll shows no stale
// texts even for the moment before the next refresh.
inline constexpr int kRefreshMargin = 32;

struct ItemRow {
    const OPC_Item* item = nullptr;  // not owned; never dereferenced here
    std::string name;
    ItemTexts texts;
};

class ItemRows {
public:
    // Replaces every row (empty: no rows).
    void reset(std::vector<ItemRow> rows);
    void clear() { reset({}); }

    std::size_t size() const { return _rows.size(); }
    const ItemRow& operator[](std::size_t index) const { return _rows[index]; }
    // The text of a cell: the name or one of the four texts.
    const std::string& text(std::size_t row, int column) const;

    // The row that carries the item, or -1. Constant time, whatever the number of rows.
    int rowOf(const OPC_Item* item) const;

    // A row whose item has a newer value record; its texts are replaced at the next refresh.
    void markDirty(int row);
    bool hasDirty() const { return !_dirty.empty(); }
    std::size_t dirtyCount() const { return _dirty.size(); }

    // The rows a refresh changed: first..last inclusive (count 0: none).
    struct Refreshed {
        std::size_t count = 0;
        int first = -1;
        int last = -1;
    };
    // Gives the dirty rows between first and last (inclusive) their new texts through read, which
    // gets each item once. Dirty rows outside the range stay dirty.
    Refreshed refresh(int first, int last, const std::function<ItemTexts(const OPC_Item*)>& read);
    // Forgets every dirty mark; the rows keep the texts they have.
    void dropDirty();

private:
    std::vector<ItemRow> _rows;
    std::unordered_map<const OPC_Item*, int> _rowOfItem;
    std::vector<bool> _isDirty;  // per row
    std::vector<int> _dirty;     // the dirty rows, each once, in the order they became dirty
};

} // namespace form
