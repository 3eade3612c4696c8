// An address space given branch by branch and item by item, for the simulation server's plant
// and the test servers' small trees. Built on one thread before the server uses it; immutable
// (and so free for any thread) afterwards.
#pragma once

#include "servers/kit/AddressSpace.h"
#include "servers/kit/ValueGenerator.h"

#include <unordered_map>
#include <vector>

namespace servers::kit {

class TreeAddressSpace : public AddressSpace {
public:
    TreeAddressSpace();

    // --- building (before the address space is shared) --------------------------------------
    NodeId addBranch(NodeId parent, platform::WideString name);
    // Adds a branch path below parent, reusing branches that exist ("Plant/Line1/Motors").
    NodeId addBranches(NodeId parent, platform::WideStringView path);
    ItemRef addItem(NodeId parent, platform::WideString name, VARTYPE type, DWORD accessRights, Generator generator);

    std::size_t itemCount() const { return _items.size(); }

    // --- AddressSpace ---------------------------------------------------------------------
    std::size_t branchCount(NodeId node) const override;
    NodeId branchAt(NodeId node, std::size_t index) const override;
    platform::WideString branchName(NodeId node) const override;
    bool parentOf(NodeId node, NodeId& parent) const override;
    bool findBranchPath(platform::WideStringView path, NodeId& node) const override;
    platform::WideString branchPath(NodeId node) const override;
    std::size_t leafCount(NodeId node) const override;
    ItemRef leafAt(NodeId node, std::size_t index) const override;
    platform::WideString leafName(ItemRef item) const override;
    platform::WideString itemId(ItemRef item) const override;
    bool findItem(platform::WideStringView itemId, ItemRef& item) const override;
    ItemTraits traits(ItemRef item) const override;
    std::uint64_t changeStamp(ItemRef item, std::uint64_t ms) const override;
    void read(ItemRef item, std::uint64_t ms, VARIANT& value, WORD& quality, FILETIME& timeStamp) const override;

private:
    struct Branch {
        platform::WideString name;
        platform::WideString path;
        NodeId parent = kRootNode;
        std::vector<NodeId> branches;
        std::vector<ItemRef> leaves;
    };
    struct Item {
        platform::WideString name;
        platform::WideString id;
        ItemTraits traits;
        Generator generator;
    };

    bool validNode(NodeId node) const { return node < _branches.size(); }
    bool validItem(ItemRef item) const { return item < _items.size(); }

    std::vector<Branch> _branches;
    std::vector<Item> _items;
    std::unordered_map<platform::WideString, ItemRef> _itemsById;
    std::unordered_map<platform::WideString, NodeId> _branchesByPath;
};

} // namespace servers::kit
