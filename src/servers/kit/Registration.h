// What registering an OPC DA server writes into the classes root, as data: the keys and values of
// each class (served by a library loaded into the client, or by a program of its own), the keys
// its unregistration removes, and the descriptions of the OPC categories. Written out as a .reg
// file on Linux and into the system's registry on Windows, so both say the same. Uses nothing of
// the platform library but its types. Any thread.
#pragma once

#include "platform/Guid.h"

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace servers::kit {

// The OPC categories every server here implements: data access 1.0 and 2.0.
constexpr const char* kCategoryDa1 = "{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}";
constexpr const char* kCategoryDa2 = "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";
constexpr const char* kVendor = "Tagvista";

// How COM serves a class: from a library it loads into the client (InprocServer32), or from a
// program it starts (LocalServer32).
enum class Activation { Library, Program };

struct ClassRegistration {
    CLSID clsid{};
    std::string description;  // the default value of the ProgID and CLSID keys
    std::string progId;       // e.g. "Tagvista.Simulation.1"
    std::string versionIndependentProgId;  // e.g. "Tagvista.Simulation"; empty: none
    // Empty: the library (or program) being registered serves the class. Otherwise the file name
    // of another one in the same folder (the test servers name a library that does not exist).
    std::string library;
    // DWORD values of the CLSID key's Parameters subkey; none: no such key.
    std::vector<std::pair<std::string, DWORD>> parameters;
    Activation activation = Activation::Library;
};

struct RegistryValue {
    std::string name;  // empty: the key's default value
    std::variant<std::string, DWORD> data;
};

struct RegistryKey {
    std::string path;  // below HKEY_CLASSES_ROOT
    std::vector<RegistryValue> values;
};

// The braced upper-case form of a GUID.
std::string bracedGuid(const GUID& guid);

// The keys that register the class, each after its parent. server is the path of what serves it:
// for a library the default value of InprocServer32 (ThreadingModel "Free": the servers are
// free-threaded), for a program the default value of LocalServer32, in quotes when it holds a
// space (the value is a command line, and Windows would otherwise try each prefix of the path).
std::vector<RegistryKey> registrationKeys(const ClassRegistration& c, const std::string& server);

// The keys that belong to the class alone, each with everything below it: the ProgID, the
// version-independent ProgID and CLSID\{...}. Unregistration removes these and nothing else.
std::vector<std::string> ownedKeys(const ClassRegistration& c);

// The descriptions of the two OPC categories (Component Categories\{...}, "409"). Shared by every
// OPC server of the computer, so unregistration leaves them.
std::vector<RegistryKey> categoryKeys();

} // namespace servers::kit
