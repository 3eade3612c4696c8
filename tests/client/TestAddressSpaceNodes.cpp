#include "client/OPC_Item.h"
#include "client/WindowMessages.h"

#include <gtest/gtest.h>

namespace {
// A root that stands for the connection: its own name is never part of a path.
class Root : public OPC_Branch {
public:
    Root() : OPC_Branch(nullptr, "Server.1") {}
    bool isConnection() const override { return true; }
};
} // namespace

TEST(AddressSpaceNodes, PathJoinsNamesBelowTheConnection)
{
    Root root;
    OPC_Branch* a = root.addBranch("A");
    OPC_Branch* b = a->addBranch("B");
    OPC_Item* c = b->addLeaf("C");
    OPC_Item* top = root.addLeaf("top");
    EXPECT_EQ(c->path(), "A/B/C");
    EXPECT_EQ(top->path(), "top");
    EXPECT_EQ(a->path(), "A");
    EXPECT_EQ(c->parent(), b);
    EXPECT_EQ(b->parent(), a);

    // Names are not escaped: a "/" in a name makes the path ambiguous.
    OPC_Item* slash = a->addLeaf("x/y");
    EXPECT_EQ(slash->path(), "A/x/y");
}

TEST(AddressSpaceNodes, ClearDestroysEverythingBelowAndKeepsTheBranch)
{
    Root root;
    OPC_Branch* a = root.addBranch("A");
    for (int i = 0; i < 3; ++i) a->addBranch("sub")->addBranch("deeper")->addLeaf("leaf");
    a->addLeaf("x");
    root.addLeaf("y");
    a->clear();
    EXPECT_TRUE(a->branches().empty());
    EXPECT_TRUE(a->leaves().empty());
    EXPECT_EQ(root.branches().size(), 1u);
    root.clear();
    EXPECT_TRUE(root.branches().empty());
    EXPECT_TRUE(root.leaves().empty());
}

TEST(AddressSpaceNodes, NewItemHasEmptyRecord)
{
    Root root;
    OPC_Item* item = root.addLeaf("i");
    const OPC_Item::Record record = item->readValue();
    EXPECT_EQ(record.value->vt, VT_EMPTY);
    EXPECT_EQ(record.quality, 0);
    EXPECT_EQ(record.timeStamp.dwLowDateTime, 0u);
    EXPECT_EQ(record.timeStamp.dwHighDateTime, 0u);
}

TEST(AddressSpaceNodes, BatchPostsItsNotificationsTogetherInOrder)
{
    auto& dispatcher = platform::Dispatcher::instance();
    dispatcher.bindMainThread();
    dispatcher.processAll();
    std::vector<WPARAM> seen;
    dispatcher.setHandler([&](UINT id, WPARAM w, LPARAM) {
        if (id == WM_ITEM_NEW_VALUE) seen.push_back(w);
    });
    Root root;
    OPC_Item* first = root.addLeaf("first");
    OPC_Item* second = root.addLeaf("second");
    platform::Variant value;
    value->vt = VT_I4;
    const FILETIME time{1, 2};
    {
        const ItemNotificationBatch batch;
        first->setValue(value.get(), 0xC0, &time);
        {
            const ItemNotificationBatch inner;  // nested: the outer one posts
            second->setValue(value.get(), 0xC0, &time);
        }
        first->setValue(value.get(), 0xC0, &time);
        EXPECT_EQ(dispatcher.postedCount(), 0u) << "nothing goes out before the batch ends";
        EXPECT_EQ(first->readValue().quality, 0xC0) << "the value itself is stored at once";
    }
    dispatcher.processAll();
    EXPECT_EQ(seen, (std::vector<WPARAM>{WPARAM(first), WPARAM(second), WPARAM(first)}));
    second->setValue(value.get(), 0x40, &time);  // without a batch: posted at once
    EXPECT_EQ(dispatcher.postedCount(), 1u);
    dispatcher.processAll();
    dispatcher.setHandler(nullptr);
}
