// The nodes of a server's address space: items (leaves) with their current value, and branches
// that own their child branches and items.
#pragma once

#include "platform/Dispatcher.h"
#include "platform/Time.h"
#include "platform/Variant.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class OPC_Branch;

// While one lives on a thread, the WM_ITEM_NEW_VALUE notifications of that thread's setValue
// calls are gathered and posted together, in their order, when it ends: a data-change block then
// takes the dispatcher's lock once instead of once an item. Batches on one thread may nest; the
// outermost one posts.
class ItemNotificationBatch {
public:
    ItemNotificationBatch();
    ~ItemNotificationBatch();
    ItemNotificationBatch(const ItemNotificationBatch&) = delete;
    ItemNotificationBatch& operator=(const ItemNotificationBatch&) = delete;

private:
    bool _outermost;
};

// One item of the address space. Built and destroyed on the connection's worker thread; its value
// record is written on data-change callback threads and read on the main thread, always through
// setValue/readValue, which keep value, quality and time stamp together.
class OPC_Item {
public:
    OPC_Item(OPC_Branch* parent, std::string name);
    virtual ~OPC_Item();
    OPC_Item(const OPC_Item&) = delete;
    OPC_Item& operator=(const OPC_Item&) = delete;

    OPC_Branch* parent() const { return _parent; }
    const std::string& name() const { return _name; }

    // The names from below the connection down to this node, joined by "/": how the tree nests.
    // Computed once and cached; worker thread.
    const std::string& path();
    // The item identifier registered with the server (and, for a branch, the one it is browsed
    // by): the one the server's browser gave, when it gives one, else the path. Worker thread.
    const std::string& itemId() { return _itemId.empty() ? path() : _itemId; }
    void setItemId(std::string id) { _itemId = std::move(id); }

    // The current value record, copied out whole. Any thread.
    struct Record {
        platform::Variant value;
        WORD quality = 0;
        FILETIME timeStamp{0, 0};
    };
    Record readValue() const;
    // Stores a deep copy of value with its quality and time stamp; then, unless a notification of
    // this item is still waiting to be taken, posts WM_ITEM_NEW_VALUE with this item (with the
    // batch of the thread, if there is one). At most one notification per item is ever queued,
    // whatever the server's rate. Data-change callback threads.
    void setValue(const VARIANT* value, WORD quality, const FILETIME* timeStamp);
    // The receiver's side: how many changes were stored since the last call (0 when none), and
    // from now on the next change posts a notification again. Called before the record is read,
    // so that no change is left unshown: a change stored after this call notifies anew. A
    // receiver that does not read an item does not call it, and hears of the item no more until
    // it does. Main thread.
    std::uint32_t takeChanges() const;

protected:
    friend class OPC_Branch;
    OPC_Branch* _parent;  // not owned; null for the connection itself
    std::string _name;
    std::string _cachedPath;
    std::string _itemId;  // empty: the path
    VARIANT _value;
    WORD _quality = 0;
    // Changes since the receiver last took them; the change that finds 0 posts the notification.
    // It may wrap after 2^32 changes unread, which only costs one notification more.
    mutable std::atomic<std::uint32_t> _changesPending{0};
    FILETIME _timeStamp{0, 0};
};

// One branch: owns its child branches and its items, in the order the server gave them.
class OPC_Branch : public OPC_Item {
public:
    OPC_Branch(OPC_Branch* parent, std::string name);
    ~OPC_Branch() override;

    // Destroys the whole subtree below this branch (branches first, then items) and leaves both
    // lists empty; the branch itself stays.
    void clear();

    const std::vector<std::unique_ptr<OPC_Branch>>& branches() const { return _branches; }
    const std::vector<std::unique_ptr<OPC_Item>>& leaves() const { return _leaves; }
    OPC_Branch* addBranch(std::string name);
    OPC_Item* addLeaf(std::string name);

    // True for the root of a server's tree (the connection).
    virtual bool isConnection() const { return false; }

private:
    std::vector<std::unique_ptr<OPC_Branch>> _branches;
    std::vector<std::unique_ptr<OPC_Item>> _leaves;
};
