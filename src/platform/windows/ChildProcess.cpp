// The program's input and output are two pipes whose ends on this side are overlapped, so that
// stop() can end a read or a write that waits: every wait also watches the stop event. Its
// standard error is a third pipe, read by a thread until the destructor's own event.
#include "platform/remote/ChildProcess.h"

#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

namespace platform::remote {

namespace {

constexpr DWORD kPipeBuffer = 64 * 1024;

std::string systemText(DWORD code)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::string text = length && buffer ? utf16ToUtf8(WideStringView(buffer, length)) : "error " + std::to_string(code);
    if (buffer) LocalFree(buffer);
    return oneLine(text);
}

// A word as the C library of the started program splits its command line back into words
// (CommandLineToArgvW's rules): quoted when it holds a blank or a quote or is empty, a quote
// escaped, and the backslashes before a quote or the closing quote doubled.
std::wstring quoted(const std::wstring& word)
{
    if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos) return word;
    std::wstring out = L"\"";
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        while (i < word.size() && word[i] == L'\\') {
            ++backslashes;
            ++i;
        }
        if (i == word.size()) {
            out.append(backslashes * 2, L'\\');
            break;
        }
        if (word[i] == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        out.push_back(word[i]);
    }
    out.push_back(L'"');
    return out;
}

// A pipe whose end here is overlapped and whose other end, the program's, is inherited. An
// anonymous pipe cannot be overlapped, so it is a named one no other process may open.
bool makePipe(bool hereReads, HANDLE& here, HANDLE& there, std::string& error)
{
    static std::atomic<unsigned> serial{0};
    wchar_t name[96];
    std::swprintf(name, 96, L"\\\\.\\pipe\\tagvista-agent-%lu-%u", GetCurrentProcessId(), serial++);
    here = CreateNamedPipeW(name,
                            (hereReads ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) | FILE_FLAG_OVERLAPPED |
                                FILE_FLAG_FIRST_PIPE_INSTANCE,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                            kPipeBuffer, kPipeBuffer, 0, nullptr);
    if (here == INVALID_HANDLE_VALUE) {
        error = "CreateNamedPipe: " + systemText(GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    there = CreateFileW(name, hereReads ? GENERIC_WRITE : GENERIC_READ, 0, &inherited, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (there == INVALID_HANDLE_VALUE) {
        error = "CreateFile of a pipe: " + systemText(GetLastError());
        CloseHandle(here);
        return false;
    }
    return true;
}

// Handles closed however start() leaves.
struct Handles {
    HANDLE list[6] = {};
    ~Handles()
    {
        for (HANDLE handle : list)
            if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

class WindowsChildProcess final : public ChildProcess {
public:
    WindowsChildProcess(HANDLE process, HANDLE input, HANDLE output, HANDLE errors)
        : _process(process), _input(input), _output(output), _errors(errors),
          _stopped(CreateEventW(nullptr, TRUE, FALSE, nullptr)), _closing(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          _readDone(CreateEventW(nullptr, TRUE, FALSE, nullptr)), _writeDone(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        _errorReader = std::thread([this] { readErrors(); });
        _waiter = std::thread([this] { waitForProcess(); });
    }

    ~WindowsChildProcess() override
    {
        stop();
        if (!waitForEnd(std::chrono::seconds(2))) {
            TerminateProcess(_process, 1);
            waitForEnd(std::chrono::seconds(2));
        }
        SetEvent(_closing);
        _waiter.join();
        _errorReader.join();
        for (HANDLE handle : {_process, _output, _errors, _stopped, _closing, _readDone, _writeDone}) CloseHandle(handle);
        std::lock_guard lock(_writeMutex);
        if (_input) CloseHandle(_input);
    }

    bool write(const std::uint8_t* bytes, std::size_t count) override
    {
        std::lock_guard lock(_writeMutex);
        while (count > 0) {
            if (!_input) return false;
            const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(count, kPipeBuffer));
            DWORD put = 0;
            if (!transfer(_input, _writeDone, false, const_cast<std::uint8_t*>(bytes), asked, put) || put == 0)
                return false;
            bytes += put;
            count -= put;
        }
        return true;
    }

    long read(std::uint8_t* bytes, std::size_t count) override
    {
        const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(count, kPipeBuffer));
        DWORD got = 0;
        if (!transfer(_output, _readDone, true, bytes, asked, got)) {
            const DWORD code = GetLastError();
            return code == ERROR_BROKEN_PIPE || code == ERROR_OPERATION_ABORTED ? 0 : -1;
        }
        return static_cast<long>(got);
    }

    void stop() override
    {
        SetEvent(_stopped);
        // The program's input ends once no write is under way (a waiting one sees the event).
        std::lock_guard lock(_writeMutex);
        if (_input) {
            CloseHandle(_input);
            _input = nullptr;
        }
    }

    bool waitForEnd(std::chrono::milliseconds timeout) override { return _end.waitForEnd(timeout); }
    std::string errorOutput() const override { return _end.errorOutput(); }
    std::string endText() const override { return _end.endText(); }

private:
    // One overlapped transfer that ends early when stop (or the destructor's event) is set: false
    // with the last error ERROR_OPERATION_ABORTED then, or with the pipe's own failure.
    bool transfer(HANDLE pipe, HANDLE done, bool reading, std::uint8_t* bytes, DWORD count, DWORD& moved,
                  HANDLE interrupt = nullptr)
    {
        if (!interrupt) interrupt = _stopped;
        moved = 0;
        if (WaitForSingleObject(interrupt, 0) == WAIT_OBJECT_0) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return false;
        }
        OVERLAPPED overlapped{};
        ResetEvent(done);
        overlapped.hEvent = done;
        const BOOL started = reading ? ReadFile(pipe, bytes, count, nullptr, &overlapped)
                                     : WriteFile(pipe, bytes, count, nullptr, &overlapped);
        if (!started && GetLastError() != ERROR_IO_PENDING) return false;
        const HANDLE waits[2] = {done, interrupt};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelIoEx(pipe, &overlapped);
            GetOverlappedResult(pipe, &overlapped, &moved, TRUE);
            SetLastError(ERROR_OPERATION_ABORTED);
            return false;
        }
        return GetOverlappedResult(pipe, &overlapped, &moved, FALSE) != FALSE;
    }

    void readErrors()
    {
        const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::uint8_t buffer[1024];
        for (;;) {
            DWORD got = 0;
            if (!done || !transfer(_errors, done, true, buffer, sizeof buffer, got, _closing)) {
                _end.errorsEnded();
                break;
            }
            _end.addErrors(reinterpret_cast<const char*>(buffer), got);
        }
        if (done) CloseHandle(done);
    }

    void waitForProcess()
    {
        const HANDLE waits[2] = {_process, _closing};
        std::string text = "ended";
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
            DWORD code = 0;
            if (GetExitCodeProcess(_process, &code)) text = "exit code " + std::to_string(code);
        }
        _end.ended(text);
    }

    const HANDLE _process;
    HANDLE _input;  // guarded by _writeMutex; null once stopped
    const HANDLE _output;
    const HANDLE _errors;
    const HANDLE _stopped;   // set by stop(): transfers on the stream end
    const HANDLE _closing;   // set by the destructor: the error reader and the waiter end
    const HANDLE _readDone;  // the one reader's transfers
    const HANDLE _writeDone; // the one writer's transfers, under _writeMutex
    std::mutex _writeMutex;
    ProgramEnd _end;
    std::thread _errorReader;
    std::thread _waiter;
};

// Starts are one at a time: the program's pipe ends are inheritable until it has them, and a
// program started at the same moment by another thread would inherit them too (and keep them
// open after the program they were meant for has ended).
std::mutex& startMutex()
{
    static std::mutex mutex;
    return mutex;
}

} // namespace

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv, std::string& error)
{
    if (argv.empty() || argv[0].empty()) {
        error = "no program to start";
        return nullptr;
    }
    std::wstring commandLine;
    for (const std::string& word : argv) {
        if (!commandLine.empty()) commandLine.push_back(L' ');
        const WideString wide = utf8ToUtf16(word);
        commandLine += quoted(std::wstring(wide.begin(), wide.end()));
    }

    std::lock_guard lock(startMutex());
    // here: input, output, errors; there: the same three, the program's ends.
    Handles ends;
    HANDLE* here = ends.list;
    HANDLE* there = ends.list + 3;
    if (!makePipe(false, here[0], there[0], error) || !makePipe(true, here[1], there[1], error) ||
        !makePipe(true, here[2], there[2], error))
        return nullptr;

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = there[0];
    startup.hStdOutput = there[1];
    startup.hStdError = there[2];
    PROCESS_INFORMATION started{};
    // The search of the PATH (and the ".exe") is CreateProcess's own when no application is named.
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &started)) {
        error = "cannot start " + argv[0] + ": " + systemText(GetLastError());
        return nullptr;
    }
    CloseHandle(started.hThread);
    std::unique_ptr<ChildProcess> process(new WindowsChildProcess(started.hProcess, here[0], here[1], here[2]));
    here[0] = here[1] = here[2] = nullptr;  // the process owns them now
    return process;
}

} // namespace platform::remote
