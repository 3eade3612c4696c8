// The scale server's address space: a computed tree of any size, for measuring how the client
// copes with 1,000 to 1,000,000 items. Nothing is stored per item or per branch: names and
// values follow from indices and the clock, and an item id is parsed back into its indices.
//
// Shape: Depth levels of branches under the root; the bottom level has Branches branches named
// "Branch<n>" with ItemsPerBranch items "Item<n>" each (numbers zero-padded to one width per
// level). With Depth > 1 the bottom branches are spread evenly under intermediate levels
// ("Area<n>" just above the bottom, "Site<n>" above that, "Level<k>_<n>" higher up), each
// branch having at most the same number of children. Item types, by the item's number within
// its branch modulo 10: 0-5 VT_R8, 6-7 VT_I4, 8 VT_BOOL, 9 VT_BSTR. ChangingPercent of the
// items (spread evenly over every hundred) take a new value every UpdateRate milliseconds; the
// others never change. Any thread.
#pragma once

#include "servers/kit/AddressSpace.h"

#include <vector>

namespace servers::simulation {

struct ScaleConfig {
    DWORD branches = 1000;
    DWORD itemsPerBranch = 100;
    DWORD depth = 1;
    DWORD updateRate = 100;
    DWORD changingPercent = 100;

    // Brings every field into the range the server serves (at most 100,000,000 items and as many
    // branches, depth 1 to 16, a rate of at least 10 ms, at most 100 percent). More would serve
    // no client: one stops a browse long before.
    void clamp();
    // Never overflows: two DWORDs multiply within 64 bits.
    std::uint64_t itemCount() const { return std::uint64_t(branches) * itemsPerBranch; }
};

// The configuration for a new object: HKEY_CURRENT_USER\Software\Tagvista\Scale, else the
// registration's Parameters key, else the built-in defaults, value by value; not clamped, so
// that the address space can tell what was asked for.
ScaleConfig readScaleConfig();

class ScaleAddressSpace : public kit::AddressSpace {
public:
    // Serves the configuration clamped.
    explicit ScaleAddressSpace(ScaleConfig config);

    const ScaleConfig& config() const { return _config; }
    // The configuration as it was given.
    const ScaleConfig& requested() const { return _requested; }
    // Whether the clamp cut the number of branches or of items per branch.
    bool sizeClamped() const;
    // What the server's vendor text adds to say so, e.g. " (size clamped to 100000000 items,
    // 100000000 branches of 1, from 429496729500 items, 4294967295 branches of 100)"; empty when
    // the size is as asked. The servers keep no log: the vendor text is what a client shows.
    platform::WideString clampNote() const;
    // Branches below a branch of the level above the bottom (and below the root for Depth 1).
    std::uint64_t fanOut() const { return _fanOut; }

    std::size_t branchCount(kit::NodeId node) const override;
    kit::NodeId branchAt(kit::NodeId node, std::size_t index) const override;
    platform::WideString branchName(kit::NodeId node) const override;
    bool parentOf(kit::NodeId node, kit::NodeId& parent) const override;
    bool findBranch(kit::NodeId node, platform::WideStringView name, kit::NodeId& child) const override;
    std::size_t leafCount(kit::NodeId node) const override;
    kit::ItemRef leafAt(kit::NodeId node, std::size_t index) const override;
    platform::WideString leafName(kit::ItemRef item) const override;
    platform::WideString itemId(kit::ItemRef item) const override;
    bool findItem(platform::WideStringView itemId, kit::ItemRef& item) const override;
    kit::ItemTraits traits(kit::ItemRef item) const override;
    std::uint64_t changeStamp(kit::ItemRef item, std::uint64_t ms) const override;
    void read(kit::ItemRef item, std::uint64_t ms, VARIANT& value, WORD& quality, FILETIME& timeStamp) const override;

    bool changing(kit::ItemRef item) const;

private:
    static kit::NodeId node(unsigned level, std::uint64_t index) { return (kit::NodeId(level) << 48) | index; }
    static unsigned levelOf(kit::NodeId n) { return static_cast<unsigned>(n >> 48); }
    static std::uint64_t indexOf(kit::NodeId n) { return n & ((kit::NodeId(1) << 48) - 1); }
    bool validNode(kit::NodeId n) const;
    platform::WideString prefixOf(unsigned level) const;
    // The numbered name "<prefix><n>" with the level's width.
    platform::WideString numbered(const platform::WideString& prefix, std::uint64_t n, unsigned width) const;
    // Parses "<prefix><digits>" of exactly that width; false for anything else.
    static bool parseNumbered(platform::WideStringView name, const platform::WideString& prefix, unsigned width, std::uint64_t& n);

    ScaleConfig _requested;
    ScaleConfig _config;
    std::uint64_t _fanOut = 1;
    std::vector<std::uint64_t> _levelSize;    // branches per level, index 1 .. depth
    std::vector<unsigned> _levelWidth;        // digits of the numbers of each level
    std::vector<platform::WideString> _levelPrefix;
    unsigned _itemWidth = 1;
};

} // namespace servers::simulation
