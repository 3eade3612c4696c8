// The classes root of Windows as tagvista-cli sees it: the system's HKEY_CLASSES_ROOT, where the
// test adds keys of its own beside the build's servers (registered by the "servers" fixture) and
// removes them again.
#include "CliTestSupport.h"

#include "platform/Sdk.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace clitest;

namespace {

// Keys under HKEY_CLASSES_ROOT for the life of the object. The per-user classes would not do:
// Wine does not merge them into HKEY_CLASSES_ROOT.
class ClassKeys {
public:
    ClassKeys() = default;
    ~ClassKeys()
    {
        for (const std::string& key : _keys) ::RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
    }
    ClassKeys(const ClassKeys&) = delete;
    ClassKeys& operator=(const ClassKeys&) = delete;

    // <key>\CLSID with its default value, and <key>\OPC when marked.
    void add(const std::string& key, const std::string& clsid, bool marker)
    {
        _keys.push_back(key);
        HKEY handle = nullptr;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_CLASSES_ROOT, (key + "\\CLSID").c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    &handle, nullptr),
                  ERROR_SUCCESS)
            << key;
        ::RegSetValueExA(handle, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid.c_str()),
                         static_cast<DWORD>(clsid.size() + 1));
        ::RegCloseKey(handle);
        if (!marker) return;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_CLASSES_ROOT, (key + "\\OPC").c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    &handle, nullptr),
                  ERROR_SUCCESS)
            << key;
        ::RegCloseKey(handle);
    }

private:
    std::vector<std::string> _keys;
};

} // namespace

TEST(ServersCommand, ListsNameAndClassOfEveryRegistration)
{
    ClassKeys keys;
    keys.add("Zeta.CliTest.1", "{11111111-2222-3333-4444-555555555555}", true);
    keys.add("alpha.CliTest", "{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}", true);
    keys.add("NoMarker.CliTest", "{22222222-2222-3333-4444-555555555555}", false);
    keys.add("Broken.CliTest", "not a class", true);
    keys.add("Mid.CliTest", "{33333333-2222-3333-4444-555555555555}", true);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());

    const Result result = run({"servers"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    // Among the system's own, in the registry's order of key names, the identifiers in their
    // braced upper-case form; a key without the marker or with a broken class is left out.
    std::vector<std::string> ours;
    for (const std::string& line : result.outLines()) {
        if (line.find(".CliTest") != std::string::npos) ours.push_back(line);
    }
    EXPECT_EQ(ours, (std::vector<std::string>{"alpha.CliTest\t{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}",
                                              "Mid.CliTest\t{33333333-2222-3333-4444-555555555555}",
                                              "Zeta.CliTest.1\t{11111111-2222-3333-4444-555555555555}"}))
        << result.out;
    // The build's servers are there as the fixture registered them.
    const std::vector<std::string> lines = result.outLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Tagvista.Simulation.1\t{ACC7586C-576A-43C0-8917-1660FCCAD6FF}"),
              lines.end())
        << result.out;

    // The same with the host named.
    EXPECT_EQ(run({"servers", "(local)"}).out, result.out);
}
