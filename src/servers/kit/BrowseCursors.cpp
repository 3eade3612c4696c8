#include "servers/kit/BrowseCursors.h"

#include <algorithm>
#include <vector>

namespace servers::kit {

bool BrowseQuery::itemPasses(ItemRef item) const
{
    const ItemTraits traits = space->traits(item);
    if (type != VT_EMPTY && traits.canonicalType != type) return false;
    return (traits.accessRights & rights) == rights;
}

namespace {

// The children of one branch by index. The counts are taken once: an address space does not
// change.
class IndexCursor : public NameCursor {
public:
    IndexCursor(std::shared_ptr<const BrowseQuery> query, std::size_t count)
        : _query(std::move(query)), _count(count) {}

    bool current(platform::WideString& name) override
    {
        for (; _index < _count; ++_index) {
            if (nameAt(_index, name)) return true;
        }
        return false;
    }
    void advance() override { ++_index; }
    std::uint64_t skip(std::uint64_t n) override
    {
        // Without a filter every index is a name, so a long skip costs nothing.
        if (filtered()) return NameCursor::skip(n);
        const std::uint64_t passed = std::min<std::uint64_t>(n, _count - std::min(_index, _count));
        _index += static_cast<std::size_t>(passed);
        return passed;
    }
    void reset() override { _index = 0; }

protected:
    // The name of the child at the index, false when the filters leave it out.
    virtual bool nameAt(std::size_t index, platform::WideString& name) const = 0;
    virtual bool filtered() const { return !_query->filter.matchesAll(); }

    const std::shared_ptr<const BrowseQuery> _query;

private:
    std::size_t _count;
    std::size_t _index = 0;
};

class BranchCursor final : public IndexCursor {
public:
    explicit BranchCursor(std::shared_ptr<const BrowseQuery> query)
        : IndexCursor(query, query->space->branchCount(query->node)) {}
    std::unique_ptr<NameCursor> clone() const override { return std::make_unique<BranchCursor>(*this); }

private:
    bool nameAt(std::size_t index, platform::WideString& name) const override
    {
        const AddressSpace& s = *_query->space;
        name = s.branchName(s.branchAt(_query->node, index));
        return _query->filter.matches(name);
    }
};

class LeafCursor final : public IndexCursor {
public:
    explicit LeafCursor(std::shared_ptr<const BrowseQuery> query)
        : IndexCursor(query, query->space->leafCount(query->node)) {}
    std::unique_ptr<NameCursor> clone() const override { return std::make_unique<LeafCursor>(*this); }

private:
    bool nameAt(std::size_t index, platform::WideString& name) const override
    {
        const AddressSpace& s = *_query->space;
        const ItemRef item = s.leafAt(_query->node, index);
        if (!_query->itemPasses(item)) return false;
        name = s.leafName(item);
        return _query->filter.matches(name);
    }
    bool filtered() const override
    {
        return IndexCursor::filtered() || _query->type != VT_EMPTY || _query->rights != 0;
    }
};

// An explicit stack of the branches being walked, one frame per level, so that the order is the
// recursive walk's and a deep tree costs one frame per level rather than a thread's stack.
class FlatCursor final : public NameCursor {
public:
    FlatCursor(std::shared_ptr<const BrowseQuery> query, std::size_t maxLevels)
        : _query(std::move(query)), _maxLevels(maxLevels)
    {
        reset();
    }

    bool current(platform::WideString& name) override
    {
        const AddressSpace& s = *_query->space;
        while (!_stack.empty()) {
            Frame& f = _stack.back();
            if (f.leaf < f.leaves) {
                const ItemRef item = s.leafAt(f.node, f.leaf);
                if (_query->itemPasses(item)) {
                    name = s.itemId(item);
                    if (_query->filter.matches(name)) return true;
                }
                ++f.leaf;
            } else if (f.branch < f.branches) {
                const NodeId child = s.branchAt(f.node, f.branch++);
                _stack.push_back(frameOf(child));
            } else {
                _stack.pop_back();
            }
        }
        return false;
    }
    void advance() override { ++_stack.back().leaf; }
    void reset() override
    {
        _stack.clear();
        _stack.push_back(frameOf(_query->node));
    }
    std::unique_ptr<NameCursor> clone() const override { return std::make_unique<FlatCursor>(*this); }

private:
    struct Frame {
        NodeId node;
        std::size_t leaves;
        std::size_t leaf;
        std::size_t branches;
        std::size_t branch;
    };

    // The frame of a branch about to be pushed: at the last level its branches are not walked.
    Frame frameOf(NodeId node) const
    {
        const AddressSpace& s = *_query->space;
        const bool last = _stack.size() + 1 >= _maxLevels;
        return Frame{node, s.leafCount(node), 0, last ? 0 : s.branchCount(node), 0};
    }

    std::shared_ptr<const BrowseQuery> _query;
    std::size_t _maxLevels;
    std::vector<Frame> _stack;
};

} // namespace

std::unique_ptr<NameCursor> branchCursor(std::shared_ptr<const BrowseQuery> query)
{
    return std::make_unique<BranchCursor>(std::move(query));
}

std::unique_ptr<NameCursor> leafCursor(std::shared_ptr<const BrowseQuery> query)
{
    return std::make_unique<LeafCursor>(std::move(query));
}

std::unique_ptr<NameCursor> flatCursor(std::shared_ptr<const BrowseQuery> query, std::size_t maxLevels)
{
    return std::make_unique<FlatCursor>(std::move(query), maxLevels);
}

} // namespace servers::kit
