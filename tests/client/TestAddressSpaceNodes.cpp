#include "client/OPC_Item.h"
#include "client/WindowMessages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

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
        first->takeChanges();  // the receiver has read it: its next change notifies again
        first->setValue(value.get(), 0xC0, &time);
        EXPECT_EQ(dispatcher.postedCount(), 0u) << "nothing goes out before the batch ends";
        EXPECT_EQ(first->readValue().quality, 0xC0) << "the value itself is stored at once";
    }
    dispatcher.processAll();
    EXPECT_EQ(seen, (std::vector<WPARAM>{WPARAM(first), WPARAM(second), WPARAM(first)}));
    second->takeChanges();
    second->setValue(value.get(), 0x40, &time);  // without a batch: posted at once
    EXPECT_EQ(dispatcher.postedCount(), 1u);
    dispatcher.processAll();
    dispatcher.setHandler(nullptr);
}

TEST(AddressSpaceNodes, OneNotificationWaitsPerItemWhateverTheRate)
{
    auto& dispatcher = platform::Dispatcher::instance();
    dispatcher.bindMainThread();
    dispatcher.processAll();
    std::vector<WPARAM> seen;
    dispatcher.setHandler([&](UINT id, WPARAM w, LPARAM) {
        if (id == WM_ITEM_NEW_VALUE) seen.push_back(w);
    });
    Root root;
    OPC_Item* item = root.addLeaf("item");
    platform::Variant value;
    value->vt = VT_I4;
    const FILETIME time{1, 2};
    for (int i = 1; i <= 5; ++i) {
        value->lVal = i;
        item->setValue(value.get(), 0xC0, &time);
    }
    EXPECT_EQ(dispatcher.postedCount(), 1u) << "later changes join the waiting notification";
    dispatcher.processAll();
    EXPECT_EQ(seen.size(), 1u);
    // The receiver takes the five changes and reads the latest value.
    EXPECT_EQ(item->takeChanges(), 5u);
    EXPECT_EQ(item->readValue().value->lVal, 5);
    EXPECT_EQ(item->takeChanges(), 0u);
    // Until it has taken them, further changes stay silent.
    item->setValue(value.get(), 0xC0, &time);
    item->setValue(value.get(), 0xC0, &time);
    EXPECT_EQ(dispatcher.postedCount(), 1u);
    dispatcher.processAll();
    item->setValue(value.get(), 0xC0, &time);
    EXPECT_EQ(dispatcher.postedCount(), 0u) << "not taken yet: no second notification";
    EXPECT_EQ(item->takeChanges(), 3u);
    item->setValue(value.get(), 0xC0, &time);
    EXPECT_EQ(dispatcher.postedCount(), 1u);
    dispatcher.processAll();
    dispatcher.setHandler(nullptr);
}

TEST(AddressSpaceNodes, SlowReceiverSeesEveryItemsLastValueAndNeverMoreNotificationsThanItems)
{
    // Writer threads change their own items as fast as they can, each item up to a known last
    // value, while this thread reads a few notifications at a time. At no time are more
    // notifications waiting than there are items, and once the writers have stopped, every item
    // has been read at its last value.
    auto& dispatcher = platform::Dispatcher::instance();
    dispatcher.bindMainThread();
    dispatcher.processAll();
    constexpr int kItems = 64;
    constexpr int kWriters = 4;
    constexpr LONG kLastValue = 2000;
    Root root;
    std::vector<OPC_Item*> items;
    for (int i = 0; i < kItems; ++i) items.push_back(root.addLeaf("i" + std::to_string(i)));
    std::map<const OPC_Item*, LONG> shown;
    std::uint64_t taken = 0;
    dispatcher.setHandler([&](UINT id, WPARAM w, LPARAM) {
        if (id != WM_ITEM_NEW_VALUE) return;
        const auto* item = reinterpret_cast<const OPC_Item*>(w);
        taken += item->takeChanges();
        shown[item] = item->readValue().value->lVal;
    });

    std::atomic<int> running{kWriters};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            platform::Variant value;
            value->vt = VT_I4;
            const FILETIME time{1, 2};
            for (LONG v = 1; v <= kLastValue; ++v) {
                const ItemNotificationBatch batch;  // as a data-change block posts
                for (int i = w; i < kItems; i += kWriters) {
                    value->lVal = v;
                    items[i]->setValue(value.get(), 0xC0, &time);
                }
            }
            --running;
        });
    }
    std::size_t mostWaiting = 0;
    while (running > 0) {
        mostWaiting = std::max(mostWaiting, dispatcher.postedCount());
        dispatcher.processPosted(3);
        std::this_thread::yield();
    }
    for (std::thread& t : writers) t.join();
    mostWaiting = std::max(mostWaiting, dispatcher.postedCount());
    dispatcher.processAll();
    dispatcher.setHandler(nullptr);

    EXPECT_LE(mostWaiting, std::size_t(kItems));
    EXPECT_EQ(taken, std::uint64_t(kItems) * kLastValue) << "every change was counted once";
    ASSERT_EQ(shown.size(), std::size_t(kItems));
    for (const auto& [item, value] : shown) EXPECT_EQ(value, kLastValue) << item->name();
}
