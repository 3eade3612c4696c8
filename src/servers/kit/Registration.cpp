#include "servers/kit/Registration.h"

#include <cstdio>

namespace servers::kit {

std::string bracedGuid(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::vector<RegistryKey> registrationKeys(const ClassRegistration& c, const std::string& server)
{
    const std::string clsid = bracedGuid(c.clsid);
    std::vector<RegistryKey> keys;
    auto progIdKeys = [&](const std::string& name, const std::string& curVer) {
        keys.push_back({name, {{"", c.description}}});
        keys.push_back({name + "\\CLSID", {{"", clsid}}});
        if (!curVer.empty()) keys.push_back({name + "\\CurVer", {{"", curVer}}});
        keys.push_back({name + "\\OPC", {}});
        keys.push_back({name + "\\OPC\\Vendor", {{"", std::string(kVendor)}}});
    };
    progIdKeys(c.progId, "");
    if (!c.versionIndependentProgId.empty()) progIdKeys(c.versionIndependentProgId, c.progId);

    const std::string key = "CLSID\\" + clsid;
    keys.push_back({key, {{"", c.description}}});
    keys.push_back({key + "\\ProgID", {{"", c.progId}}});
    if (!c.versionIndependentProgId.empty())
        keys.push_back({key + "\\VersionIndependentProgID", {{"", c.versionIndependentProgId}}});
    if (c.activation == Activation::Program) {
        const bool quoted = server.find(' ') != std::string::npos && server.front() != '"';
        keys.push_back({key + "\\LocalServer32", {{"", quoted ? '"' + server + '"' : server}}});
    } else {
        keys.push_back({key + "\\InprocServer32", {{"", server}, {"ThreadingModel", std::string("Free")}}});
    }
    keys.push_back({key + "\\Implemented Categories", {}});
    keys.push_back({key + "\\Implemented Categories\\" + kCategoryDa1, {}});
    keys.push_back({key + "\\Implemented Categories\\" + kCategoryDa2, {}});
    if (!c.parameters.empty()) {
        RegistryKey parameters{key + "\\Parameters", {}};
        for (const auto& [name, value] : c.parameters) parameters.values.push_back({name, value});
        keys.push_back(std::move(parameters));
    }
    return keys;
}

std::vector<std::string> ownedKeys(const ClassRegistration& c)
{
    std::vector<std::string> keys{c.progId};
    if (!c.versionIndependentProgId.empty()) keys.push_back(c.versionIndependentProgId);
    keys.push_back("CLSID\\" + bracedGuid(c.clsid));
    return keys;
}

std::vector<RegistryKey> categoryKeys()
{
    return {
        {std::string("Component Categories\\") + kCategoryDa1, {{"409", std::string("OPC Data Access Servers Version 1.0")}}},
        {std::string("Component Categories\\") + kCategoryDa2, {{"409", std::string("OPC Data Access Servers Version 2.0")}}},
    };
}

} // namespace servers::kit
