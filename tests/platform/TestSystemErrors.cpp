#include "platform/Memory.h"
#include "platform/SystemErrors.h"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::vector<DWORD> win32Codes = {
    ERROR_SUCCESS, ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED,
    ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_DATA, ERROR_OUTOFMEMORY, ERROR_WRITE_FAULT,
    ERROR_NOT_SUPPORTED, ERROR_BAD_NETPATH, ERROR_INVALID_PARAMETER, ERROR_INSUFFICIENT_BUFFER,
    ERROR_INVALID_NAME, ERROR_MOD_NOT_FOUND, ERROR_PROC_NOT_FOUND, ERROR_BAD_PATHNAME, ERROR_BAD_EXE_FORMAT,
    ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ERROR_BADDB, ERROR_BADKEY, ERROR_CANTOPEN, ERROR_CANTREAD,
    ERROR_CANTWRITE, ERROR_KEY_DELETED, ERROR_NO_UNICODE_TRANSLATION, ERROR_INVALID_WINDOW_HANDLE, ERROR_TIMEOUT,
    RPC_S_SERVER_UNAVAILABLE, RPC_S_CALL_FAILED, WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_DATA,
    ERROR_MR_MID_NOT_FOUND, ERROR_RESOURCE_LANG_NOT_FOUND,
};

const std::vector<HRESULT> hresults = {
    E_UNEXPECTED, E_NOTIMPL, E_NOINTERFACE, E_POINTER, E_ABORT, E_FAIL, E_ACCESSDENIED, E_HANDLE,
    E_OUTOFMEMORY, E_INVALIDARG, OLE_E_ADVISENOTSUPPORTED, OLE_E_NOCONNECTION, DV_E_FORMATETC, DV_E_LINDEX,
    DV_E_TYMED, DV_E_DVASPECT, CLASS_E_NOAGGREGATION, CLASS_E_CLASSNOTAVAILABLE, REGDB_E_READREGDB,
    REGDB_E_CLASSNOTREG, CONNECT_E_NOCONNECTION, CONNECT_E_ADVISELIMIT, CONNECT_E_CANNOTCONNECT,
    CO_E_NOTINITIALIZED, CO_E_CLASSSTRING, CO_E_APPNOTFOUND, CO_E_DLLNOTFOUND, CO_E_ERRORINDLL,
    CO_E_OBJNOTCONNECTED, CO_E_SERVER_EXEC_FAILURE, CO_S_NOTALLINTERFACES, RPC_E_CALL_REJECTED,
    RPC_E_SERVERFAULT, RPC_E_DISCONNECTED, RPC_E_CHANGED_MODE, RPC_E_TOO_LATE, RPC_E_TIMEOUT,
    DISP_E_TYPEMISMATCH, DISP_E_BADVARTYPE, DISP_E_OVERFLOW, DISP_E_BADINDEX, DISP_E_ARRAYISLOCKED,
};

constexpr DWORD fromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
const DWORD userDefault = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

// The text the way the program asks for it; nothing when there is none.
std::optional<std::string> textOf(DWORD code, DWORD language = 0)
{
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(fromSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code, language,
                                        reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (length == 0) {
        EXPECT_EQ(buffer, nullptr);
        return std::nullopt;
    }
    std::string text(buffer);
    EXPECT_EQ(text.size(), length);
    EXPECT_EQ(LocalFree(buffer), nullptr);
    return text;
}

void expectOneSentence(DWORD code, const std::optional<std::string>& text)
{
    ASSERT_TRUE(text.has_value()) << std::hex << code;
    ASSERT_GE(text->size(), 4u);
    EXPECT_EQ(text->substr(text->size() - 3), ".\r\n") << std::hex << code;
    EXPECT_EQ(text->find_first_of("\r\n"), text->size() - 2) << "one line only: " << *text;
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>((*text)[0]))) << *text;
}

TEST(SystemErrors, EveryListedCodeHasOneSentenceEndingInCrLf)
{
    for (DWORD code : win32Codes) expectOneSentence(code, textOf(code, userDefault));
    for (HRESULT hr : hresults) expectOneSentence(static_cast<DWORD>(hr), textOf(static_cast<DWORD>(hr)));
}

TEST(SystemErrors, TextsAreDistinct)
{
    // Two codes sharing a text is a copy-and-paste slip in the table.
    std::map<std::string, DWORD> seen;
    auto check = [&](DWORD code) {
        const auto text = textOf(code);
        ASSERT_TRUE(text);
        const auto [where, fresh] = seen.emplace(*text, code);
        EXPECT_TRUE(fresh) << std::hex << code << " reads as " << where->second << ": " << *text;
    };
    for (DWORD code : win32Codes) check(code);
    for (HRESULT hr : hresults)
        if (HRESULT_FACILITY(hr) != FACILITY_WIN32) check(static_cast<DWORD>(hr));
}

TEST(SystemErrors, Win32CodesAndTheirHresultFormsReadTheSame)
{
    for (DWORD code : win32Codes) {
        if (code == ERROR_SUCCESS) continue;  // HRESULT_FROM_WIN32(0) is 0 itself
        EXPECT_EQ(textOf(static_cast<DWORD>(HRESULT_FROM_WIN32(code))), textOf(code)) << code;
    }
    EXPECT_EQ(textOf(static_cast<DWORD>(E_ACCESSDENIED)), textOf(ERROR_ACCESS_DENIED));
    EXPECT_EQ(textOf(static_cast<DWORD>(E_INVALIDARG)), textOf(ERROR_INVALID_PARAMETER));
    // S_FALSE is code 1.
    EXPECT_EQ(textOf(static_cast<DWORD>(S_FALSE)), textOf(ERROR_INVALID_FUNCTION));
}

TEST(SystemErrors, OpcAndUnknownCodesHaveNoText)
{
    const DWORD none[] = {0xC0040004u /* invalid handle */, 0xC0040007u /* unknown item */,
                          0x0004000Du /* rate not supported */, 0xC0048001u, 0x00041234u, 0x80071234u, 4242u};
    for (DWORD code : none) {
        SetLastError(0);
        EXPECT_FALSE(textOf(code).has_value()) << std::hex << code;
        EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
    }
}

TEST(SystemErrors, CallersBufferMustHoldTextAndTerminator)
{
    const std::string text = *textOf(ERROR_FILE_NOT_FOUND);
    std::vector<char> buffer(text.size() + 1, 'x');
    EXPECT_EQ(FormatMessageA(fromSystem, nullptr, ERROR_FILE_NOT_FOUND, 0, buffer.data(),
                             static_cast<DWORD>(buffer.size()), nullptr),
              text.size());
    EXPECT_EQ(std::string(buffer.data()), text);

    SetLastError(0);
    EXPECT_EQ(FormatMessageA(fromSystem, nullptr, ERROR_FILE_NOT_FOUND, 0, buffer.data(),
                             static_cast<DWORD>(text.size()), nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    // An allocated buffer is at least nSize long.
    char* big = nullptr;
    EXPECT_EQ(FormatMessageA(fromSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, ERROR_FILE_NOT_FOUND, 0,
                             reinterpret_cast<LPSTR>(&big), 4096, nullptr),
              text.size());
    ASSERT_NE(big, nullptr);
    big[4095] = '\0';  // the address sanitizer build catches a short allocation
    EXPECT_EQ(std::string(big), text);
    LocalFree(big);
}

TEST(SystemErrors, RejectsWhatItDoesNotServe)
{
    char buffer[256];
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "text", 0, 0, buffer, sizeof buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_NE(FormatMessageA(fromSystem, nullptr, ERROR_FILE_NOT_FOUND, MAKELANGID(0x09, SUBLANG_DEFAULT), buffer,
                             sizeof buffer, nullptr),
              0u);
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(fromSystem, nullptr, ERROR_FILE_NOT_FOUND, MAKELANGID(0x07, SUBLANG_DEFAULT), buffer,
                             sizeof buffer, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_LANG_NOT_FOUND);
}

} // namespace
