// DllRegisterServer and DllUnregisterServer of the server DLLs, called as regsvr32 calls them,
// into a classes root of the test's own: HKEY_CLASSES_ROOT of this process points at an empty key
// (RegOverridePredefKey) while a test runs, so the prefix's real registration is never touched.
#include "ServerTestSupport.h"

#include "servers/simulation/SimulationClasses.h"
#include "servers/test/TestServerPaths.h"
#include "servers/test/TestServers.h"

namespace {

using namespace servertest;

constexpr const char* kScratch = "Software\\Tagvista\\ScratchClasses";

class SelfRegistration : public ::testing::Test {
protected:
    SelfRegistration()
    {
        // Below the test's own user root, which goes at the end of the run whatever happens here.
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kScratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegOverridePredefKey(HKEY_CLASSES_ROOT, key), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    ~SelfRegistration() override
    {
        RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
        RegDeleteTreeA(HKEY_CURRENT_USER, kScratch);
    }

    // The DLL's export, from the module COM has loaded (the path the registration names).
    using Export = HRESULT (*)();
    static Export exportOf(const char* library, const char* name)
    {
        const HMODULE module = LoadLibraryW(platform::utf8ToUtf16(library).c_str());
        EXPECT_NE(module, nullptr) << library;
        return module ? reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
    }
    static std::string moduleFile(const char* library)
    {
        WCHAR path[1024] = {};
        GetModuleFileNameW(GetModuleHandleW(platform::utf8ToUtf16(library).c_str()), path, 1024);
        return platform::utf16ToUtf8(path);
    }
    static void setString(const std::string& path, const char* name, const std::string& value)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
        RegCloseKey(key);
    }
    static bool exists(const std::string& path)
    {
        KeyValues values;
        return readKey(HKEY_CLASSES_ROOT, path, values);
    }
};

TEST_F(SelfRegistration, TheSimulationDllRegistersBothClassesExactlyAndRemovesThemAgain)
{
    const Export registerServer = exportOf(servers::test::kSimulationLibrary, "DllRegisterServer");
    const Export unregisterServer = exportOf(servers::test::kSimulationLibrary, "DllUnregisterServer");
    ASSERT_TRUE(registerServer && unregisterServer);
    const std::string file = moduleFile(servers::test::kSimulationLibrary);
    auto expectAll = [&] {
        for (const servers::kit::ClassRegistration& c : servers::simulation::registrations())
            expectRegistered(HKEY_CLASSES_ROOT, c, [&](const std::string& library) { EXPECT_EQ(library, file); });
    };
    setString("Other.Server\\CLSID", nullptr, "{00000000-0000-0000-0000-000000000001}");

    ASSERT_EQ(registerServer(), S_OK);
    expectAll();
    for (const servers::kit::RegistryKey& key : servers::kit::categoryKeys()) {
        KeyValues values;
        ASSERT_TRUE(readKey(HKEY_CLASSES_ROOT, key.path, values)) << key.path;
        EXPECT_EQ(values, (KeyValues{{"409", key.values.at(0).data}}));
    }

    // What an older registration left is replaced, not merged.
    const std::string scale = "CLSID\\" + servers::kit::bracedGuid(servers::simulation::CLSID_TagvistaScale);
    setString(scale + "\\Parameters", "Stale", "1");
    setString(scale + "\\LocalServer32", nullptr, "C:\\old\\server.exe");
    ASSERT_EQ(registerServer(), S_OK);
    expectAll();

    ASSERT_EQ(unregisterServer(), S_OK);
    for (const servers::kit::ClassRegistration& c : servers::simulation::registrations())
        expectNotRegistered(HKEY_CLASSES_ROOT, c);
    // Other servers' keys stay, and so do the category descriptions every OPC server shares.
    EXPECT_TRUE(exists("Other.Server\\CLSID"));
    EXPECT_TRUE(exists(std::string("Component Categories\\") + servers::kit::kCategoryDa1));
    EXPECT_TRUE(exists(std::string("Component Categories\\") + servers::kit::kCategoryDa2));
    EXPECT_EQ(unregisterServer(), S_OK) << "keys already gone are no failure";
}

TEST_F(SelfRegistration, AProgIdAnotherClassHasTakenStays)
{
    const Export registerServer = exportOf(servers::test::kSimulationLibrary, "DllRegisterServer");
    const Export unregisterServer = exportOf(servers::test::kSimulationLibrary, "DllUnregisterServer");
    ASSERT_TRUE(registerServer && unregisterServer);
    ASSERT_EQ(registerServer(), S_OK);
    const std::string other = "{00000000-0000-0000-0000-000000000002}";
    setString(servers::simulation::kSimulationVersionIndependentProgId + std::string("\\CLSID"), nullptr, other);
    ASSERT_EQ(unregisterServer(), S_OK);
    KeyValues values;
    ASSERT_TRUE(readKey(HKEY_CLASSES_ROOT, servers::simulation::kSimulationVersionIndependentProgId + std::string("\\CLSID"),
                        values));
    EXPECT_EQ(values[""], KeyValues::mapped_type(other));
    EXPECT_FALSE(exists(servers::simulation::kSimulationProgId));
    EXPECT_FALSE(exists("CLSID\\" + servers::kit::bracedGuid(servers::simulation::CLSID_TagvistaSimulation)));
}

TEST_F(SelfRegistration, TheTestServersDllRegistersEveryTestClass)
{
    const Export registerServer = exportOf(servers::test::kTestServersLibrary, "DllRegisterServer");
    const Export unregisterServer = exportOf(servers::test::kTestServersLibrary, "DllUnregisterServer");
    ASSERT_TRUE(registerServer && unregisterServer);
    const std::string file = moduleFile(servers::test::kTestServersLibrary);
    const std::string folder = file.substr(0, file.find_last_of('\\') + 1);

    ASSERT_EQ(registerServer(), S_OK);
    const auto classes = servers::test::registrations("");
    EXPECT_EQ(classes.size(), std::size(servers::test::kTestClasses));
    for (const servers::kit::ClassRegistration& c : classes) {
        const bool missing = IsEqualCLSID(c.clsid, servers::test::clsidOf(servers::test::Fault::MissingLibrary));
        expectRegistered(HKEY_CLASSES_ROOT, c, [&](const std::string& library) {
            EXPECT_EQ(library, missing ? folder + "tagvista-no-such-server.dll" : file);
        });
    }
    EXPECT_FALSE(exists("Component Categories")) << "the test servers describe no categories";

    ASSERT_EQ(unregisterServer(), S_OK);
    for (const servers::kit::ClassRegistration& c : classes) expectNotRegistered(HKEY_CLASSES_ROOT, c);
    EXPECT_TRUE(keysBelow(HKEY_CLASSES_ROOT, "CLSID").empty()) << "nothing of the classes is left";
}

} // namespace
