// Registrations a Windows computer may hold whose library cannot serve: a relative path, a DLL
// without DllGetClassObject, a 32-bit DLL (a DLL that does not exist is the test servers'
// MissingLibrary class, in TestConnection.cpp). The connect fails with the system's code and
// text, the connection is idle again, and a second connect fails the same way. The classes go
// into the system's classes root for the test and are removed after it.
#include "ClientTestSupport.h"
#include "client/ErrorString.h"
#include "client/Host.h"
#include "client/OPC_Connection.h"
#include "platform/Text.h"

#include <gtest/gtest.h>

using namespace clienttest;

namespace {

const std::array<std::uint8_t, 4> kLoopback{127, 0, 0, 1};

// HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32 naming the library, while the object lives.
class ScopedClass {
public:
    ScopedClass(const CLSID& clsid, const std::string& library)
        : _key(platform::utf8ToUtf16("CLSID\\" + platform::guidToString(clsid)))
    {
        HKEY key = nullptr;
        const platform::WideString path = _key + L"\\InprocServer32";
        EXPECT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const platform::WideString value = platform::utf8ToUtf16(library);
        EXPECT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR))),
                  ERROR_SUCCESS);
        const WCHAR model[] = L"Free";
        RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(model), sizeof model);
        RegCloseKey(key);
    }
    ~ScopedClass() { RegDeleteTreeW(HKEY_CLASSES_ROOT, _key.c_str()); }
    ScopedClass(const ScopedClass&) = delete;
    ScopedClass& operator=(const ScopedClass&) = delete;

private:
    platform::WideString _key;
};

// {B3A0E5C2-6D1F-4E8A-9C47-2F0D5E1A7Bnn}, nn one per case.
constexpr CLSID classOfCase(BYTE n)
{
    return CLSID{0xB3A0E5C2, 0x6D1F, 0x4E8A, {0x9C, 0x47, 0x2F, 0x0D, 0x5E, 0x1A, 0x7B, n}};
}

class BadRegistration : public ::testing::Test {
protected:
    BadRegistration()
    {
        _host = std::make_unique<Host>("(local)", kLoopback);
        EXPECT_TRUE(_window.pumpUntil([&] { return !_host->busy(); }));
    }
    ~BadRegistration() override { _window.pumpUntil([] { return platform::Worker::running() == 0; }); }

    // Registers the library under a class of its own and connects to it twice.
    void expectRefused(BYTE n, const std::string& name, const std::string& library)
    {
        const CLSID clsid = classOfCase(n);
        ScopedClass registration(clsid, library);
        const HRESULT system = creationResult(clsid);
        EXPECT_TRUE(FAILED(system)) << std::hex << system;
        LogCapture log(2);
        OPC_Connection c(_host.get(), clsid, name);
        const std::string expected = "(local)|" + name + ": CoGetClassObject() Failed: " + ErrorString(system).str();
        for (int attempt = 1; attempt <= 2; ++attempt) {
            SCOPED_TRACE(attempt);
            c.connect();
            ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_READY, &c) == attempt; }));
            EXPECT_TRUE(c.idle());
            EXPECT_EQ(c.lastError(), expected);
            EXPECT_EQ(_window.count(WM_SERVER_CONNECTED, &c), 0);
        }
        EXPECT_TRUE(log.contains(expected)) << log.all();
    }

    Registry _registry;
    Window _window;
    std::unique_ptr<Host> _host;
};

} // namespace

TEST_F(BadRegistration, RelativePath)
{
    // Beside the registration on Linux; here the loader searches its own folders, none of which
    // holds the test servers.
    expectRefused(2, "Bad.RelativePath", "tagvista-testservers.dll");
}

TEST_F(BadRegistration, DllWithoutClassObjectExport)
{
    expectRefused(3, "Bad.NoExport", TAGVISTA_TEST_NOEXPORT_DLL);
}

TEST_F(BadRegistration, ThirtyTwoBitDll)
{
    const std::string library = TAGVISTA_TEST_WIN32_DLL;
    if (library.empty()) GTEST_SKIP() << "the build could not make a 32-bit DLL";
    expectRefused(4, "Bad.ThirtyTwoBit", library);
}
