// The browse command's two pictures of a server's address space (the indented tree, and the flat
// list of items with their client handles) and the choice of a branch by its path. Main thread,
// while the connection is connected and no worker runs for it (the tree does not change then).
#pragma once

#include "client/OPC_Item.h"

#include <string>
#include <unordered_set>
#include <vector>

namespace cli {

// One line per node below root, without line feeds: two blanks of indent per level, a branch's
// name followed by "/". A branch's subtrees come before its own items, the order in which the
// items are numbered. Names pass through oneLine.
std::vector<std::string> treeLines(const OPC_Branch& root);

// One line per item in client-handle order (an item's handle is its index): its path, a tab,
// its handle. Paths pass through oneLine.
std::vector<std::string> flatLines(const std::vector<OPC_Item*>& items);

// The items below every branch whose path is branchPath ("X/Y", as treeLines shows the nesting;
// one trailing "/" is allowed). A server may list one branch name twice, so several branches can
// match. Empty when none does, or when the branches that do hold no items; found tells which.
std::unordered_set<const OPC_Item*> itemsBelow(OPC_Branch& root, std::string branchPath, bool& found);

} // namespace cli
