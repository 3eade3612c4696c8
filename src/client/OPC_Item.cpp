#include "OPC_Item.h"

#include "WindowMessages.h"

#include <array>
#include <cstring>
#include <mutex>

namespace {

// Value records are guarded by a striped lock: a mutex per item would cost 40 bytes an item, one
// lock for all would make every delivery thread wait for every other.
std::mutex& recordLock(const void* item)
{
    static std::array<std::mutex, 256> stripes;
    const auto bits = reinterpret_cast<std::uintptr_t>(item);
    return stripes[(bits >> 6) % stripes.size()];
}

// The notifications gathered by the thread's batch; kept between blocks, so that a block of any
// size allocates nothing once the thread has seen one like it.
thread_local std::vector<platform::Dispatcher::Message> gathered;
thread_local bool gathering = false;

} // namespace

ItemNotificationBatch::ItemNotificationBatch() : _outermost(!gathering)
{
    gathering = true;
}

ItemNotificationBatch::~ItemNotificationBatch()
{
    if (!_outermost) return;
    gathering = false;
    platform::Dispatcher::instance().post(gathered.data(), gathered.size());
    gathered.clear();
}

OPC_Item::OPC_Item(OPC_Branch* parent, std::string name) : _parent(parent), _name(std::move(name))
{
    VariantInit(&_value);
}

OPC_Item::~OPC_Item()
{
    VariantClear(&_value);
}

const std::string& OPC_Item::path()
{
    if (!_cachedPath.empty()) return _cachedPath;
    if (_parent && !_parent->isConnection()) _cachedPath = _parent->path() + "/";
    _cachedPath += _name;
    return _cachedPath;
}

OPC_Item::Record OPC_Item::readValue() const
{
    Record record;
    std::lock_guard<std::mutex> guard(recordLock(this));
    VariantCopy(record.value.get(), platform::asSource(&_value));
    record.quality = _quality;
    record.timeStamp = _timeStamp;
    return record;
}

void OPC_Item::setValue(const VARIANT* value, WORD quality, const FILETIME* timeStamp)
{
    // Copy outside the lock (it may allocate), swap inside, free the old value outside again.
    VARIANT fresh;
    VariantInit(&fresh);
    if (value) VariantCopy(&fresh, platform::asSource(value));
    {
        std::lock_guard<std::mutex> guard(recordLock(this));
        std::swap(fresh, _value);
        _quality = quality;
        if (timeStamp) std::memcpy(&_timeStamp, timeStamp, sizeof _timeStamp);
    }
    VariantClear(&fresh);
    // Released after the record: a receiver that takes this change (acquire) reads the record
    // stored above.
    if (_changesPending.fetch_add(1, std::memory_order_acq_rel) != 0) return;
    if (gathering) {
        gathered.push_back({WM_ITEM_NEW_VALUE, reinterpret_cast<WPARAM>(this), 0});
    } else {
        platform::Dispatcher::instance().post(WM_ITEM_NEW_VALUE, reinterpret_cast<WPARAM>(this), 0);
    }
}

std::uint32_t OPC_Item::takeChanges() const
{
    return _changesPending.exchange(0, std::memory_order_acq_rel);
}

OPC_Branch::OPC_Branch(OPC_Branch* parent, std::string name) : OPC_Item(parent, std::move(name)) {}

OPC_Branch::~OPC_Branch()
{
    clear();
}

void OPC_Branch::clear()
{
    // Child branches first, in order (each clears its own subtree), then the items.
    for (auto& branch : _branches) branch.reset();
    _branches.clear();
    for (auto& leaf : _leaves) leaf.reset();
    _leaves.clear();
}

OPC_Branch* OPC_Branch::addBranch(std::string name)
{
    _branches.push_back(std::make_unique<OPC_Branch>(this, std::move(name)));
    return _branches.back().get();
}

OPC_Item* OPC_Branch::addLeaf(std::string name)
{
    _leaves.push_back(std::make_unique<OPC_Item>(this, std::move(name)));
    return _leaves.back().get();
}
