#include "servers/kit/ServerCore.h"

namespace servers::kit {

bool ServerCore::claimName(const platform::WideString& name, OPCHANDLE group)
{
    std::lock_guard lock(_namesMutex);
    return _names.emplace(name, group).second;
}

bool ServerCore::renameGroup(OPCHANDLE group, const platform::WideString& name)
{
    std::lock_guard lock(_namesMutex);
    const auto taken = _names.find(name);
    if (taken != _names.end()) return taken->second == group;
    for (auto it = _names.begin(); it != _names.end(); ++it) {
        if (it->second == group) {
            _names.erase(it);
            break;
        }
    }
    _names.emplace(name, group);
    return true;
}

void ServerCore::releaseName(OPCHANDLE group)
{
    std::lock_guard lock(_namesMutex);
    for (auto it = _names.begin(); it != _names.end(); ++it) {
        if (it->second == group) {
            _names.erase(it);
            return;
        }
    }
}

bool ServerCore::findGroup(const platform::WideString& name, OPCHANDLE& group) const
{
    std::lock_guard lock(_namesMutex);
    const auto it = _names.find(name);
    if (it == _names.end()) return false;
    group = it->second;
    return true;
}

platform::WideString ServerCore::claimUniqueName(OPCHANDLE group)
{
    std::lock_guard lock(_namesMutex);
    for (;;) {
        const std::string narrow = "Group" + std::to_string(++_nameCounter);
        platform::WideString name(narrow.begin(), narrow.end());
        if (_names.emplace(name, group).second) return name;
    }
}

} // namespace servers::kit
