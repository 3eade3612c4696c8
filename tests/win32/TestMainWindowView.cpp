// The Win32 view of the main window under Wine, driven by messages as a user's input would be and
// read back from its controls: the tree's captions, pictures and buttons, the table's rows, the
// popup menu's enabled items, the remote host dialog, and the close that waits for its servers.
#include "ComputerPickerDialog.h"
#include "HostDialog.h"
#include "MainWindow.h"
#include "MessagePump.h"
#include "Resources.h"
#include "Text.h"
#include "client/OPC_Connection.h"
#include "client/form/FormTexts.h"
#include "client/form/Placement.h"
#include "client/form/UserSettings.h"
#include "platform/Text.h"
#include "servers/test/TestRegistry.h"
#include "servers/test/TestServers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

using win32::narrow;

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s)
{
    return win32::pumpUntil(done, limit);
}

struct TreeItem {
    std::string caption;
    int image = -1;
    int selectedImage = -1;
    int children = 0;  // the control's button: 1 shows it
    bool expanded = false;
};

class Win32View : public ::testing::Test {
protected:
    Win32View()
    {
        window.form().setLookupHost([](const std::string&) { return std::nullopt; });
        window.show(SW_SHOWNORMAL);
    }
    ~Win32View() override
    {
        // Like the program's end: nothing left connecting or connected.
        if (IsWindow(window.window())) SendMessageW(window.window(), WM_CLOSE, 0, 0);
        pumpUntil([&] { return !IsWindow(window.window()); }, 30s);
    }

    TreeItem read(HTREEITEM item) const
    {
        wchar_t text[512] = {};
        TVITEMW t{};
        t.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_CHILDREN | TVIF_STATE | TVIF_HANDLE;
        t.hItem = item;
        t.pszText = text;
        t.cchTextMax = 512;
        t.stateMask = TVIS_EXPANDED;
        TreeItem out;
        if (!TreeView_GetItem(window.tree(), &t)) return out;
        return {narrow(text), t.iImage, t.iSelectedImage, t.cChildren, (t.state & TVIS_EXPANDED) != 0};
    }
    std::vector<HTREEITEM> children(HTREEITEM parent) const
    {
        std::vector<HTREEITEM> out;
        for (HTREEITEM c = parent ? TreeView_GetChild(window.tree(), parent) : TreeView_GetRoot(window.tree()); c;
             c = TreeView_GetNextSibling(window.tree(), c))
            out.push_back(c);
        return out;
    }
    HTREEITEM child(HTREEITEM parent, const std::string& caption) const
    {
        for (HTREEITEM c : children(parent))
            if (read(c).caption == caption) return c;
        return nullptr;
    }
    HTREEITEM localHost() const { return TreeView_GetRoot(window.tree()); }
    HTREEITEM listedServer(servers::test::Fault fault)
    {
        EXPECT_TRUE(pumpUntil([&] { return child(localHost(), servers::test::progIdOf(fault)) != nullptr; }));
        return child(localHost(), servers::test::progIdOf(fault));
    }
    // What a user's click on a node and a press of "+" do.
    void select(HTREEITEM item) { TreeView_SelectItem(window.tree(), item); }
    void expandByKeyboard(HTREEITEM item)
    {
        select(item);
        SendMessageW(window.tree(), WM_KEYDOWN, VK_ADD, 0);
    }
    int rowCount() const { return ListView_GetItemCount(window.list()); }
    std::string cell(int row, int column) const
    {
        wchar_t text[512] = {};
        ListView_GetItemText(window.list(), row, column, text, 512);
        return narrow(text);
    }
    bool menuEnabled(UINT command)
    {
        return !(GetMenuState(window.popupMenu(), command, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED));
    }

    const servers::test::TestRegistry registry;
    win32::MainWindow window{false};
};

TEST_F(Win32View, TheTreeListsTheLocalHostsServersWithTheirPictures)
{
    HTREEITEM host = localHost();
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(read(host).caption, "(local)");
    EXPECT_EQ(read(host).image, form::HostPicture);
    HTREEITEM simulation = listedServer(servers::test::Fault::None);
    ASSERT_NE(simulation, nullptr);
    const TreeItem server = read(child(localHost(), "Tagvista.Simulation.1"));
    EXPECT_EQ(server.image, form::ServerIdle);
    EXPECT_EQ(server.children, 1) << "a server shows its button before it has children";
    EXPECT_FALSE(server.expanded);
    EXPECT_TRUE(read(host).expanded);
    // The window's caption and the table's headers.
    wchar_t caption[64] = {};
    GetWindowTextW(window.window(), caption, 64);
    EXPECT_EQ(narrow(caption), "Tagvista");
    wchar_t header[64] = {};
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT;
    column.pszText = header;
    column.cchTextMax = 64;
    ASSERT_TRUE(ListView_GetColumn(window.list(), form::TimeColumn, &column));
    EXPECT_EQ(narrow(header), "Время");
}

TEST_F(Win32View, ExpandingAServerConnectsAndTheTableShowsItsLiveRows)
{
    HTREEITEM good = listedServer(servers::test::Fault::None);
    ASSERT_NE(good, nullptr);
    expandByKeyboard(good);
    ASSERT_TRUE(pumpUntil([&] { return read(good).image == form::ServerReady; }));
    HTREEITEM x = child(good, "X");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(read(x).image, form::BranchPicture);
    EXPECT_EQ(read(x).selectedImage, form::BranchOpen);
    EXPECT_NE(child(x, "Y"), nullptr);
    EXPECT_EQ(child(good, form::kConnectingText), nullptr) << "the progress node has gone";

    ASSERT_EQ(rowCount(), 2);
    EXPECT_EQ(cell(0, form::NameColumn), "a");
    EXPECT_EQ(cell(1, form::NameColumn), "b");
    ASSERT_TRUE(pumpUntil([&] { return cell(0, form::TypeColumn) == "VT_I4" && cell(1, form::ValueColumn) == "Tagvista"; }));
    EXPECT_EQ(cell(0, form::QualityColumn), "GOOD");
    const std::string first = cell(0, form::ValueColumn);
    EXPECT_TRUE(pumpUntil([&] { return cell(0, form::ValueColumn) != first; })) << "a counts up every 100 ms";

    // A branch's own items.
    select(x);
    ASSERT_EQ(rowCount(), 2);
    EXPECT_EQ(cell(0, form::NameColumn), "x1");
}

TEST_F(Win32View, TheMenuFollowsTheSelectionAndItsCommandsAct)
{
    HTREEITEM good = listedServer(servers::test::Fault::None);
    ASSERT_NE(good, nullptr);
    select(localHost());
    EXPECT_FALSE(menuEnabled(IDM_CONNECT)) << "listed already";
    EXPECT_FALSE(menuEnabled(IDM_DISCONNECT)) << "the local host stays";
    EXPECT_TRUE(menuEnabled(IDM_CONNECT_REMOTE_HOST));

    select(good);
    EXPECT_TRUE(menuEnabled(IDM_CONNECT));
    EXPECT_FALSE(menuEnabled(IDM_DISCONNECT));
    SendMessageW(window.window(), WM_COMMAND, IDM_CONNECT, 0);
    EXPECT_EQ(read(children(good).front()).caption, form::kConnectingText);
    ASSERT_TRUE(pumpUntil([&] { return read(good).image == form::ServerReady; }));
    EXPECT_FALSE(menuEnabled(IDM_CONNECT));
    EXPECT_TRUE(menuEnabled(IDM_DISCONNECT));

    SendMessageW(window.window(), WM_COMMAND, IDM_DISCONNECT, 0);
    EXPECT_EQ(rowCount(), 0) << "the rows go before the records they show";
    ASSERT_TRUE(pumpUntil([&] { return read(good).image == form::ServerIdle && children(good).empty(); }));
    EXPECT_EQ(read(good).children, 1);
    EXPECT_FALSE(read(good).expanded);
    EXPECT_TRUE(menuEnabled(IDM_CONNECT));
}

// Runs on the window's thread inside the dialog's own message loop, once the dialog is there.
struct DialogScript {
    std::function<void(HWND dialog)> act;
    bool done = false;
};
DialogScript* g_script = nullptr;

void CALLBACK scriptTimer(HWND, UINT, UINT_PTR timer, DWORD)
{
    const HWND dialog = win32::hostDialogWindow();
    if (!dialog || !g_script || g_script->done) return;
    g_script->done = true;
    KillTimer(nullptr, timer);
    g_script->act(dialog);
}

void runWithDialog(HWND window, DialogScript& script)
{
    g_script = &script;
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, &scriptTimer);
    SendMessageW(window, WM_COMMAND, IDM_CONNECT_REMOTE_HOST, 0);
    KillTimer(nullptr, timer);
    g_script = nullptr;
}

// Whether the control is as wide as its text in its font.
bool fitsItsText(HWND control)
{
    wchar_t text[128] = {};
    const int length = GetWindowTextW(control, text, 128);
    const HDC dc = GetDC(control);
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, text, length, &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    RECT r;
    GetClientRect(control, &r);
    return r.right - r.left >= size.cx;
}

std::string dialogText(HWND dialog, int id)
{
    wchar_t text[256] = {};
    GetDlgItemTextW(dialog, id, text, 256);
    return narrow(text);
}

TEST_F(Win32View, TheRemoteHostDialogAddsAHostOnOkAndNothingOnEscOrCancel)
{
    settings::rememberRecentHost("plc-old");
    std::string caption, label, ok, cancel, shown;
    bool labelFits = false;
    DialogScript escape{[&](HWND dialog) {
        wchar_t text[128] = {};
        GetWindowTextW(dialog, text, 128);
        caption = narrow(text);
        label = dialogText(dialog, IDC_HOST_LABEL);
        labelFits = fitsItsText(GetDlgItem(dialog, IDC_HOST_LABEL));
        ok = dialogText(dialog, IDOK);
        cancel = dialogText(dialog, IDCANCEL);
        shown = dialogText(dialog, IDC_HOST_EDIT);
        SetDlgItemTextW(dialog, IDC_HOST_EDIT, L"never-stored");
        // Esc, as the dialog's loop hears it from the focused edit.
        const HWND edit = GetDlgItem(dialog, IDC_HOST_EDIT);
        SetFocus(edit);
        PostMessageW(edit, WM_KEYDOWN, VK_ESCAPE, 0);
    }};
    runWithDialog(window.window(), escape);
    ASSERT_TRUE(escape.done);
    EXPECT_EQ(caption, "Подключение к удаленному серверу");
    EXPECT_EQ(label, "Сервер");
    EXPECT_TRUE(labelFits) << "the label shows its whole text";
    EXPECT_EQ(ok, "Подключиться");
    EXPECT_EQ(cancel, "Отмена");
    EXPECT_EQ(shown, "plc-old") << "the edit starts with RecentHost";
    EXPECT_EQ(children(nullptr).size(), 1u);
    EXPECT_EQ(settings::recentHost(), "plc-old");

    DialogScript confirm{[](HWND dialog) {
        SetDlgItemTextW(dialog, IDC_HOST_EDIT, L"станция-7.invalid");
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    }};
    runWithDialog(window.window(), confirm);
    ASSERT_TRUE(confirm.done);
    ASSERT_EQ(children(nullptr).size(), 2u);
    HTREEITEM remote = children(nullptr).back();
    EXPECT_EQ(read(remote).caption, "\\\\станция-7.invalid (0.0.0.0)");
    EXPECT_EQ(read(remote).image, form::HostPicture);
    EXPECT_EQ(settings::recentHost(), "станция-7.invalid");
    // Under Wine no remote registry answers: the host's node tells why.
    ASSERT_TRUE(pumpUntil([&] {
        const auto below = children(remote);
        return below.size() == 1 && read(below.front()).image == form::ErrorPicture;
    }));

    DialogScript cancelled{[](HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); }};
    runWithDialog(window.window(), cancelled);
    ASSERT_TRUE(cancelled.done);
    EXPECT_EQ(children(nullptr).size(), 2u);
}

TEST_F(Win32View, TheCloseWaitsForConnectedAndConnectingServersAndStoresThePlacement)
{
    HTREEITEM good = listedServer(servers::test::Fault::None);
    HTREEITEM flat = child(localHost(), servers::test::progIdOf(servers::test::Fault::Flat));
    ASSERT_TRUE(good && flat);
    expandByKeyboard(good);
    ASSERT_TRUE(pumpUntil([&] { return read(good).image == form::ServerReady; }));
    expandByKeyboard(flat);  // still connecting when the close comes, or just connected

    SendMessageW(window.window(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(window.window())) << "the close waits for its servers";
    EXPECT_GT(window.form().serversLeft(), 0);
    ASSERT_TRUE(pumpUntil([&] { return !IsWindow(window.window()); }));

    const auto stored = form::parsePlacement(settings::readString(form::kPlacementValue).value_or(""));
    ASSERT_TRUE(stored) << settings::readString(form::kPlacementValue).value_or("<none>");
    EXPECT_GT(stored->width, 0);
    EXPECT_GT(stored->treeWidth, 0);
    EXPECT_EQ(settings::keyPath(), "\\Software\\Quellmark\\win32_tests.exe");
}

// The picker where no network browser is: the known computers listed when read, the one picked
// given back, nothing on Cancel.
void CALLBACK pickerTimer(HWND, UINT, UINT_PTR timer, DWORD)
{
    const HWND picker = win32::computerPickerWindow();
    if (!picker || !win32::computerPickerLoaded() || !g_script || g_script->done) return;
    g_script->done = true;
    KillTimer(nullptr, timer);
    g_script->act(picker);
}

TEST(Win32ComputerPicker, ListsTheKnownComputersAndGivesBackTheOnePicked)
{
    const auto folder = std::filesystem::temp_directory_path() / ("tagvista-picker-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "hosts") << "127.0.0.1 localhost\n10.0.0.7 plant7 # line 7\n";
    std::ofstream(folder / "arp") << "IP address HW type Flags HW address Mask Device\n"
                                     "192.0.2.9 0x1 0x2 02:00:00:00:00:09 * eth0\n";
    platform::ComputerSources sources;
    sources.hostsFile = (folder / "hosts").string();
    sources.neighbourFile = (folder / "arp").string();
    sources.reverseLookup = [](const platform::IPv4Address&) -> std::optional<std::string> { return "Scada1"; };

    int rows = 0;
    std::string status, second;
    DialogScript pick{[&](HWND picker) {
        const HWND list = GetDlgItem(picker, IDC_PICKER_LIST);
        rows = ListView_GetItemCount(list);
        status = dialogText(picker, IDC_PICKER_STATUS);
        wchar_t text[128] = {};
        ListView_GetItemText(list, 1, 0, text, 128);
        second = narrow(text);
        ListView_SetItemState(list, 1, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        PostMessageW(picker, WM_COMMAND, IDOK, 0);
    }};
    g_script = &pick;
    UINT_PTR timer = SetTimer(nullptr, 0, 20, &pickerTimer);
    const std::optional<std::string> chosen = win32::pickComputer(nullptr, sources);
    KillTimer(nullptr, timer);
    ASSERT_TRUE(pick.done);
    EXPECT_EQ(rows, 3);
    EXPECT_EQ(status, "Компьютеры, известные этой машине:");
    EXPECT_EQ(second, "plant7");
    EXPECT_EQ(chosen, "plant7");

    DialogScript cancel{[](HWND picker) { PostMessageW(picker, WM_COMMAND, IDCANCEL, 0); }};
    g_script = &cancel;
    timer = SetTimer(nullptr, 0, 20, &pickerTimer);
    EXPECT_EQ(win32::pickComputer(nullptr, sources), std::nullopt);
    KillTimer(nullptr, timer);
    g_script = nullptr;
    EXPECT_TRUE(cancel.done);
    std::filesystem::remove_all(folder);
}

} // namespace
