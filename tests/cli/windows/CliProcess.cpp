// The child process and its settings on Windows: CreateProcessW with named pipes that this side
// reads overlapped (an anonymous pipe cannot be waited on against a deadline), Ctrl-C through the
// console the test shares with the child, and the user settings in HKEY_CURRENT_USER.
#include "CliTestSupport.h"

#include "platform/Sdk.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <stdexcept>

namespace clitest {

namespace {

std::wstring wide(const std::string& text)
{
    if (text.empty()) return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

std::string utf8(const std::wstring& text)
{
    if (text.empty()) return {};
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + " failed: system error " + std::to_string(::GetLastError()));
}

// One argument as the C runtime's command-line parser reads it back: quoted when it has blanks
// or quotes, with the backslashes before a quote doubled.
std::wstring quoted(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

// tagvista-cli of this build: the build host's absolute paths mean nothing here, so the path is
// relative to the folder of this test program.
std::wstring cliPath()
{
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
        if (length == 0) throw systemError("GetModuleFileNameW");
        if (length < self.size()) {
            self.resize(length);
            break;
        }
        self.resize(self.size() * 2);
    }
    std::wstring path = self.substr(0, self.find_last_of(L"\\/") + 1) + wide(TAGVISTA_CLI_PATH);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

BOOL WINAPI keepRunningAtInterrupt(DWORD event)
{
    return event == CTRL_C_EVENT;
}

// A Ctrl-C reaches every process of a console, and only through a console that the caller is
// attached to; Wine delivers no Ctrl-Break at all, and none to a process group of its own (where
// Windows disables Ctrl-C). So the children share this process's console and group, and this
// process keeps running at each Ctrl-C. When neither standard stream is a console (the test run
// reads them through pipes), the console Wine gives such a process takes no control events: a
// console of our own replaces it, made before the first child so that every child inherits it.
void prepareConsole()
{
    static const bool prepared = [] {
        DWORD mode = 0;
        const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
        const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
        const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
        if (!::GetConsoleMode(out, &mode) && !::GetConsoleMode(err, &mode)) {
            ::FreeConsole();
            if (::AllocConsole()) {
                if (const HWND window = ::GetConsoleWindow()) ::ShowWindow(window, SW_HIDE);
                // The C runtime keeps its own copies; the system's are what the SDK hands on.
                ::SetStdHandle(STD_INPUT_HANDLE, in);
                ::SetStdHandle(STD_OUTPUT_HANDLE, out);
                ::SetStdHandle(STD_ERROR_HANDLE, err);
            }
        }
        return ::SetConsoleCtrlHandler(keepRunningAtInterrupt, TRUE) != 0;
    }();
    (void)prepared;
}

// The read end of a pipe from the child, read overlapped so that both pipes and a deadline can be
// waited on together. The object must stay where it is while a read is pending.
class Pipe {
public:
    Pipe() : _event(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        if (!_event) throw systemError("CreateEventW");
        _overlapped.hEvent = _event;
    }
    ~Pipe()
    {
        close();
        ::CloseHandle(_event);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // Makes the pipe and returns the child's end, inheritable; the caller closes it once the
    // child has it.
    HANDLE open(const std::wstring& name)
    {
        _handle = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
                                     1 << 16, 0, nullptr);
        if (_handle == INVALID_HANDLE_VALUE) throw systemError("CreateNamedPipeW");
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        const HANDLE childEnd =
            ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherited, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (childEnd == INVALID_HANDLE_VALUE) throw systemError("CreateFileW of a pipe");
        return childEnd;
    }

    bool isOpen() const { return _handle != INVALID_HANDLE_VALUE; }
    bool pending() const { return _pending; }
    HANDLE event() const { return _event; }

    // Starts a read unless one is pending. True when that made progress at once: bytes appended
    // to text, or the pipe found ended.
    bool start(std::string& text)
    {
        if (!isOpen() || _pending) return false;
        if (::ReadFile(_handle, _buffer, sizeof _buffer, nullptr, &_overlapped)) {
            collect(text);
            return true;
        }
        if (::GetLastError() == ERROR_IO_PENDING) {
            _pending = true;
            return false;
        }
        close();  // ended (the child's end is closed) or failed: nothing more comes
        return true;
    }

    // After event() was signalled: the read's bytes to text, or the pipe closed when it ended.
    void complete(std::string& text)
    {
        _pending = false;
        collect(text);
    }

    void close()
    {
        if (!isOpen()) return;
        if (_pending) {
            // The system must be done with the buffer before it goes.
            ::CancelIoEx(_handle, &_overlapped);
            DWORD ignored = 0;
            ::GetOverlappedResult(_handle, &_overlapped, &ignored, TRUE);
            _pending = false;
        }
        ::CloseHandle(_handle);
        _handle = INVALID_HANDLE_VALUE;
    }

private:
    void collect(std::string& text)
    {
        DWORD read = 0;
        if (::GetOverlappedResult(_handle, &_overlapped, &read, FALSE)) {
            text.append(_buffer, read);
        } else {
            close();
        }
    }

    HANDLE _handle = INVALID_HANDLE_VALUE;
    HANDLE _event;
    OVERLAPPED _overlapped{};
    bool _pending = false;
    char _buffer[4096];
};

class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : _handle(handle) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return _handle; }
    void reset(HANDLE handle = nullptr)
    {
        if (_handle && _handle != INVALID_HANDLE_VALUE) ::CloseHandle(_handle);
        _handle = handle;
    }

private:
    HANDLE _handle;
};

} // namespace

// --- Settings ----------------------------------------------------------------------------------

struct Environment::Saved {
    struct Value {
        std::string key;
        std::string name;
        bool existed = false;
        DWORD old = 0;
        bool keyCreated = false;
    };
    std::vector<Value> values;  // in the order first set
};

Environment::Environment() : _saved(std::make_unique<Saved>()) {}

Environment::~Environment()
{
    // Newest first, so a key made here is empty again when its last value goes.
    for (auto it = _saved->values.rbegin(); it != _saved->values.rend(); ++it) {
        HKEY key = nullptr;
        if (::RegOpenKeyExA(HKEY_CURRENT_USER, it->key.c_str(), 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) continue;
        if (it->existed) {
            ::RegSetValueExA(key, it->name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&it->old), sizeof it->old);
        } else {
            ::RegDeleteValueA(key, it->name.c_str());
        }
        DWORD subkeys = 0;
        DWORD values = 0;
        const bool empty = ::RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                              nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                           subkeys == 0 && values == 0;
        ::RegCloseKey(key);
        if (it->keyCreated && empty) ::RegDeleteKeyA(HKEY_CURRENT_USER, it->key.c_str());
    }
}

void Environment::setUserDword(const std::string& key, const std::string& name, std::uint32_t value)
{
    HKEY handle = nullptr;
    DWORD disposition = 0;
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                          &handle, &disposition) != ERROR_SUCCESS)
        throw std::runtime_error("cannot open HKEY_CURRENT_USER\\" + key);
    if (_userDwords.find({key, name}) == _userDwords.end()) {
        Saved::Value saved{key, name};
        DWORD type = 0;
        DWORD size = sizeof saved.old;
        saved.existed = ::RegQueryValueExA(handle, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&saved.old),
                                           &size) == ERROR_SUCCESS &&
                        type == REG_DWORD;
        saved.keyCreated = disposition == REG_CREATED_NEW_KEY;
        _saved->values.push_back(saved);
    }
    _userDwords[{key, name}] = value;
    const DWORD dword = value;
    const LSTATUS status =
        ::RegSetValueExA(handle, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword), sizeof dword);
    ::RegCloseKey(handle);
    if (status != ERROR_SUCCESS) throw std::runtime_error("cannot set HKEY_CURRENT_USER\\" + key + " " + name);
}

std::vector<std::string> Environment::variables() const
{
    // This process's own: the system's folders, and under Wine its settings, are what a program
    // needs to start at all.
    std::vector<std::string> vars;
    wchar_t* block = ::GetEnvironmentStringsW();
    if (!block) return vars;
    for (const wchar_t* at = block; *at; at += std::wcslen(at) + 1) {
        // Entries such as "=C:=C:\..." carry the current folders of drives, not variables.
        if (*at != L'=') vars.push_back(utf8(at));
    }
    ::FreeEnvironmentStringsW(block);
    return vars;
}

// --- Stop requests -----------------------------------------------------------------------------

const std::vector<StopRequest>& stopRequests()
{
    static const std::vector<StopRequest> requests{{CTRL_C_EVENT, "Ctrl-C"}};
    return requests;
}

StopRequest interruptRequest()
{
    return {CTRL_C_EVENT, "Ctrl-C"};
}

// --- The child ---------------------------------------------------------------------------------

struct Child::Process {
    Handle process;
    Pipe out;
    Pipe err;
};

Child::Child(const std::vector<std::string>& args, const Environment& environment, const std::string& workDir)
    : _process(std::make_unique<Process>())
{
    prepareConsole();
    static std::atomic<unsigned> pipes{0};
    const std::wstring name = L"\\\\.\\pipe\\tagvista-cli-tests-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++pipes);
    Handle out(_process->out.open(name + L"-out"));
    Handle err(_process->err.open(name + L"-err"));
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    Handle in(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_EXISTING, 0,
                            nullptr));
    if (in.get() == INVALID_HANDLE_VALUE) throw systemError("CreateFileW of NUL");

    // Only these three handles go to the child: another handle of this process that happens to be
    // inheritable would keep a pipe open after the child has gone.
    HANDLE inheritedHandles[] = {in.get(), out.get(), err.get()};
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributeMemory(size);
    const auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeMemory.data());
    if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &size)) throw systemError("InitializeProcThreadAttributeList");
    struct AttributeScope {
        LPPROC_THREAD_ATTRIBUTE_LIST list;
        ~AttributeScope() { ::DeleteProcThreadAttributeList(list); }
    } attributeScope{attributes};
    if (!::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inheritedHandles,
                                     sizeof inheritedHandles, nullptr, nullptr))
        throw systemError("UpdateProcThreadAttribute");

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = in.get();
    startup.StartupInfo.hStdOutput = out.get();
    startup.StartupInfo.hStdError = err.get();
    startup.lpAttributeList = attributes;

    const std::wstring program = cliPath();
    std::wstring commandLine = quoted(program);
    for (const std::string& arg : args) commandLine += L" " + quoted(wide(arg));
    std::wstring block;
    for (const std::string& variable : environment.variables()) block += wide(variable) + L'\0';
    block += L'\0';
    const std::wstring folder = wide(workDir);

    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                          CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT, block.data(),
                          folder.empty() ? nullptr : folder.c_str(), &startup.StartupInfo, &info))
        throw systemError("CreateProcessW of " + utf8(program));
    ::CloseHandle(info.hThread);
    _process->process.reset(info.hProcess);
}

Child::~Child()
{
    if (_process->process.get()) {
        ::TerminateProcess(_process->process.get(), 1);
        ::WaitForSingleObject(_process->process.get(), INFINITE);
    }
}

bool Child::readSome(std::chrono::milliseconds timeout)
{
    struct Stream {
        Pipe& pipe;
        std::string& text;
    };
    Stream streams[] = {{_process->out, _outText}, {_process->err, _errText}};
    bool progress = false;
    HANDLE events[2];
    Stream* waiting[2];
    DWORD count = 0;
    for (Stream& stream : streams) {
        if (stream.pipe.start(stream.text)) progress = true;
        if (stream.pipe.isOpen() && stream.pipe.pending()) {
            events[count] = stream.pipe.event();
            waiting[count++] = &stream;
        }
    }
    if (progress) return true;
    if (count == 0) return false;
    const DWORD signalled = ::WaitForMultipleObjects(count, events, FALSE, static_cast<DWORD>(timeout.count()));
    if (signalled >= WAIT_OBJECT_0 && signalled < WAIT_OBJECT_0 + count) {
        Stream& stream = *waiting[signalled - WAIT_OBJECT_0];
        stream.pipe.complete(stream.text);
    }
    return true;
}

bool Child::stop(const StopRequest& request)
{
    // Every process of the console: this one lets it pass (prepareConsole), the child takes it.
    return _process->process.get() && ::GenerateConsoleCtrlEvent(static_cast<DWORD>(request.code), 0) != 0;
}

void Child::closeOut()
{
    _process->out.close();
}

Result Child::finish()
{
    Result result;
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    const auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    for (;;) {
        if (left().count() <= 0) {
            result.timedOut = true;
            break;
        }
        if (!readSome(left())) break;
    }
    const HANDLE process = _process->process.get();
    if (result.timedOut ||
        ::WaitForSingleObject(process, static_cast<DWORD>(std::max<long long>(left().count(), 0))) != WAIT_OBJECT_0) {
        result.timedOut = true;
        ::TerminateProcess(process, 1);
        ::WaitForSingleObject(process, INFINITE);
    }
    DWORD code = 0;
    if (!result.timedOut && ::GetExitCodeProcess(process, &code)) result.exitCode = static_cast<int>(code);
    _process->process.reset();
    result.out = _outText;
    result.err = _errText;
    return result;
}

} // namespace clitest
