#include "TestServer.h"
#include "platform/ComRuntime.h"
#include "platform/RegistryFiles.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace {

const std::string classesDir = TAGVISTA_TEST_CLASSES_DIR;
const std::string inprocDir = TAGVISTA_TEST_INPROC_DIR;
constexpr const char* childVariable = "TAGVISTA_ACTIVATION_CHILD";

// Puts the generated test classes on the classes path for one test, and COM up, then restores
// what was there: other suites in this binary set the path their own way.
class Activation : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* old = std::getenv("TAGVISTA_CLASSES_PATH")) _oldPath = old;
        setenv("TAGVISTA_CLASSES_PATH", classesDir.c_str(), 1);
        setenv("TAGVISTA_TEST_INPROC_DIR", inprocDir.c_str(), 1);
        platform::registry::reload();
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    }
    void TearDown() override
    {
        CoUninitialize();
        if (_oldPath)
            setenv("TAGVISTA_CLASSES_PATH", _oldPath->c_str(), 1);
        else
            unsetenv("TAGVISTA_CLASSES_PATH");
        platform::registry::reload();
    }

    std::optional<std::string> _oldPath;
};

HRESULT createOne(REFCLSID clsid, MULTI_QI& result, COSERVERINFO* server = nullptr, IUnknown* outer = nullptr)
{
    return CoCreateInstanceEx(clsid, outer, CLSCTX_ALL, server, 1, &result);
}

LONG liveObjects(ITestValue* value)
{
    LONG count = -1;
    EXPECT_EQ(value->LiveObjects(&count), S_OK);
    return count;
}

TEST_F(Activation, CreatesThroughAbsoluteRelativeAndExpandedPaths)
{
    for (const CLSID& clsid : {CLSID_TestValue, CLSID_TestValueRelative, CLSID_TestValueExpand}) {
        SCOPED_TRACE(platform::guidToString(clsid));
        MULTI_QI result{&IID_ITestValue, nullptr, E_FAIL};
        ASSERT_EQ(createOne(clsid, result), S_OK);
        ASSERT_EQ(result.hr, S_OK);
        ASSERT_NE(result.pItf, nullptr);
        auto* value = static_cast<ITestValue*>(result.pItf);
        EXPECT_EQ(value->SetValue(41), S_OK);
        LONG read = 0;
        EXPECT_EQ(value->GetValue(&read), S_OK);
        EXPECT_EQ(read, 41);
        // Only the object itself is left: the factory and the creation's own reference are gone.
        EXPECT_EQ(liveObjects(value), 1);
        EXPECT_EQ(value->Release(), 0u);
    }
}

TEST_F(Activation, MultiQiReportsEachInterface)
{
    const IID unsupported = IID_IEnumString;
    MULTI_QI results[] = {{&IID_ITestValue, nullptr, E_FAIL}, {&unsupported, nullptr, S_OK}, {&IID_IUnknown, nullptr, E_FAIL}};
    EXPECT_EQ(CoCreateInstanceEx(CLSID_TestValue, nullptr, CLSCTX_INPROC_SERVER, nullptr, 3, results),
              CO_S_NOTALLINTERFACES);
    EXPECT_EQ(results[0].hr, S_OK);
    EXPECT_NE(results[0].pItf, nullptr);
    EXPECT_EQ(results[1].hr, E_NOINTERFACE);
    EXPECT_EQ(results[1].pItf, nullptr);
    EXPECT_EQ(results[2].hr, S_OK);
    ASSERT_NE(results[2].pItf, nullptr);
    EXPECT_EQ(liveObjects(static_cast<ITestValue*>(results[0].pItf)), 1);  // both from one object
    results[0].pItf->Release();
    results[2].pItf->Release();

    MULTI_QI none[] = {{&unsupported, nullptr, S_OK}};
    EXPECT_EQ(CoCreateInstanceEx(CLSID_TestValue, nullptr, CLSCTX_ALL, nullptr, 1, none), E_NOINTERFACE);
    EXPECT_EQ(none[0].hr, E_NOINTERFACE);
    EXPECT_EQ(none[0].pItf, nullptr);

    EXPECT_EQ(CoCreateInstanceEx(CLSID_TestValue, nullptr, CLSCTX_ALL, nullptr, 0, none), E_INVALIDARG);
}

TEST_F(Activation, RegistrationFaultsGiveTheirCodes)
{
    struct Case {
        const CLSID* clsid;
        DWORD context;
        HRESULT expected;
    };
    const Case cases[] = {
        {&CLSID_TestNotRegistered, CLSCTX_ALL, REGDB_E_CLASSNOTREG},
        {&CLSID_TestLocalOnly, CLSCTX_ALL, REGDB_E_CLASSNOTREG},
        {&CLSID_TestValue, CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER, REGDB_E_CLASSNOTREG},
        {&CLSID_TestBadValue, CLSCTX_ALL, REGDB_E_READREGDB},
        {&CLSID_TestMissingLibrary, CLSCTX_ALL, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
        {&CLSID_TestNoExport, CLSCTX_ALL, HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND)},
        // Failures inside the server come back as the server gave them.
        {&CLSID_TestUnknownToServer, CLSCTX_ALL, CLASS_E_CLASSNOTAVAILABLE},
        {&CLSID_TestFailingFactory, CLSCTX_ALL, E_ACCESSDENIED},
        {&CLSID_TestThrowingFactory, CLSCTX_ALL, RPC_E_SERVERFAULT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(platform::guidToString(*c.clsid));
        // Twice: a second attempt must not be served from a half-filled library table.
        for (int attempt = 0; attempt < 2; ++attempt) {
            MULTI_QI results[] = {{&IID_ITestValue, nullptr, S_OK}, {&IID_IUnknown, nullptr, S_OK}};
            EXPECT_EQ(CoCreateInstanceEx(*c.clsid, nullptr, c.context, nullptr, 2, results), c.expected);
            for (const MULTI_QI& r : results) {
                EXPECT_EQ(r.hr, c.expected);
                EXPECT_EQ(r.pItf, nullptr);
            }
        }
    }
}

TEST_F(Activation, LoadFailuresLeaveTheLoadersReason)
{
    MULTI_QI result{&IID_IUnknown, nullptr, S_OK};
    EXPECT_EQ(createOne(CLSID_TestMissingLibrary, result), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    EXPECT_NE(platform::activationDiagnostic().find("libtagvista-test-missing.so"), std::string::npos)
        << platform::activationDiagnostic();
    EXPECT_EQ(createOne(CLSID_TestNoExport, result), HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
    EXPECT_NE(platform::activationDiagnostic().find("DllGetClassObject"), std::string::npos)
        << platform::activationDiagnostic();
}

TEST_F(Activation, AggregationIsRefusedByTheTestServer)
{
    MULTI_QI result{&IID_IUnknown, nullptr, S_OK};
    MULTI_QI outerSource{&IID_ITestValue, nullptr, S_OK};
    ASSERT_EQ(createOne(CLSID_TestValue, outerSource), S_OK);
    EXPECT_EQ(createOne(CLSID_TestValue, result, nullptr, outerSource.pItf), CLASS_E_NOAGGREGATION);
    outerSource.pItf->Release();
}

TEST_F(Activation, RemoteComputersAreNotServed)
{
    COSERVERINFO remote{0, const_cast<LPWSTR>(u"opc-host-that-is-not-here"), nullptr, 0};
    MULTI_QI result{&IID_ITestValue, nullptr, S_OK};
    EXPECT_EQ(createOne(CLSID_TestValue, result, &remote), HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(result.hr, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
    void* object = &result;
    EXPECT_EQ(CoGetClassObject(CLSID_TestValue, CLSCTX_ALL, &remote, IID_IClassFactory, &object),
              HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(object, nullptr);

    std::u16string self;
    for (char c : "\\\\" + platform::computerName()) self += static_cast<char16_t>(std::toupper(static_cast<unsigned char>(c)));
    for (const char16_t* name : {u"", u"localhost", u"\\\\LocalHost", self.c_str()}) {
        COSERVERINFO local{0, const_cast<LPWSTR>(name), nullptr, 0};
        MULTI_QI ok{&IID_ITestValue, nullptr, E_FAIL};
        EXPECT_EQ(createOne(CLSID_TestValue, ok, &local), S_OK);
        if (ok.pItf) ok.pItf->Release();
    }
}

TEST(ThisComputer, NamesThatMeanThisComputer)
{
    const std::string self = platform::computerName();
    ASSERT_FALSE(self.empty());
    std::string upper = self;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    const std::string withBackslashes = "\\\\" + self;
    for (const char* name : {static_cast<const char*>(nullptr), "", "localhost", "LOCALHOST", "\\\\localhost",
                             self.c_str(), upper.c_str(), withBackslashes.c_str()})
        EXPECT_TRUE(platform::isThisComputer(name)) << (name ? name : "(null)");
    for (const char* name : {"opc-host-that-is-not-here", "localhost.invalid", "x"})
        EXPECT_FALSE(platform::isThisComputer(name)) << name;
    EXPECT_FALSE(platform::isThisComputer((self + "x").c_str()));
}

TEST_F(Activation, CoCreateInstanceAndCoGetClassObject)
{
    void* object = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestValueRelative, nullptr, CLSCTX_INPROC_SERVER, IID_ITestValue, &object), S_OK);
    ASSERT_NE(object, nullptr);
    static_cast<ITestValue*>(object)->Release();

    object = &object;
    EXPECT_EQ(CoCreateInstance(CLSID_TestValue, nullptr, CLSCTX_ALL, IID_IEnumString, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_TestNotRegistered, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_TestValue, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    ASSERT_NE(factory, nullptr);
    ITestValue* value = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITestValue, reinterpret_cast<void**>(&value)), S_OK);
    EXPECT_EQ(liveObjects(value), 2);  // the factory we hold and the object
    factory->Release();
    EXPECT_EQ(liveObjects(value), 1);
    value->Release();

    EXPECT_EQ(CoGetClassObject(CLSID_TestNoExport, CLSCTX_ALL, nullptr, IID_IClassFactory, &object),
              HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
}

TEST_F(Activation, SeveralThreadsCreateAtOnce)
{
    constexpr int threads = 4;
    constexpr int perThread = 50;
    std::atomic<int> failures{0};
    std::vector<std::thread> creators;
    for (int t = 0; t < threads; ++t)
        creators.emplace_back([&, t] {
            const CLSID& clsid = t % 2 ? CLSID_TestValueRelative : CLSID_TestValue;
            for (int i = 0; i < perThread; ++i) {
                MULTI_QI result{&IID_ITestValue, nullptr, E_FAIL};
                if (createOne(clsid, result) != S_OK || !result.pItf) {
                    ++failures;
                    continue;
                }
                auto* value = static_cast<ITestValue*>(result.pItf);
                if (value->SetValue(i) != S_OK) ++failures;
                value->Release();
            }
        });
    for (std::thread& c : creators) c.join();
    EXPECT_EQ(failures, 0);
}

// The process-wide COM state can only be seen fresh in a process of its own: this test runs in
// a child started by the next one and is skipped anywhere else.
TEST(ActivationInFreshProcess, StateBeforeAndAfterInitialization)
{
    if (!std::getenv(childVariable)) GTEST_SKIP() << "runs only as the child of RunsTheFreshProcessCheck";

    EXPECT_FALSE(platform::comInitialized());
    MULTI_QI result{&IID_ITestValue, nullptr, S_OK};
    EXPECT_EQ(createOne(CLSID_TestValue, result), CO_E_NOTINITIALIZED);
    EXPECT_EQ(result.hr, CO_E_NOTINITIALIZED);
    void* object = &result;
    EXPECT_EQ(CoCreateInstance(CLSID_TestValue, nullptr, CLSCTX_ALL, IID_ITestValue, &object), CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoGetClassObject(CLSID_TestValue, CLSCTX_ALL, nullptr, IID_IClassFactory, &object),
              CO_E_NOTINITIALIZED);

    int reserved = 0;
    EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), E_INVALIDARG);
    EXPECT_FALSE(platform::comInitialized());
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_TRUE(platform::comInitialized());
    std::thread([] { EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE); }).join();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);

    // Another thread may create objects: the process has one apartment.
    std::thread([] {
        MULTI_QI created{&IID_ITestValue, nullptr, E_FAIL};
        EXPECT_EQ(createOne(CLSID_TestValue, created), S_OK);
        if (created.pItf) created.pItf->Release();
    }).join();

    CoUninitialize();
    EXPECT_TRUE(platform::comInitialized());  // the second successful call is not balanced yet
    CoUninitialize();
    EXPECT_FALSE(platform::comInitialized());
    EXPECT_EQ(createOne(CLSID_TestValue, result), CO_E_NOTINITIALIZED);
    CoUninitialize();  // unbalanced: no effect
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);

    EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                                   RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr),
              S_OK);
    EXPECT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                                   RPC_C_IMP_LEVEL_IDENTIFY, nullptr, EOAC_NONE, nullptr),
              RPC_E_TOO_LATE);
    CoUninitialize();
}

TEST(ActivationInFreshProcess, RunsTheFreshProcessCheck)
{
    if (std::getenv(childVariable)) GTEST_SKIP() << "already the child";

    char self[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(length, 0);

    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e)
        if (std::string_view(*e).substr(0, 22) != "TAGVISTA_CLASSES_PATH=") environment.emplace_back(*e);
    environment.push_back(std::string(childVariable) + "=1");
    environment.push_back("TAGVISTA_CLASSES_PATH=" + classesDir);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=ActivationInFreshProcess.StateBeforeAndAfterInitialization";
    char* argv[] = {self, filter.data(), nullptr};

    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, self, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    ASSERT_EQ(spawned, 0);

    std::string output;
    char chunk[4096];
    for (ssize_t n; (n = read(pipeEnds[0], chunk, sizeof chunk)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        output.append(chunk, static_cast<std::size_t>(n));
    }
    close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    // A filter that matched nothing would also exit with 0.
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    EXPECT_EQ(output.find("SKIPPED"), std::string::npos) << output;
}

} // namespace
