// One level of an address space as the DA 3.0 browser (IOPCBrowse::Browse) lists it: its
// branches, then its items, in the order of their indices (the order BrowseOPCItemIDs gives),
// handed out in pieces. A piece ends at a position from which the next one resumes; the
// continuation point the client carries between calls is that position in text, sealed with a
// hash of the browse it belongs to, so a point from another browse or another server object is
// told apart from one of ours. A piece costs the elements it gives plus the children the name
// filter passes over, never the whole level. Any thread: nothing here holds state.
#pragma once

#include "servers/kit/AddressSpace.h"
#include "servers/kit/Wildcard.h"

#include <cstdint>
#include <vector>

namespace servers::kit {

// Where a piece starts: in the branches or in the items, at a child index.
struct LevelPosition {
    bool items = false;
    std::uint64_t index = 0;
};

struct BrowseElement {
    platform::WideString name;
    platform::WideString itemId;
    DWORD flags = 0;   // OPC_BROWSE_HASCHILDREN for a branch, OPC_BROWSE_ISITEM for an item
};

struct LevelPiece {
    std::vector<BrowseElement> elements;
    // Whether an element the filters let through follows; next is where it is.
    bool more = false;
    LevelPosition next;
};

// Up to max elements of the level below node (the filter OPC_BROWSE_FILTER_ALL, _BRANCHES or
// _ITEMS), from a position on. Every branch is listed, an empty one too.
LevelPiece browseLevel(const AddressSpace& space, NodeId node, OPCBROWSEFILTER filter, const Wildcard& names,
                       LevelPosition from, std::size_t max);

// The seal of one browse: the server object's salt, the level's id, the filter and the name
// filter as the client gave them.
std::uint64_t browseKey(std::uint64_t salt, platform::WideStringView itemId, OPCBROWSEFILTER filter,
                        platform::WideStringView nameFilter);
// The continuation point of a position in the browse of that key, and back: false for text that
// is not a point of that browse.
platform::WideString continuationPoint(std::uint64_t key, LevelPosition at);
bool parseContinuationPoint(platform::WideStringView text, std::uint64_t key, LevelPosition& at);

} // namespace servers::kit
