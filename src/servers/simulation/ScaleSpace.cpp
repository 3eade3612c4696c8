#include "servers/simulation/ScaleSpace.h"

#include "platform/Registry.h"
#include "servers/simulation/SimulationClasses.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

namespace servers::simulation {

using kit::ItemRef;
using kit::NodeId;

namespace {

constexpr std::uint64_t kMaxItems = 100000000;
constexpr DWORD kMaxDepth = 16;
constexpr DWORD kMinRate = 10;

// base^exp, saturated at limit + 1 so that comparisons with limit stay right.
std::uint64_t powerCapped(std::uint64_t base, unsigned exp, std::uint64_t limit)
{
    std::uint64_t r = 1;
    for (unsigned i = 0; i < exp; ++i) {
        if (base != 0 && r > (limit + 1) / base) return limit + 1;
        r *= base;
    }
    return std::min(r, limit + 1);
}

unsigned digits(std::uint64_t n)
{
    unsigned d = 1;
    while (n >= 10) {
        n /= 10;
        ++d;
    }
    return d;
}

void readDwords(HKEY root, const char* path, ScaleConfig& c)
{
    HKEY key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    const auto read = [key](const char* name, DWORD& field) {
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size) == ERROR_SUCCESS &&
            type == REG_DWORD && size == sizeof value) {
            field = value;
        }
    };
    read("Branches", c.branches);
    read("ItemsPerBranch", c.itemsPerBranch);
    read("Depth", c.depth);
    read("UpdateRate", c.updateRate);
    read("ChangingPercent", c.changingPercent);
    RegCloseKey(key);
}

platform::WideString ascii(const std::string& s) { return platform::WideString(s.begin(), s.end()); }

} // namespace

void ScaleConfig::clamp()
{
    depth = std::clamp<DWORD>(depth, 1, kMaxDepth);
    updateRate = std::max(updateRate, kMinRate);
    changingPercent = std::min<DWORD>(changingPercent, 100);
    branches = static_cast<DWORD>(std::min<std::uint64_t>(branches, kMaxItems));
    if (branches != 0 && itemCount() > kMaxItems) itemsPerBranch = static_cast<DWORD>(kMaxItems / branches);
}

ScaleConfig readScaleConfig()
{
    ScaleConfig c;
    readDwords(HKEY_CLASSES_ROOT, kScaleDefaultsKey, c);
    readDwords(HKEY_CURRENT_USER, kScaleUserKey, c);
    return c;
}

ScaleAddressSpace::ScaleAddressSpace(ScaleConfig config) : _requested(config), _config(config)
{
    _config.clamp();
    const std::uint64_t b = _config.branches;
    const unsigned d = _config.depth;
    if (b > 1) {
        _fanOut = static_cast<std::uint64_t>(std::llround(std::pow(double(b), 1.0 / d)));
        _fanOut = std::max<std::uint64_t>(_fanOut, 1);
        while (powerCapped(_fanOut, d, b) < b) ++_fanOut;
        while (_fanOut > 1 && powerCapped(_fanOut - 1, d, b) >= b) --_fanOut;
    }
    _levelSize.assign(d + 1, 0);
    _levelWidth.assign(d + 1, 1);
    _levelPrefix.resize(d + 1);
    for (unsigned level = 1; level <= d; ++level) {
        const std::uint64_t below = powerCapped(_fanOut, d - level, b);
        _levelSize[level] = b == 0 ? 0 : (b + below - 1) / below;
        _levelWidth[level] = digits(_levelSize[level] ? _levelSize[level] - 1 : 0);
        _levelPrefix[level] = prefixOf(level);
    }
    _itemWidth = digits(_config.itemsPerBranch ? _config.itemsPerBranch - 1 : 0);
}

bool ScaleAddressSpace::sizeClamped() const
{
    return _config.branches != _requested.branches || _config.itemsPerBranch != _requested.itemsPerBranch;
}

platform::WideString ScaleAddressSpace::clampNote() const
{
    if (!sizeClamped()) return {};
    const auto size = [](const ScaleConfig& c) {
        return std::to_string(c.itemCount()) + " items, " + std::to_string(c.branches) + " branches of " +
               std::to_string(c.itemsPerBranch);
    };
    return ascii(" (size clamped to " + size(_config) + ", from " + size(_requested) + ")");
}

platform::WideString ScaleAddressSpace::prefixOf(unsigned level) const
{
    const unsigned above = _config.depth - level;
    if (above == 0) return OLESTR("Branch");
    if (above == 1) return OLESTR("Area");
    if (above == 2) return OLESTR("Site");
    return ascii("Level" + std::to_string(level) + "_");
}

platform::WideString ScaleAddressSpace::numbered(const platform::WideString& prefix, std::uint64_t n, unsigned width) const
{
    std::string number = std::to_string(n);
    if (number.size() < width) number.insert(0, width - number.size(), '0');
    return prefix + ascii(number);
}

bool ScaleAddressSpace::parseNumbered(platform::WideStringView name, const platform::WideString& prefix, unsigned width,
                                      std::uint64_t& n)
{
    if (name.size() != prefix.size() + width || name.substr(0, prefix.size()) != prefix) return false;
    std::uint64_t value = 0;
    for (WCHAR c : name.substr(prefix.size())) {
        if (c < OLESTR('0') || c > OLESTR('9')) return false;
        value = value * 10 + (c - OLESTR('0'));
    }
    n = value;
    return true;
}

bool ScaleAddressSpace::validNode(NodeId n) const
{
    if (n == kit::kRootNode) return true;
    const unsigned level = levelOf(n);
    return level >= 1 && level <= _config.depth && indexOf(n) < _levelSize[level];
}

std::size_t ScaleAddressSpace::branchCount(NodeId n) const
{
    if (!validNode(n)) return 0;
    const unsigned level = levelOf(n);
    if (level == _config.depth) return 0;
    if (n == kit::kRootNode) return static_cast<std::size_t>(_levelSize[1]);
    const std::uint64_t first = indexOf(n) * _fanOut;
    const std::uint64_t end = std::min(first + _fanOut, _levelSize[level + 1]);
    return end > first ? static_cast<std::size_t>(end - first) : 0;
}

NodeId ScaleAddressSpace::branchAt(NodeId n, std::size_t index) const
{
    if (n == kit::kRootNode) return node(1, index);
    return node(levelOf(n) + 1, indexOf(n) * _fanOut + index);
}

platform::WideString ScaleAddressSpace::branchName(NodeId n) const
{
    if (n == kit::kRootNode || !validNode(n)) return {};
    const unsigned level = levelOf(n);
    return numbered(_levelPrefix[level], indexOf(n), _levelWidth[level]);
}

bool ScaleAddressSpace::parentOf(NodeId n, NodeId& parent) const
{
    if (n == kit::kRootNode || !validNode(n)) return false;
    const unsigned level = levelOf(n);
    parent = level == 1 ? kit::kRootNode : node(level - 1, indexOf(n) / _fanOut);
    return true;
}

bool ScaleAddressSpace::findBranch(NodeId n, platform::WideStringView name, NodeId& child) const
{
    if (!validNode(n)) return false;
    const unsigned level = n == kit::kRootNode ? 1 : levelOf(n) + 1;
    if (level > _config.depth) return false;
    std::uint64_t index;
    if (!parseNumbered(name, _levelPrefix[level], _levelWidth[level], index)) return false;
    const std::uint64_t first = n == kit::kRootNode ? 0 : indexOf(n) * _fanOut;
    if (index < first || index - first >= branchCount(n)) return false;
    child = node(level, index);
    return true;
}

std::size_t ScaleAddressSpace::leafCount(NodeId n) const
{
    return validNode(n) && n != kit::kRootNode && levelOf(n) == _config.depth ? _config.itemsPerBranch : 0;
}

ItemRef ScaleAddressSpace::leafAt(NodeId n, std::size_t index) const
{
    return indexOf(n) * _config.itemsPerBranch + index;
}

platform::WideString ScaleAddressSpace::leafName(ItemRef item) const
{
    if (_config.itemsPerBranch == 0) return {};
    return numbered(OLESTR("Item"), item % _config.itemsPerBranch, _itemWidth);
}

platform::WideString ScaleAddressSpace::itemId(ItemRef item) const
{
    if (item >= _config.itemCount()) return {};
    return branchPath(node(_config.depth, item / _config.itemsPerBranch)) + kSeparator + leafName(item);
}

bool ScaleAddressSpace::findItem(platform::WideStringView id, ItemRef& item) const
{
    const std::size_t cut = id.rfind(kSeparator);
    if (cut == platform::WideStringView::npos) return false;
    std::uint64_t i;
    if (!parseNumbered(id.substr(cut + 1), OLESTR("Item"), _itemWidth, i) || i >= _config.itemsPerBranch) return false;
    const platform::WideStringView path = id.substr(0, cut);
    const std::size_t branchCut = path.rfind(kSeparator);
    const platform::WideStringView branch = branchCut == platform::WideStringView::npos ? path : path.substr(branchCut + 1);
    std::uint64_t b;
    const unsigned d = _config.depth;
    if (!parseNumbered(branch, _levelPrefix[d], _levelWidth[d], b) || b >= _config.branches) return false;
    const ItemRef candidate = b * _config.itemsPerBranch + i;
    // The levels above must be the ones this branch sits under.
    if (d > 1 && itemId(candidate) != id) return false;
    if (d == 1 && branchCut != platform::WideStringView::npos) return false;
    item = candidate;
    return true;
}

kit::ItemTraits ScaleAddressSpace::traits(ItemRef item) const
{
    if (item >= _config.itemCount()) return {};
    switch (item % _config.itemsPerBranch % 10) {
    case 6:
    case 7:
        return {VT_I4, OPC_READABLE};
    case 8:
        return {VT_BOOL, OPC_READABLE};
    case 9:
        return {VT_BSTR, OPC_READABLE};
    default:
        return {VT_R8, OPC_READABLE};
    }
}

bool ScaleAddressSpace::changing(ItemRef item) const
{
    // 37 and 100 share no factor, so every run of 100 items has exactly ChangingPercent changing
    // ones, spread out rather than bunched at the start.
    return (item % 100) * 37 % 100 < _config.changingPercent;
}

std::uint64_t ScaleAddressSpace::changeStamp(ItemRef item, std::uint64_t ms) const
{
    return changing(item) ? ms / _config.updateRate : 0;
}

void ScaleAddressSpace::read(ItemRef item, std::uint64_t ms, VARIANT& value, WORD& quality, FILETIME& timeStamp) const
{
    VariantInit(&value);
    if (item >= _config.itemCount()) {
        quality = OPC_QUALITY_BAD | OPC_QUALITY_CONFIG_ERROR;
        timeStamp = clock().fileTimeAt(0);
        return;
    }
    const std::uint64_t step = changeStamp(item, ms);
    quality = OPC_QUALITY_GOOD;
    timeStamp = clock().fileTimeAt(step * _config.updateRate);
    const VARTYPE type = traits(item).canonicalType;
    value.vt = type;
    switch (type) {
    case VT_I4:
        value.lVal = static_cast<LONG>((item * 7 + step) % 100000);
        break;
    case VT_BOOL:
        value.boolVal = ((item + step) & 1) ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    case VT_BSTR: {
        const platform::WideString text = ascii("Value " + std::to_string((item + step) % 10000));
        value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        break;
    }
    default: {
        // A sine over a minute, each item a little ahead of the one before.
        const double cycles = double(step) * _config.updateRate / 60000.0 + double(item % 1000) / 1000.0;
        value.dblVal = 50.0 + 50.0 * std::sin(2 * std::numbers::pi * cycles);
        break;
    }
    }
}

} // namespace servers::simulation
