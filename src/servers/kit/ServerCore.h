// What a server object shares with its groups: who the server says it is, its address space,
// the time of its last data update, and the names of its groups. Owned through std::shared_ptr
// by the server object and each group, so either may go first. Any thread; the names have
// their own lock, which is taken last (under the server's or a group's own lock, never the
// other way round).
#pragma once

#include "servers/kit/AddressSpace.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace servers::kit {

struct ServerIdentity {
    platform::WideString vendorInfo;
    WORD majorVersion = 1;
    WORD minorVersion = 0;
    WORD buildNumber = 0;
    // No group updates faster than this; a faster request is revised up to it.
    DWORD minimumUpdateRateMs = 10;
};

class ServerCore {
public:
    ServerCore(ServerIdentity identity, std::shared_ptr<const AddressSpace> space)
        : _identity(std::move(identity)), _space(std::move(space)) {}

    const ServerIdentity& identity() const { return _identity; }
    const AddressSpace& space() const { return *_space; }
    const std::shared_ptr<const AddressSpace>& spacePointer() const { return _space; }

    // The rate a group gets for a requested one (0 asks for the fastest).
    DWORD reviseRate(DWORD requested) const
    {
        return requested < _identity.minimumUpdateRateMs ? _identity.minimumUpdateRateMs : requested;
    }

    // The UTC time of the last callback any group made, 0 before the first.
    void noteUpdate(const FILETIME& when) { _lastUpdate.store(platform::fileTimeToU64(when)); }
    ULONGLONG lastUpdate() const { return _lastUpdate.load(); }

    // --- group names: unique per server object ----------------------------------------------
    // False when another group has the name.
    bool claimName(const platform::WideString& name, OPCHANDLE group);
    bool renameGroup(OPCHANDLE group, const platform::WideString& name);
    void releaseName(OPCHANDLE group);
    bool findGroup(const platform::WideString& name, OPCHANDLE& group) const;
    // A name no group has ("Group1", "Group2" ...), claimed for the group at once.
    platform::WideString claimUniqueName(OPCHANDLE group);

private:
    const ServerIdentity _identity;
    const std::shared_ptr<const AddressSpace> _space;
    std::atomic<ULONGLONG> _lastUpdate{0};
    mutable std::mutex _namesMutex;
    std::map<platform::WideString, OPCHANDLE> _names;
    unsigned _nameCounter = 0;
};

} // namespace servers::kit
