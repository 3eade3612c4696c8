#include "ComputerPickerDialog.h"

#include "Resources.h"
#include "Text.h"

#include <commctrl.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace win32 {

namespace {

constexpr UINT kListRead = WM_APP + 1;

// Shared with the reading thread, which may outlive the dialog.
struct Reader {
    std::mutex lock;
    HWND dialog = nullptr;  // null once the dialog is going
    std::vector<platform::KnownComputer> computers;
};

struct PickerState {
    platform::ComputerSources sources;
    std::shared_ptr<Reader> reader = std::make_shared<Reader>();
    std::vector<platform::KnownComputer> computers;
    std::optional<std::string> chosen;
};

HWND g_picker = nullptr;
bool g_loaded = false;

void addColumn(HWND list, int index, const wchar_t* caption, int width)
{
    LVCOLUMNW c{};
    c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    c.pszText = const_cast<wchar_t*>(caption);
    c.cx = width;
    c.iSubItem = index;
    ListView_InsertColumn(list, index, &c);
}

void fill(HWND dialog, PickerState& state)
{
    const HWND list = GetDlgItem(dialog, IDC_PICKER_LIST);
    for (std::size_t i = 0; i < state.computers.size(); ++i) {
        std::wstring name = wide(state.computers[i].name);
        std::wstring address = wide(state.computers[i].address);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = name.data();
        ListView_InsertItem(list, &item);
        ListView_SetItemText(list, static_cast<int>(i), 1, address.data());
    }
    SetDlgItemTextW(dialog, IDC_PICKER_STATUS,
                    state.computers.empty() ? L"Компьютеры не найдены" : L"Компьютеры, известные этой машине:");
    g_loaded = true;
}

INT_PTR CALLBACK procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* state = reinterpret_cast<PickerState*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG: {
        state = reinterpret_cast<PickerState*>(lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        g_picker = dialog;
        g_loaded = false;
        const HWND list = GetDlgItem(dialog, IDC_PICKER_LIST);
        ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT);
        RECT r;
        GetClientRect(list, &r);
        addColumn(list, 0, L"Компьютер", (r.right - r.left) * 3 / 5);
        addColumn(list, 1, L"Адрес", (r.right - r.left) * 2 / 5 - GetSystemMetrics(SM_CXVSCROLL));
        state->reader->dialog = dialog;
        std::thread([reader = state->reader, sources = state->sources] {
            std::vector<platform::KnownComputer> computers = platform::knownComputers(sources);
            std::lock_guard lock(reader->lock);
            if (!reader->dialog) return;
            reader->computers = std::move(computers);
            PostMessageW(reader->dialog, kListRead, 0, 0);
        }).detach();
        return TRUE;
    }
    case kListRead: {
        {
            std::lock_guard lock(state->reader->lock);
            state->computers = std::move(state->reader->computers);
        }
        fill(dialog, *state);
        return TRUE;
    }
    case WM_NOTIFY: {
        const auto& header = *reinterpret_cast<const NMHDR*>(lParam);
        if (header.idFrom != IDC_PICKER_LIST) return FALSE;
        if (header.code == LVN_ITEMCHANGED)
            EnableWindow(GetDlgItem(dialog, IDOK), ListView_GetNextItem(header.hwndFrom, -1, LVNI_SELECTED) >= 0);
        else if (header.code == NM_DBLCLK && ListView_GetNextItem(header.hwndFrom, -1, LVNI_SELECTED) >= 0)
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        return FALSE;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: {
            const int selected = ListView_GetNextItem(GetDlgItem(dialog, IDC_PICKER_LIST), -1, LVNI_SELECTED);
            if (selected < 0 || static_cast<std::size_t>(selected) >= state->computers.size()) return TRUE;
            state->chosen = state->computers[static_cast<std::size_t>(selected)].name;
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
        }
    case WM_DESTROY:
        if (state) {
            std::lock_guard lock(state->reader->lock);
            state->reader->dialog = nullptr;
        }
        g_picker = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

} // namespace

std::optional<std::string> pickComputer(HWND owner, platform::ComputerSources sources)
{
    PickerState state;
    state.sources = std::move(sources);
    if (DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_COMPUTER_PICKER), owner, &procedure,
                        reinterpret_cast<LPARAM>(&state)) != IDOK)
        return std::nullopt;
    return state.chosen;
}

HWND computerPickerWindow()
{
    return g_picker;
}

bool computerPickerLoaded()
{
    return g_loaded;
}

} // namespace win32
