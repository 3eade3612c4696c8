#include "servers/kit/AddressSpace.h"

namespace servers::kit {

ServerClock::ServerClock() : _start(std::chrono::steady_clock::now())
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    _startFileTime = platform::fileTimeToU64(now);
}

std::uint64_t ServerClock::elapsedMs() const
{
    const auto elapsed = std::chrono::steady_clock::now() - _start;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

FILETIME ServerClock::fileTimeAt(std::uint64_t ms) const
{
    return platform::u64ToFileTime(_startFileTime + ms * 10000ull);
}

FILETIME ServerClock::now() const
{
    const auto elapsed = std::chrono::steady_clock::now() - _start;
    const auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
    return platform::u64ToFileTime(_startFileTime + static_cast<ULONGLONG>(ticks));
}

bool AddressSpace::findBranch(NodeId node, platform::WideStringView name, NodeId& child) const
{
    const std::size_t n = branchCount(node);
    for (std::size_t i = 0; i < n; ++i) {
        const NodeId candidate = branchAt(node, i);
        if (branchName(candidate) == name) {
            child = candidate;
            return true;
        }
    }
    return false;
}

bool AddressSpace::findBranchPath(platform::WideStringView path, NodeId& node) const
{
    NodeId at = kRootNode;
    while (!path.empty()) {
        const std::size_t cut = path.find(kSeparator);
        const platform::WideStringView name = path.substr(0, cut);
        if (!findBranch(at, name, at)) return false;
        if (cut == platform::WideStringView::npos) break;
        path.remove_prefix(cut + 1);
        if (path.empty()) return false;   // a trailing separator names no branch
    }
    node = at;
    return true;
}

platform::WideString AddressSpace::branchPath(NodeId node) const
{
    platform::WideString path;
    NodeId parent;
    while (parentOf(node, parent)) {
        platform::WideString name = branchName(node);
        path = path.empty() ? std::move(name) : std::move(name) + kSeparator + path;
        node = parent;
    }
    return path;
}

} // namespace servers::kit
