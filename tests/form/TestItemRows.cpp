// The item table's rows: found by their item in constant time, dirty rows refreshed in a range
// (each item read once), marks outside the range kept, and the texts the views draw.
#include "client/form/ItemRows.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// Items are only compared by address here, never read.
const OPC_Item* fakeItem(std::uintptr_t n)
{
    return reinterpret_cast<const OPC_Item*>(n * 64);
}

std::vector<form::ItemRow> rows(int count)
{
    std::vector<form::ItemRow> out;
    for (int i = 0; i < count; ++i)
        out.push_back({fakeItem(static_cast<std::uintptr_t>(i + 1)), "item" + std::to_string(i),
                       {"VT_I4", std::to_string(i), "", "GOOD"}});
    return out;
}

TEST(ItemRows, RowsAreFoundByTheirItem)
{
    form::ItemRows table;
    table.reset(rows(10000));
    EXPECT_EQ(table.size(), 10000u);
    EXPECT_EQ(table.rowOf(fakeItem(1)), 0);
    EXPECT_EQ(table.rowOf(fakeItem(5000)), 4999);
    EXPECT_EQ(table.rowOf(fakeItem(10000)), 9999);
    EXPECT_EQ(table.rowOf(fakeItem(10001)), -1);
    EXPECT_EQ(table.rowOf(nullptr), -1);
    EXPECT_EQ(table[42].item, fakeItem(43));
    EXPECT_EQ(table.text(42, form::NameColumn), "item42");
    EXPECT_EQ(table.text(42, form::ValueColumn), "42");
    EXPECT_EQ(table.text(42, form::QualityColumn), "GOOD");

    // The same item twice: the first row answers, as a search from the top would.
    std::vector<form::ItemRow> twice = rows(3);
    twice[2].item = twice[0].item;
    table.reset(twice);
    EXPECT_EQ(table.rowOf(fakeItem(1)), 0);
}

TEST(ItemRows, RefreshGivesDirtyRowsInTheRangeNewTexts)
{
    form::ItemRows table;
    table.reset(rows(100));
    for (int row : {5, 50, 7, 5, 90}) table.markDirty(row);
    table.markDirty(-1);
    table.markDirty(100);
    EXPECT_EQ(table.dirtyCount(), 4u);

    std::vector<const OPC_Item*> read;
    const auto texts = [&](const OPC_Item* item) {
        read.push_back(item);
        return form::ItemTexts{"VT_R8", "new", "12:00:00:000", "BAD"};
    };
    const form::ItemRows::Refreshed done = table.refresh(0, 60, texts);
    EXPECT_EQ(done.count, 3u);
    EXPECT_EQ(done.first, 5);
    EXPECT_EQ(done.last, 50);
    // Each item read once, in the order its row became dirty.
    EXPECT_EQ(read, (std::vector<const OPC_Item*>{fakeItem(6), fakeItem(51), fakeItem(8)}));
    EXPECT_EQ(table.text(50, form::ValueColumn), "new");
    EXPECT_EQ(table.text(50, form::NameColumn), "item50");
    EXPECT_EQ(table.text(6, form::ValueColumn), "6");
    // Row 90 was off the range and is still waiting.
    EXPECT_EQ(table.dirtyCount(), 1u);
    EXPECT_EQ(table.text(90, form::ValueColumn), "90");

    EXPECT_EQ(table.refresh(0, 60, texts).count, 0u);
    table.dropDirty();
    EXPECT_FALSE(table.hasDirty());
    table.markDirty(90);  // dropped marks can be set again
    EXPECT_EQ(table.refresh(0, 99, texts).count, 1u);
    EXPECT_EQ(table.text(90, form::ValueColumn), "new");
}

TEST(ItemRows, ResetDropsMarksAndRows)
{
    form::ItemRows table;
    table.reset(rows(10));
    table.markDirty(3);
    table.reset(rows(2));
    EXPECT_FALSE(table.hasDirty());
    EXPECT_EQ(table.rowOf(fakeItem(5)), -1);
    table.markDirty(3);  // past the rows there are now
    EXPECT_FALSE(table.hasDirty());
    table.clear();
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.rowOf(fakeItem(1)), -1);
    EXPECT_STREQ(form::kItemColumnCaptions[form::TimeColumn], "Время");
}

} // namespace
