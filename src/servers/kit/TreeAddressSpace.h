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
    NodeId addBranch(NodeId parent, std::u16string name);
    // Adds a branch path below parent, reusing branches that exist ("Plant/Line1/Motors").
    NodeId addBranches(NodeId parent, std::u16string_view path);
    ItemRef addItem(NodeId parent, std::u16string name, VARTYPE type, DWORD accessRights, Generator generator);

    std::size_t itemCount() const { return _items.size(); }

    // --- AddressSpace ---------------------------------------------------------------------
    std::size_t branchCount(NodeId node) const override;
    NodeId branchAt(NodeId node, std::size_t index) const override;
    std::u16string branchName(NodeId node) const override;
    bool parentOf(NodeId node, NodeId& parent) const override;
    bool findBranchPath(std::u16string_view path, NodeId& node) const override;
    std::u16string branchPath(NodeId node) const override;
    std::size_t leafCount(NodeId node) const override;
    ItemRef leafAt(NodeId node, std::size_t index) const override;
    std::u16string leafName(ItemRef item) const override;
    std::u16string itemId(ItemRef item) const override;
    bool findItem(std::u16string_view itemId, ItemRef& item) const override;
    ItemTraits traits(ItemRef item) const override;
    std::uint64_t changeStamp(ItemRef item, std::uint64_t ms) const override;
    void read(ItemRef item, std::uint64_t ms, VARIANT& value, WORD& quality, FILETIME& timeStamp) const override;

private:
    struct Branch {
        std::u16string name;
        std::u16string path;
        NodeId parent = kRootNode;
        std::vector<NodeId> branches;
        std::vector<ItemRef> leaves;
    };
    struct Item {
        std::u16string name;
        std::u16string id;
        ItemTraits traits;
        Generator generator;
    };

    bool validNode(NodeId node) const { return node < _branches.size(); }
    bool validItem(ItemRef item) const { return item < _items.size(); }

    std::vector<Branch> _branches;
    std::vector<Item> _items;
    std::unordered_map<std::u16string, ItemRef> _itemsById;
    std::unordered_map<std::u16string, NodeId> _branchesByPath;
};

} // namespace servers::kit
