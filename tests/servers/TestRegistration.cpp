// The classes root as this build registered its servers (the .reg files on Linux, regsvr32 on
// Windows): every class exactly as the table of its library says, the library named by a path
// that leads to this build's file, and the descriptions of the OPC categories.
#include "ServerTestSupport.h"

#include "servers/simulation/SimulationClasses.h"
#include "servers/test/TestServerPaths.h"
#include "servers/test/TestServers.h"

#include <filesystem>

namespace {

using namespace servertest;
namespace fs = std::filesystem;

// A registered library path names the file: taken relative to the folder of the registration when
// relative (the Linux layer's rule), as it is when absolute.
fs::path resolved(const std::string& classesFolder, const std::string& registered)
{
    return (fs::path(classesFolder) / fs::path(registered)).lexically_normal();
}

TEST(Registration, TheShippedServersAreRegisteredAsTheirTableSays)
{
    const fs::path library = fs::path(servers::test::kSimulationLibrary).lexically_normal();
    for (const servers::kit::ClassRegistration& c : servers::simulation::registrations()) {
        expectRegistered(HKEY_CLASSES_ROOT, c, [&](const std::string& registered) {
            EXPECT_EQ(resolved(servers::test::kShippedClassesDir, registered), library) << registered;
        });
    }
    for (const servers::kit::RegistryKey& key : servers::kit::categoryKeys()) {
        KeyValues values;
        ASSERT_TRUE(readKey(HKEY_CLASSES_ROOT, key.path, values)) << key.path;
        EXPECT_EQ(values["409"], key.values.at(0).data) << key.path;
    }
    // The scale server's defaults are the ones it falls back on itself.
    KeyValues parameters;
    ASSERT_TRUE(readKey(HKEY_CLASSES_ROOT, servers::simulation::kScaleDefaultsKey, parameters));
    EXPECT_EQ(parameters["Branches"], KeyValues::mapped_type(DWORD(1000)));
    EXPECT_EQ(parameters["ItemsPerBranch"], KeyValues::mapped_type(DWORD(100)));
}

TEST(Registration, EveryTestServerIsRegisteredAsTheTableSays)
{
    const fs::path library = fs::path(servers::test::kTestServersLibrary).lexically_normal();
    std::size_t missing = 0;
    for (const servers::kit::ClassRegistration& c : servers::test::registrations("")) {
        expectRegistered(HKEY_CLASSES_ROOT, c, [&](const std::string& registered) {
            const fs::path path = resolved(servers::test::kTestClassesDir, registered);
            if (IsEqualCLSID(c.clsid, servers::test::clsidOf(servers::test::Fault::MissingLibrary))) {
                // A file beside the real one that does not exist.
                ++missing;
                EXPECT_EQ(path.parent_path(), library.parent_path()) << registered;
                EXPECT_NE(path.filename().string().find("no-such-server"), std::string::npos) << registered;
                EXPECT_FALSE(fs::exists(path)) << registered;
            } else {
                EXPECT_EQ(path, library) << registered;
            }
        });
    }
    EXPECT_EQ(missing, 1u);
}

} // namespace
