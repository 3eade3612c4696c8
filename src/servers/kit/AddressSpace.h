// The address space a server shows: branches and items (leaves) in a tree, each item with its
// canonical type, access rights and a value that is a function of the server's clock.
//
// Values are computed, not stored: an item's value, quality and time stamp at a moment follow
// from the item and the moment alone, and a change stamp tells whether the value has moved since
// another moment. That keeps items small (the scale server holds a million of them without a
// per-item record), lets every group and thread read without locks, and makes "what changed
// since the last update" a comparison of two numbers.
//
// Thread: an address space is immutable once built; its const operations are called from any
// thread at once. Owned through std::shared_ptr by the server object and by each of its groups,
// so a group that outlives its server still answers.
#pragma once

#include "platform/OpcDa.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace servers::kit {

// A branch; the root is kRootNode. What the number means is the address space's business.
using NodeId = std::uint64_t;
// An item.
using ItemRef = std::uint64_t;

constexpr NodeId kRootNode = 0;
// A change stamp never returned for an item: "not sent yet".
constexpr std::uint64_t kNeverStamp = UINT64_MAX;

struct ItemTraits {
    VARTYPE canonicalType = VT_EMPTY;
    DWORD accessRights = OPC_READABLE;
};

// The server's clock: milliseconds since the address space was made, and the UTC FILETIME of
// that start, from which item time stamps are computed.
class ServerClock {
public:
    ServerClock();
    std::uint64_t elapsedMs() const;
    ULONGLONG startFileTime() const { return _startFileTime; }
    // The UTC time of a moment on this clock.
    FILETIME fileTimeAt(std::uint64_t ms) const;
    FILETIME now() const;

private:
    std::chrono::steady_clock::time_point _start;
    ULONGLONG _startFileTime;
};

class AddressSpace {
public:
    virtual ~AddressSpace() = default;

    // Joins branch and item names into item ids.
    static constexpr WCHAR kSeparator = OLESTR('/');

    // --- navigation -----------------------------------------------------------------------
    virtual std::size_t branchCount(NodeId node) const = 0;
    virtual NodeId branchAt(NodeId node, std::size_t index) const = 0;
    // The branch's own name ("" for the root).
    virtual platform::WideString branchName(NodeId node) const = 0;
    // False for the root.
    virtual bool parentOf(NodeId node, NodeId& parent) const = 0;
    // The child branch of that name (the first, should two share it).
    virtual bool findBranch(NodeId node, platform::WideStringView name, NodeId& child) const;
    // The branch of a full path ("" is the root). The default walks the path name by name.
    virtual bool findBranchPath(platform::WideStringView path, NodeId& node) const;
    // The full path of a branch: the names from the root down joined by the separator.
    virtual platform::WideString branchPath(NodeId node) const;

    virtual std::size_t leafCount(NodeId node) const = 0;
    virtual ItemRef leafAt(NodeId node, std::size_t index) const = 0;
    virtual platform::WideString leafName(ItemRef item) const = 0;
    // The item's full id, as AddItems takes it.
    virtual platform::WideString itemId(ItemRef item) const = 0;
    virtual bool findItem(platform::WideStringView itemId, ItemRef& item) const = 0;
    virtual ItemTraits traits(ItemRef item) const = 0;

    // --- values ---------------------------------------------------------------------------
    // Equal stamps at two moments mean the value, quality and time stamp are the same at both.
    virtual std::uint64_t changeStamp(ItemRef item, std::uint64_t ms) const = 0;
    // The item's value at a moment. value must be empty (or hold nothing that needs freeing).
    virtual void read(ItemRef item, std::uint64_t ms, VARIANT& value, WORD& quality, FILETIME& timeStamp) const = 0;

    const ServerClock& clock() const { return _clock; }

private:
    ServerClock _clock;
};

} // namespace servers::kit
