// The cursors a browse enumerates an address space with: a branch's branches, a branch's leaves,
// and the full ids of every item below a branch (the flat browse). Each computes its names as
// they are read and applies the browse filters as it goes, so nothing is built per name and an
// address space of any size answers at once. Each holds the address space, which so outlives
// its server object for as long as an enumerator is read.
#pragma once

#include "servers/kit/AddressSpace.h"
#include "servers/kit/StringEnumerator.h"
#include "servers/kit/Wildcard.h"

#include <memory>

namespace servers::kit {

// Where a browse looks and what it lets through; shared by a cursor and its clones.
struct BrowseQuery {
    std::shared_ptr<const AddressSpace> space;
    NodeId node = kRootNode;
    // Matched against the names given: branch or leaf names, full ids for the flat walk.
    Wildcard filter;
    // Items only. VT_EMPTY is any type; 0 any rights, else every bit asked for.
    VARTYPE type = VT_EMPTY;
    DWORD rights = 0;

    bool itemPasses(ItemRef item) const;
};

std::unique_ptr<NameCursor> branchCursor(std::shared_ptr<const BrowseQuery> query);
std::unique_ptr<NameCursor> leafCursor(std::shared_ptr<const BrowseQuery> query);
// Depth first: a branch's leaves, then each of its branches in turn. maxLevels bounds the walk
// (the query's branch is the first level), so that a tree without end still answers.
std::unique_ptr<NameCursor> flatCursor(std::shared_ptr<const BrowseQuery> query, std::size_t maxLevels);

} // namespace servers::kit
