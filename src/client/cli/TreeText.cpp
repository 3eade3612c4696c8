#include "TreeText.h"

#include "WatchFormat.h"

namespace cli {

namespace {

void addTreeLines(const OPC_Branch& branch, const std::string& indent, std::vector<std::string>& lines)
{
    for (const auto& child : branch.branches()) {
        lines.push_back(indent + oneLine(child->name()) + "/");
        addTreeLines(*child, indent + "  ", lines);
    }
    for (const auto& leaf : branch.leaves()) lines.push_back(indent + oneLine(leaf->name()));
}

void collectLeaves(const OPC_Branch& branch, std::unordered_set<const OPC_Item*>& items)
{
    for (const auto& child : branch.branches()) collectLeaves(*child, items);
    for (const auto& leaf : branch.leaves()) items.insert(leaf.get());
}

void findBranches(OPC_Branch& branch, const std::string& path, std::unordered_set<const OPC_Item*>& items,
                  bool& found)
{
    for (const auto& child : branch.branches()) {
        const std::string& childPath = child->path();
        if (childPath == path) {
            found = true;
            collectLeaves(*child, items);
        } else if (path.compare(0, childPath.size() + 1, childPath + "/") == 0) {
            // Only a branch whose path leads towards the one asked for is worth a descent.
            findBranches(*child, path, items, found);
        }
    }
}

} // namespace

std::vector<std::string> treeLines(const OPC_Branch& root)
{
    std::vector<std::string> lines;
    addTreeLines(root, "", lines);
    return lines;
}

std::vector<std::string> flatLines(const std::vector<OPC_Item*>& items)
{
    std::vector<std::string> lines;
    lines.reserve(items.size());
    for (std::size_t handle = 0; handle < items.size(); ++handle)
        lines.push_back(oneLine(items[handle]->path()) + "\t" + std::to_string(handle));
    return lines;
}

std::unordered_set<const OPC_Item*> itemsBelow(OPC_Branch& root, std::string branchPath, bool& found)
{
    found = false;
    if (branchPath.size() > 1 && branchPath.back() == '/') branchPath.pop_back();
    std::unordered_set<const OPC_Item*> items;
    findBranches(root, branchPath, items, found);
    return items;
}

} // namespace cli
