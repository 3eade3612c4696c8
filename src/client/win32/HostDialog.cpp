#include "HostDialog.h"

#include "ComputerPickerDialog.h"
#include "Dpi.h"
#include "Resources.h"
#include "client/form/MainForm.h"
#include "client/form/UserSettings.h"
#include "Text.h"

#include <commctrl.h>
#include <shlobj.h>

#include <vector>

namespace win32 {

namespace {

HWND g_dialog = nullptr;

struct DialogState {
    std::optional<std::string> confirmed;
    HFONT editFont = nullptr;
    HICON computerIcon = nullptr;
};

// The width of a control's text in its own font.
int textWidth(HWND control)
{
    const std::string text = windowText(control);
    const std::wstring w = wide(text);
    const HDC dc = GetDC(control);
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return size.cx;
}

// The design's pixel layout (at 96 DPI), scaled: the client area 439 x 82 and the controls in it.
void layOut(HWND dialog, UINT dpi)
{
    const auto px = [dpi](int v) { return MulDiv(v, static_cast<int>(dpi), 96); };
    struct Place {
        int id, x, y, width, height;
    };
    const Place places[] = {{IDC_HOST_LABEL, 8, 20, 38, 16},
                            {IDC_HOST_EDIT, 48, 16, 241, 24},
                            {IDC_CHOOSE_COMPUTER, 292, 17, 23, 22},
                            {IDOK, 328, 10, 105, 25},
                            {IDCANCEL, 328, 48, 105, 25}};
    for (const Place& p : places)
        MoveWindow(GetDlgItem(dialog, p.id), px(p.x), px(p.y), px(p.width), px(p.height), FALSE);
    // "Сервер" was sized for the design face; a wider face takes its room from the edit, so the
    // label is never cut.
    const HWND label = GetDlgItem(dialog, IDC_HOST_LABEL);
    const int needed = textWidth(label);
    const int extra = needed - px(38);
    if (extra > 0) {
        MoveWindow(label, px(8), px(20), needed, px(16), FALSE);
        MoveWindow(GetDlgItem(dialog, IDC_HOST_EDIT), px(48) + extra, px(16), px(241) - extra, px(24), FALSE);
    }
    RECT frame{0, 0, px(439), px(82)};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(dialog, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongW(dialog, GWL_EXSTYLE)));
    SetWindowPos(dialog, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The system's network browser, to pick a computer (nothing when cancelled); where the system
// has no network to browse, the list of the computers this machine knows.
std::optional<std::string> browseForComputer(HWND owner)
{
    PIDLIST_ABSOLUTE network = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(owner, CSIDL_NETWORK, &network)) || !network) return pickComputer(owner);
    wchar_t name[MAX_PATH] = {};
    BROWSEINFOW info{};
    info.hwndOwner = owner;
    info.pidlRoot = network;
    info.pszDisplayName = name;
    info.lpszTitle = L"Выбрать компьютер";
    info.ulFlags = BIF_BROWSEFORCOMPUTER;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
    CoTaskMemFree(network);
    if (!chosen) return std::nullopt;
    CoTaskMemFree(chosen);
    if (!name[0]) return std::nullopt;
    return platform::utf16ToUtf8(platform::WideStringView(name));
}

INT_PTR CALLBACK procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG: {
        state = reinterpret_cast<DialogState*>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        g_dialog = dialog;
        const UINT dpi = windowDpi(dialog);
        layOut(dialog, dpi);
        // A fixed-pitch face, so that host names line up as typed.
        state->editFont = CreateFontW(-MulDiv(13, static_cast<int>(dpi), 96), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                      DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                      FIXED_PITCH | FF_MODERN, L"Courier New");
        SendDlgItemMessageW(dialog, IDC_HOST_EDIT, WM_SETFONT, reinterpret_cast<WPARAM>(state->editFont), FALSE);
        const int iconSize = MulDiv(16, static_cast<int>(dpi), 96);
        state->computerIcon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr),
                                                            MAKEINTRESOURCEW(IDI_PICTURE_FIRST + form::HostPicture),
                                                            IMAGE_ICON, iconSize, iconSize, LR_DEFAULTCOLOR));
        SendDlgItemMessageW(dialog, IDC_CHOOSE_COMPUTER, BM_SETIMAGE, IMAGE_ICON,
                            reinterpret_cast<LPARAM>(state->computerIcon));
        SetDlgItemTextW(dialog, IDC_HOST_EDIT, wide(settings::recentHost()).c_str());
        return TRUE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: {
            const std::string text = windowText(GetDlgItem(dialog, IDC_HOST_EDIT));
            settings::rememberRecentHost(text);
            state->confirmed = text;
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        case IDCANCEL:  // the button, Esc and the close box
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_CHOOSE_COMPUTER:
            if (const auto name = browseForComputer(dialog)) SetDlgItemTextW(dialog, IDC_HOST_EDIT, wide(*name).c_str());
            return TRUE;
        default:
            return FALSE;
        }
    case WM_DESTROY:
        g_dialog = nullptr;
        if (state) {
            if (state->editFont) DeleteObject(state->editFont);
            if (state->computerIcon) DestroyIcon(state->computerIcon);
        }
        return FALSE;
    default:
        return FALSE;
    }
}

} // namespace

std::optional<std::string> askHost(HWND owner)
{
    DialogState state;
    if (DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_HOST_DIALOG), owner, &procedure,
                        reinterpret_cast<LPARAM>(&state)) != IDOK)
        return std::nullopt;
    return state.confirmed;
}

HWND hostDialogWindow()
{
    return g_dialog;
}

} // namespace win32
