#include "servers/kit/windows/ServerProgram.h"

#include "platform/Text.h"
#include "servers/kit/windows/SelfRegistration.h"

#include <cwctype>
#include <mutex>
#include <string>

namespace servers::kit {

namespace {

// The program's references and whether it is ending, under one lock: a reference taken while
// the last one goes either keeps the program or sees it ending, never both.
struct Lifetime {
    std::mutex mutex;
    LONG references = 0;
    bool used = false;
    bool ending = false;
    HANDLE ended = nullptr;  // set when ending becomes true
};

Lifetime& lifetime()
{
    static Lifetime* const instance = new Lifetime;  // never destroyed: late releases still find it
    return *instance;
}

bool acquire()
{
    Lifetime& l = lifetime();
    std::lock_guard lock(l.mutex);
    if (l.ending) return false;
    ++l.references;
    l.used = true;
    CoAddRefServerProcess();
    return true;
}

void endLocked(Lifetime& l)
{
    l.ending = true;
    if (l.ended) SetEvent(l.ended);
}

void release()
{
    Lifetime& l = lifetime();
    std::lock_guard lock(l.mutex);
    // On Windows the last CoReleaseServerProcess also suspends the class objects, so that COM
    // starts a new process for the next client instead of asking this one.
    CoReleaseServerProcess();
    if (--l.references == 0) endLocked(l);
}

// The class object of one class: the kit's factory, with LockServer holding the program.
class ProgramClassFactory : public ClassFactory {
public:
    using ClassFactory::ClassFactory;

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override
    {
        // Held while the object is made, so that the program cannot end half way through.
        const ProgramReference during;
        if (!during) {
            if (ppvObject) *ppvObject = nullptr;
            return CO_E_SERVER_STOPPING;
        }
        return ClassFactory::CreateInstance(pUnkOuter, riid, ppvObject);
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override
    {
        Lifetime& l = lifetime();
        if (fLock) {
            if (!acquire()) return CO_E_SERVER_STOPPING;
            std::lock_guard lock(l.mutex);
            ++_locks;
            return S_OK;
        }
        {
            // An unlock without a lock is the client's mistake: it must not end the program
            // under the objects of other clients.
            std::lock_guard lock(l.mutex);
            if (_locks == 0) return S_OK;
            --_locks;
        }
        release();
        return S_OK;
    }

private:
    LONG _locks = 0;  // the locks this class object holds, under the program's lock
};

// Text for whoever started the program: its standard error when it has one, else the console
// it was started from; nothing when there is neither (started by COM).
void report(const std::wstring& text)
{
    HANDLE out = GetStdHandle(STD_ERROR_HANDLE);
    bool attached = false;
    if (!out || out == INVALID_HANDLE_VALUE) {
        if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
        attached = true;
        out = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                          nullptr);
        if (out == INVALID_HANDLE_VALUE) {
            FreeConsole();
            return;
        }
    }
    const std::wstring line = text + L"\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr);
    } else {
        const std::string utf8 = platform::utf16ToUtf8(line);
        WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    }
    if (attached) {
        CloseHandle(out);
        FreeConsole();
    }
}

std::wstring programName(std::span<const wchar_t* const> arguments)
{
    std::wstring path = arguments.empty() || !arguments[0] ? L"server" : arguments[0];
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

enum class Command { Serve, Register, Unregister, Unknown };

// The switch without its - or / and in lower case; empty for anything that is no switch.
std::wstring switchName(const wchar_t* argument)
{
    if (!argument || (argument[0] != L'-' && argument[0] != L'/')) return std::wstring();
    std::wstring name;
    for (const wchar_t* c = argument + 1; *c; ++c) name += static_cast<wchar_t>(std::towlower(*c));
    return name;
}

Command commandOf(std::span<const wchar_t* const> arguments)
{
    if (arguments.size() != 2) return Command::Unknown;
    const std::wstring name = switchName(arguments[1]);
    if (name == L"embedding") return Command::Serve;
    if (name == L"regserver") return Command::Register;
    if (name == L"unregserver") return Command::Unregister;
    return Command::Unknown;
}

std::wstring resultText(HRESULT hr)
{
    wchar_t code[16];
    swprintf(code, 16, L"0x%08X", static_cast<unsigned>(hr));
    return code;
}

int serve(std::span<const ClassEntry> classes, const std::wstring& name)
{
    Lifetime& l = lifetime();
    l.ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!l.ended) return 1;

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        report(name + L": COM did not start (" + resultText(hr) + L")");
        return 1;
    }
    std::vector<DWORD> cookies;
    for (const ClassEntry& entry : classes) {
        platform::ComPtr<ProgramClassFactory> factory(new ProgramClassFactory(entry.create));
        DWORD cookie = 0;
        hr = CoRegisterClassObject(entry.clsid, factory->unknown(), CLSCTX_LOCAL_SERVER,
                                   REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie);
        if (FAILED(hr)) break;
        cookies.push_back(cookie);
    }
    if (SUCCEEDED(hr)) hr = CoResumeClassObjects();
    if (SUCCEEDED(hr)) {
        // COM asks for an object as soon as the class objects are there; if nothing comes, the
        // client that started the program has gone.
        if (WaitForSingleObject(l.ended, static_cast<DWORD>(std::chrono::milliseconds(kFirstUseWait).count())) ==
            WAIT_TIMEOUT) {
            std::lock_guard lock(l.mutex);
            if (!l.used) endLocked(l);
        }
        WaitForSingleObject(l.ended, INFINITE);
    } else {
        report(name + L": the class objects could not be registered (" + resultText(hr) + L")");
    }
    for (DWORD cookie : cookies) CoRevokeClassObject(cookie);
    // No CoUninitialize: the process ends now, and the system disconnects whatever a client
    // still holds (a class object, a proxy of the last object whose Release is still on its way
    // back). Wine's CoUninitialize waits for the calls of such stubs and can wait forever.
    return SUCCEEDED(hr) ? 0 : 1;
}

} // namespace

ProgramReference::ProgramReference() : _held(acquire()) {}

ProgramReference::ProgramReference(const ProgramReference& other) : _held(other._held && acquire()) {}

ProgramReference& ProgramReference::operator=(const ProgramReference& other)
{
    if (this != &other) {
        const bool held = other._held && acquire();
        if (_held) release();
        _held = held;
    }
    return *this;
}

ProgramReference::~ProgramReference()
{
    if (_held) release();
}

int runServerProgram(std::span<const wchar_t* const> arguments, std::span<const ClassEntry> classes,
                     std::span<const ClassRegistration> registrations)
{
    const std::wstring name = programName(arguments);
    switch (commandOf(arguments)) {
    case Command::Serve:
        return serve(classes, name);
    case Command::Register: {
        const HRESULT hr = registerServer(registrations, true);
        if (FAILED(hr)) report(name + L": registering failed (" + resultText(hr) + L")");
        return FAILED(hr) ? 1 : 0;
    }
    case Command::Unregister: {
        const HRESULT hr = unregisterServer(registrations);
        if (FAILED(hr)) report(name + L": unregistering failed (" + resultText(hr) + L")");
        return FAILED(hr) ? 1 : 0;
    }
    case Command::Unknown:
        break;
    }
    report(L"usage: " + name + L" -RegServer | -UnregServer | -Embedding\n"
           L"An OPC DA server that COM starts with -Embedding when a client creates one of its classes;\n"
           L"-RegServer registers its classes, -UnregServer removes them.");
    return 2;
}

} // namespace servers::kit
