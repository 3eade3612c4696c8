// tagvista-simserver.exe's own registration: -RegServer writes exactly the keys of its classes
// (LocalServer32 naming the program), -UnregServer removes exactly those, in any case and with
// either prefix, and a command line it does not know changes nothing. The keys are the ones the
// shared table gives (Registration.h), so the data that describes a library describes a program.
#include "OutOfProcessSupport.h"

#include "servers/simulation/ProcessClasses.h"
#include "servers/simulation/SimulationClasses.h"

#include <cwctype>

namespace {

using namespace outofprocess;
using servers::kit::Activation;
using servers::kit::ClassRegistration;

std::string lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Works in the prefix's real classes root, where the tests' fixture registered the program; the
// program is registered again whatever the test left.
class ProgramRegistration : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(runProgram(simServerProgram(), L"/RegServer").exitCode, 0); }

    static void expectProgramRegistered()
    {
        const std::string program = lower(u8(simServerProgram()));
        for (const ClassRegistration& c : servers::simulation::processRegistrations())
            expectRegistered(HKEY_CLASSES_ROOT, c, [&](const std::string& server) { EXPECT_EQ(lower(server), program); });
    }
    static void setString(const std::string& path, const char* name, const std::string& value)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>(value.size() + 1));
        RegCloseKey(key);
    }
    static bool exists(const std::string& path)
    {
        KeyValues values;
        return readKey(HKEY_CLASSES_ROOT, path, values);
    }
};

TEST_F(ProgramRegistration, RegServerWritesItsKeysAndUnregServerRemovesExactlyThose)
{
    ASSERT_EQ(runProgram(simServerProgram(), L"-regserver").exitCode, 0);
    expectProgramRegistered();

    // What an older registration left is replaced, not merged.
    const std::string key = "CLSID\\" + servers::kit::bracedGuid(servers::simulation::CLSID_TagvistaScaleProcess);
    setString(key + "\\InprocServer32", nullptr, "C:\\old\\server.dll");
    ASSERT_EQ(runProgram(simServerProgram(), L"/RegServer").exitCode, 0);
    expectProgramRegistered();

    ASSERT_EQ(runProgram(simServerProgram(), L"/UNREGSERVER").exitCode, 0);
    for (const ClassRegistration& c : servers::simulation::processRegistrations()) expectNotRegistered(HKEY_CLASSES_ROOT, c);
    ComPtr<IOPCServer> server;
    EXPECT_EQ(createLocal(servers::simulation::CLSID_TagvistaSimulationProcess, server), REGDB_E_CLASSNOTREG);

    // The library's classes, the proxy and the category descriptions are others' keys.
    for (const ClassRegistration& c : servers::simulation::registrations())
        EXPECT_TRUE(exists("CLSID\\" + servers::kit::bracedGuid(c.clsid))) << c.progId;
    EXPECT_TRUE(exists("Interface\\" + servers::kit::bracedGuid(IID_IOPCServer) + "\\ProxyStubClsid32"));
    EXPECT_TRUE(exists(std::string("Component Categories\\") + servers::kit::kCategoryDa1));
    EXPECT_TRUE(exists(std::string("Component Categories\\") + servers::kit::kCategoryDa2));

    EXPECT_EQ(runProgram(simServerProgram(), L"-UnregServer").exitCode, 0) << "keys already gone are no failure";
}

TEST_F(ProgramRegistration, ACommandLineItDoesNotKnowIsRefusedAndChangesNothing)
{
    ASSERT_EQ(runProgram(simServerProgram(), L"/RegServer").exitCode, 0);
    for (const wchar_t* arguments : {L"", L"/Install", L"RegServer", L"--RegServer", L"/RegServer /UnregServer", L"/Embeddings"}) {
        const ProgramRun run = runProgram(simServerProgram(), arguments);
        EXPECT_EQ(run.exitCode, 2) << u8(arguments);
        EXPECT_NE(run.output.find("usage: tagvista-simserver.exe -RegServer | -UnregServer | -Embedding"),
                  std::string::npos)
            << u8(arguments) << ": " << run.output;
    }
    expectProgramRegistered();
}

TEST(ProgramRegistrationKeys, LocalServer32NamesTheProgramQuotedWhenItsPathHasSpaces)
{
    ClassRegistration c{servers::simulation::CLSID_TagvistaSimulationProcess, "A server", "A.Server.1", "", {}, {}};
    c.activation = Activation::Program;
    const std::string clsid = "CLSID\\" + servers::kit::bracedGuid(c.clsid);
    auto serverOf = [&](const std::string& path) {
        std::vector<servers::kit::RegistryValue> values;
        for (const servers::kit::RegistryKey& key : servers::kit::registrationKeys(c, path)) {
            EXPECT_EQ(key.path.find("InprocServer32"), std::string::npos) << key.path;
            if (key.path == clsid + "\\LocalServer32") values = key.values;
        }
        EXPECT_EQ(values.size(), 1u) << "the program alone, no threading model";
        return values.empty() ? std::string() : std::get<std::string>(values[0].data);
    };
    EXPECT_EQ(serverOf("C:\\Tagvista\\server.exe"), "C:\\Tagvista\\server.exe");
    EXPECT_EQ(serverOf("C:\\Program Files\\Tagvista\\server.exe"), "\"C:\\Program Files\\Tagvista\\server.exe\"");
    EXPECT_EQ(serverOf("\"C:\\Program Files\\server.exe\""), "\"C:\\Program Files\\server.exe\"") << "quoted once";
}

} // namespace
