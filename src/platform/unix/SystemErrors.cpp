#include "platform/SystemErrors.h"

#include "platform/Memory.h"
#include "platform/remote/AgentHosts.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

struct MessageText {
    DWORD code;
    const char* text;  // one sentence ending in '.'; the line break is added when it is handed out
};

// Win32 error codes. An HRESULT_FROM_WIN32 form (0x8007xxxx) reads as its code xxxx.
// To add a text, add a line; the tests check that every entry is one sentence.
constexpr MessageText win32Texts[] = {
    {ERROR_SUCCESS, "The operation finished successfully."},
    {ERROR_INVALID_FUNCTION, "The function asked for is not supported here."},
    {ERROR_FILE_NOT_FOUND, "The file cannot be found."},
    {ERROR_PATH_NOT_FOUND, "The path cannot be found."},
    {ERROR_ACCESS_DENIED, "Access to this resource was refused."},
    {ERROR_INVALID_HANDLE, "The handle does not refer to a valid object."},
    {ERROR_NOT_ENOUGH_MEMORY, "There is not enough memory to complete this operation."},
    {ERROR_INVALID_DATA, "The data is not valid."},
    {ERROR_OUTOFMEMORY, "Memory ran out before the operation could finish."},
    {ERROR_WRITE_FAULT, "The data could not be written to the device."},
    {ERROR_NOT_SUPPORTED, "This request is not supported."},
    {ERROR_BAD_NETPATH, "The network path cannot be reached."},
    {ERROR_INVALID_PARAMETER, "One of the parameters is not valid."},
    {ERROR_INSUFFICIENT_BUFFER, "The buffer passed is too small for the data."},
    {ERROR_INVALID_NAME, "The file name, folder name or volume label is malformed."},
    {ERROR_MOD_NOT_FOUND, "The module cannot be found or cannot be loaded."},
    {ERROR_PROC_NOT_FOUND, "The module does not contain the procedure asked for."},
    {ERROR_BAD_PATHNAME, "The path given is malformed."},
    {ERROR_BAD_EXE_FORMAT, "The file is not a program or library this system can run."},
    {ERROR_MORE_DATA, "More data is available than fits in the buffer."},
    {ERROR_NO_MORE_ITEMS, "There are no more items to enumerate."},
    {ERROR_MR_MID_NOT_FOUND, "No text is known for this message number."},
    {ERROR_BADDB, "The registry database is damaged."},
    {ERROR_BADKEY, "The registry key is not valid."},
    {ERROR_CANTOPEN, "The registry key could not be opened."},
    {ERROR_CANTREAD, "The registry key could not be read."},
    {ERROR_CANTWRITE, "The registry key could not be written."},
    {ERROR_KEY_DELETED, "The registry key has been deleted and can no longer be changed."},
    {ERROR_NO_UNICODE_TRANSLATION, "A character has no counterpart in the target character set."},
    {ERROR_INVALID_WINDOW_HANDLE, "The window handle does not refer to a window."},
    {ERROR_TIMEOUT, "The operation gave up because its time ran out."},
    {ERROR_RESOURCE_LANG_NOT_FOUND, "No text is available in the language asked for."},
    {RPC_S_SERVER_UNAVAILABLE, "The RPC server cannot be reached."},
    {RPC_S_CALL_FAILED, "The remote procedure call did not succeed."},
    {RPC_S_CALL_FAILED_DNE, "The remote procedure call did not succeed and did not run."},
    {WSAHOST_NOT_FOUND, "No host of this name is known."},
    {WSATRY_AGAIN, "The name server did not answer in time; a later try may succeed."},
    {WSANO_DATA, "The name is known, but it has no address of the kind asked for."},
};

// HRESULTs of other facilities, by their full value. S_FALSE is code 1 and reads as
// ERROR_INVALID_FUNCTION above; E_ACCESSDENIED and the other 0x8007xxxx codes read as Win32 codes.
constexpr MessageText hresultTexts[] = {
    {static_cast<DWORD>(E_UNEXPECTED), "An unexpected failure occurred."},
    {static_cast<DWORD>(E_NOTIMPL), "This operation is not implemented."},
    {static_cast<DWORD>(E_NOINTERFACE), "The object does not support the interface asked for."},
    {static_cast<DWORD>(E_POINTER), "A pointer passed is not valid."},
    {static_cast<DWORD>(E_ABORT), "The operation was aborted."},
    {static_cast<DWORD>(E_FAIL), "The operation failed for an unspecified reason."},
    {static_cast<DWORD>(OLE_E_ADVISENOTSUPPORTED), "This object does not offer advise connections."},
    {static_cast<DWORD>(OLE_E_NOCONNECTION), "No advise connection with this number exists."},
    {static_cast<DWORD>(DV_E_FORMATETC), "The data format asked for is not valid for this object."},
    {static_cast<DWORD>(DV_E_LINDEX), "The index into the data is not valid."},
    {static_cast<DWORD>(DV_E_TYMED), "The storage medium asked for is not valid for this data."},
    {static_cast<DWORD>(DV_E_DVASPECT), "The aspect of the data asked for is not valid."},
    {static_cast<DWORD>(CLASS_E_NOAGGREGATION), "This class cannot be created as part of an aggregate."},
    {static_cast<DWORD>(CLASS_E_CLASSNOTAVAILABLE), "The class factory does not provide this class."},
    {static_cast<DWORD>(REGDB_E_READREGDB), "The class information could not be read from the registry."},
    {static_cast<DWORD>(REGDB_E_CLASSNOTREG), "The class is not registered."},
    {static_cast<DWORD>(CONNECT_E_NOCONNECTION), "No connection with this cookie exists."},
    {static_cast<DWORD>(CONNECT_E_ADVISELIMIT), "The connection point accepts no further connections."},
    {static_cast<DWORD>(CONNECT_E_CANNOTCONNECT), "The sink does not support the interface the connection point needs."},
    {static_cast<DWORD>(CO_E_NOTINITIALIZED), "COM has not been initialized in this process."},
    {static_cast<DWORD>(CO_E_CLASSSTRING), "The class identifier text is malformed."},
    {static_cast<DWORD>(CO_E_APPNOTFOUND), "The server program cannot be found."},
    {static_cast<DWORD>(CO_E_DLLNOTFOUND), "The server library cannot be found."},
    {static_cast<DWORD>(CO_E_ERRORINDLL), "The server library did not behave as a server library must."},
    {static_cast<DWORD>(CO_E_OBJNOTCONNECTED), "The object is not connected to its server."},
    {static_cast<DWORD>(CO_E_SERVER_EXEC_FAILURE), "The server program could not be started."},
    {static_cast<DWORD>(CO_S_NOTALLINTERFACES), "Some of the interfaces asked for could not be obtained."},
    {static_cast<DWORD>(RPC_E_CALL_REJECTED), "The called side rejected the call."},
    {static_cast<DWORD>(RPC_E_CALL_CANCELED), "The call was cancelled before it completed."},
    {static_cast<DWORD>(RPC_E_SERVER_DIED), "The server process ended while it was handling the call."},
    {static_cast<DWORD>(RPC_E_SERVER_DIED_DNE), "The server process ended before it handled the call."},
    {static_cast<DWORD>(RPC_E_CALL_COMPLETE), "No call of this thread is waiting that could be cancelled."},
    {static_cast<DWORD>(CO_E_CANCEL_DISABLED), "Cancelling calls is not enabled on this thread."},
    {static_cast<DWORD>(RPC_E_SERVERFAULT), "The server failed while it was handling the call."},
    {static_cast<DWORD>(RPC_E_DISCONNECTED), "The object has been disconnected from its clients."},
    {static_cast<DWORD>(RPC_E_INVALID_DATA), "The data received is not valid."},
    {static_cast<DWORD>(RPC_E_CHANGED_MODE), "The threading model cannot be changed once it has been set."},
    {static_cast<DWORD>(RPC_E_TOO_LATE), "It is too late to change this setting."},
    {static_cast<DWORD>(RPC_E_TIMEOUT), "The call took too long and was abandoned."},
    {static_cast<DWORD>(DISP_E_TYPEMISMATCH), "The value has the wrong type."},
    {static_cast<DWORD>(DISP_E_BADVARTYPE), "The value type is not valid."},
    {static_cast<DWORD>(DISP_E_OVERFLOW), "The value does not fit in the target type."},
    {static_cast<DWORD>(DISP_E_BADINDEX), "The index is out of range."},
    {static_cast<DWORD>(DISP_E_ARRAYISLOCKED), "The array is locked."},
};

template <std::size_t N>
const char* find(const MessageText (&table)[N], DWORD code)
{
    for (const MessageText& entry : table)
        if (entry.code == code) return entry.text;
    return nullptr;
}

const char* lookUp(DWORD code)
{
    if (code <= 0xFFFF) return find(win32Texts, code);
    const auto hr = static_cast<HRESULT>(code);
    if (FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_WIN32) return find(win32Texts, HRESULT_CODE(hr));
    return find(hresultTexts, code);
}

bool languageServed(DWORD languageId)
{
    constexpr WORD langEnglish = 0x09;
    constexpr DWORD userDefault = 0x0400;
    constexpr DWORD systemDefault = 0x0800;
    if (languageId == 0 || languageId == userDefault || languageId == systemDefault) return true;
    return languageId <= 0xFFFF && (languageId & 0x3FF) == langEnglish;
}

} // namespace

DWORD FormatMessageA(DWORD dwFlags, LPCVOID /*lpSource*/, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* /*Arguments*/)
{
    const bool allocate = (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    if (allocate && lpBuffer) *reinterpret_cast<LPSTR*>(lpBuffer) = nullptr;
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & FORMAT_MESSAGE_FROM_STRING) || !lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!languageServed(dwLanguageId)) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    const char* known = lookUp(dwMessageId);
    if (!known) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    // A remote computer's failure names its cause (ssh's message, the agent's) after the code's
    // sentence, as the system's own texts name a file or a computer.
    std::string text = known;
    if (const std::string detail = platform::remote::failureDetail(dwMessageId); !detail.empty())
        text += " (" + detail + ")";
    const char* sentence = text.c_str();

    constexpr std::string_view lineEnd = "\r\n";
    const std::size_t sentenceLength = std::strlen(sentence);
    const std::size_t length = sentenceLength + lineEnd.size();
    char* out = lpBuffer;
    if (allocate) {
        const std::size_t size = length + 1 > nSize ? length + 1 : nSize;
        out = static_cast<char*>(std::malloc(size));
        if (!out) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        *reinterpret_cast<LPSTR*>(lpBuffer) = out;
    } else if (length + 1 > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, sentence, sentenceLength);
    std::memcpy(out + sentenceLength, lineEnd.data(), lineEnd.size());
    out[length] = '\0';
    return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL hMem)
{
    // Every buffer FormatMessageA hands out comes from malloc.
    std::free(hMem);
    return nullptr;
}
