#include "client/form/ItemRows.h"

#include "client/OPC_Item.h"
#include "client/ValueText.h"

#include <algorithm>
#include <climits>

namespace form {

const std::array<const char*, kItemColumns> kItemColumnCaptions = {"Name", "Type", "Value", "Время", "Quality"};

ItemTexts itemTexts(const OPC_Item* item)
{
    item->takeChanges();
    const OPC_Item::Record record = item->readValue();
    return {typeText(record.value->vt), valueText(*record.value.get()), timeStampText(record.timeStamp),
            qualityText(record.quality)};
}

void ItemRows::reset(std::vector<ItemRow> rows)
{
    _rows = std::move(rows);
    _rowOfItem.clear();
    _rowOfItem.reserve(_rows.size());
    // A branch lists each item once; should a pointer come twice, the first row keeps it, as a
    // search from the top would find it.
    for (std::size_t i = 0; i < _rows.size(); ++i) _rowOfItem.emplace(_rows[i].item, static_cast<int>(i));
    _isDirty.assign(_rows.size(), false);
    _dirty.clear();
}

const std::string& ItemRows::text(std::size_t row, int column) const
{
    const ItemRow& r = _rows[row];
    return column == NameColumn ? r.name : r.texts[static_cast<std::size_t>(column - 1)];
}

int ItemRows::rowOf(const OPC_Item* item) const
{
    const auto found = _rowOfItem.find(item);
    return found == _rowOfItem.end() ? -1 : found->second;
}

void ItemRows::markDirty(int row)
{
    const auto index = static_cast<std::size_t>(row);
    if (row < 0 || index >= _rows.size() || _isDirty[index]) return;
    _isDirty[index] = true;
    _dirty.push_back(row);
}

ItemRows::Refreshed ItemRows::refresh(int first, int last, const std::function<ItemTexts(const OPC_Item*)>& read)
{
    Refreshed done;
    if (_dirty.empty()) return done;
    int low = INT_MAX;
    int high = -1;
    std::vector<int> kept;
    for (const int row : _dirty) {
        if (row < first || row > last) {
            kept.push_back(row);
            continue;
        }
        ItemRow& target = _rows[static_cast<std::size_t>(row)];
        target.texts = read(target.item);
        _isDirty[static_cast<std::size_t>(row)] = false;
        low = std::min(low, row);
        high = std::max(high, row);
        ++done.count;
    }
    _dirty.swap(kept);
    if (done.count > 0) {
        done.first = low;
        done.last = high;
    }
    return done;
}

void ItemRows::dropDirty()
{
    for (const int row : _dirty) _isDirty[static_cast<std::size_t>(row)] = false;
    _dirty.clear();
}

} // namespace form
