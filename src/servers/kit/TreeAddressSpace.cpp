#include "servers/kit/TreeAddressSpace.h"

namespace servers::kit {

TreeAddressSpace::TreeAddressSpace() { _branches.emplace_back(); }

NodeId TreeAddressSpace::addBranch(NodeId parent, platform::WideString name)
{
    if (!validNode(parent)) parent = kRootNode;
    const NodeId id = _branches.size();
    Branch b;
    b.path = parent == kRootNode ? name : _branches[parent].path + kSeparator + name;
    b.name = std::move(name);
    b.parent = parent;
    // The first of two equal paths is the one a path finds, as for items.
    _branchesByPath.emplace(b.path, id);
    _branches.push_back(std::move(b));
    _branches[parent].branches.push_back(id);
    return id;
}

NodeId TreeAddressSpace::addBranches(NodeId parent, platform::WideStringView path)
{
    NodeId at = validNode(parent) ? parent : kRootNode;
    while (!path.empty()) {
        const std::size_t cut = path.find(kSeparator);
        const platform::WideStringView name = path.substr(0, cut);
        NodeId child;
        at = findBranch(at, name, child) ? child : addBranch(at, platform::WideString(name));
        if (cut == platform::WideStringView::npos) break;
        path.remove_prefix(cut + 1);
    }
    return at;
}

ItemRef TreeAddressSpace::addItem(NodeId parent, platform::WideString name, VARTYPE type, DWORD accessRights,
                                  Generator generator)
{
    if (!validNode(parent)) parent = kRootNode;
    const ItemRef ref = _items.size();
    Item item;
    item.id = parent == kRootNode ? name : _branches[parent].path + kSeparator + name;
    item.name = std::move(name);
    item.traits = ItemTraits{type, accessRights};
    item.generator = std::move(generator);
    _itemsById.emplace(item.id, ref);
    _items.push_back(std::move(item));
    _branches[parent].leaves.push_back(ref);
    return ref;
}

std::size_t TreeAddressSpace::branchCount(NodeId node) const
{
    return validNode(node) ? _branches[node].branches.size() : 0;
}

NodeId TreeAddressSpace::branchAt(NodeId node, std::size_t index) const
{
    return _branches.at(node).branches.at(index);
}

platform::WideString TreeAddressSpace::branchName(NodeId node) const
{
    return validNode(node) ? _branches[node].name : platform::WideString();
}

bool TreeAddressSpace::parentOf(NodeId node, NodeId& parent) const
{
    if (node == kRootNode || !validNode(node)) return false;
    parent = _branches[node].parent;
    return true;
}

bool TreeAddressSpace::findBranchPath(platform::WideStringView path, NodeId& node) const
{
    if (path.empty()) {
        node = kRootNode;
        return true;
    }
    const auto it = _branchesByPath.find(platform::WideString(path));
    if (it == _branchesByPath.end()) return false;
    node = it->second;
    return true;
}

platform::WideString TreeAddressSpace::branchPath(NodeId node) const
{
    return validNode(node) ? _branches[node].path : platform::WideString();
}

std::size_t TreeAddressSpace::leafCount(NodeId node) const
{
    return validNode(node) ? _branches[node].leaves.size() : 0;
}

ItemRef TreeAddressSpace::leafAt(NodeId node, std::size_t index) const
{
    return _branches.at(node).leaves.at(index);
}

platform::WideString TreeAddressSpace::leafName(ItemRef item) const
{
    return validItem(item) ? _items[item].name : platform::WideString();
}

platform::WideString TreeAddressSpace::itemId(ItemRef item) const
{
    return validItem(item) ? _items[item].id : platform::WideString();
}

bool TreeAddressSpace::findItem(platform::WideStringView itemId, ItemRef& item) const
{
    const auto it = _itemsById.find(platform::WideString(itemId));
    if (it == _itemsById.end()) return false;
    item = it->second;
    return true;
}

ItemTraits TreeAddressSpace::traits(ItemRef item) const
{
    return validItem(item) ? _items[item].traits : ItemTraits{};
}

std::uint64_t TreeAddressSpace::changeStamp(ItemRef item, std::uint64_t ms) const
{
    return validItem(item) ? _items[item].generator.stepAt(ms) : 0;
}

void TreeAddressSpace::read(ItemRef item, std::uint64_t ms, VARIANT& value, WORD& quality, FILETIME& timeStamp) const
{
    VariantInit(&value);
    if (!validItem(item)) {
        quality = OPC_QUALITY_BAD | OPC_QUALITY_CONFIG_ERROR;
        timeStamp = clock().fileTimeAt(0);
        return;
    }
    const Item& it = _items[item];
    const std::uint64_t step = it.generator.stepAt(ms);
    generateValue(it.generator, it.traits.canonicalType, item, step, clock(), value);
    quality = generateQuality(it.generator, step);
    timeStamp = clock().fileTimeAt(step * it.generator.stepMs);
}

} // namespace servers::kit
