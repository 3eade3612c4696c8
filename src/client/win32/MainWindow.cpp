#include "MainWindow.h"

#include "Dpi.h"
#include "HostDialog.h"
#include "MessageBoxes.h"
#include "Pictures.h"
#include "Resources.h"
#include "Text.h"
#include "client/ErrorString.h"
#include "client/Exception.h"
#include "client/form/ErrorBoxes.h"
#include "client/form/LogFile.h"
#include "client/form/Placement.h"
#include "client/form/UserSettings.h"
#include "platform/Dispatcher.h"

#include <algorithm>
#include <vector>

namespace win32 {

namespace {

constexpr wchar_t kWindowClass[] = L"Tagvista.MainForm";
constexpr wchar_t kCaption[] = L"Tagvista";
// The gap between the tree and the table that moves the border (design pixels).
constexpr int kSplitterWidth = 4;
// How often at most the columns grow to fit new values.
constexpr ULONGLONG kColumnFitMs = 500;
// The columns' first widths (design pixels).
constexpr int kColumnWidths[form::kItemColumns] = {120, 90, 120, 100, 80};

BOOL CALLBACK addScreen(HMONITOR monitor, HDC, LPRECT, LPARAM data)
{
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (GetMonitorInfoW(monitor, &info)) {
        const RECT& r = info.rcWork;
        reinterpret_cast<std::vector<form::ScreenArea>*>(data)->push_back(
            {r.left, r.top, r.right - r.left, r.bottom - r.top});
    }
    return TRUE;
}

std::vector<form::ScreenArea> screenAreas()
{
    std::vector<form::ScreenArea> areas;
    EnumDisplayMonitors(nullptr, nullptr, &addScreen, reinterpret_cast<LPARAM>(&areas));
    return areas;
}

void registerClass()
{
    static const bool registered = [] {
        WNDCLASSEXW c{};
        c.cbSize = sizeof c;
        c.lpfnWndProc = DefWindowProcW;  // replaced per window once its object is attached
        c.hInstance = GetModuleHandleW(nullptr);
        c.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
        c.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        c.hIcon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TAGVISTA));
        c.lpszClassName = kWindowClass;
        return RegisterClassExW(&c) != 0;
    }();
    (void)registered;
}

} // namespace

MainWindow::MainWindow(bool quitOnDestroy) : _quitOnDestroy(quitOnDestroy), _form(*this)
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    registerClass();
    _window = CreateWindowExW(0, kWindowClass, kCaption, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT,
                              CW_USEDEFAULT, 639, 432, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    // Without a desktop to show it on (a service session, Wine without a display) there is no
    // window, and the program says so instead of listing servers nobody sees.
    if (!_window) throw Exception("CreateWindowEx() Failed: " + ErrorString(GetLastError()).str());
    SetWindowLongPtrW(_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&MainWindow::windowProcedure));
    _dpi = windowDpi(_window);
    createChildren();

    form::startWindowLog();
    platform::Dispatcher::instance().setHandler([this](UINT message, WPARAM wParam, LPARAM) {
        guarded([&] { _form.dispatch(message, wParam); });
    });
    _form.setAskHost([this] { return askHost(_window); });

    // The design bounds, scaled, unless a stored placement fits the screens.
    const form::Placement design = form::kDesignPlacement;
    SetWindowPos(_window, nullptr, px(design.left), px(design.top), px(design.width), px(design.height),
                 SWP_NOZORDER | SWP_NOACTIVATE);
    _treeWidth = px(design.treeWidth);
    restorePlacement();
    layOut();
}

MainWindow::~MainWindow()
{
    platform::Dispatcher::instance().setHandler(nullptr);
    if (_window) {
        // The window may outlive this object no longer: nothing of it reaches the form again.
        SetWindowLongPtrW(_window, GWLP_USERDATA, 0);
        if (IsWindow(_window)) {
            savePlacement();
            DestroyWindow(_window);
        }
    }
    _form.shutdown();
    if (_menu) DestroyMenu(_menu);
    if (_pictures) ImageList_Destroy(_pictures);
    if (_font) DeleteObject(_font);
}

int MainWindow::px(int designPixels) const
{
    return MulDiv(designPixels, static_cast<int>(_dpi), 96);
}

template <class F>
void MainWindow::guarded(F&& handler)
{
    try {
        handler();
    } catch (...) {
        showErrorMessage(_window, form::errorText(std::current_exception()));
    }
}

void MainWindow::show(int showCommand)
{
    ShowWindow(_window, showCommand);
    UpdateWindow(_window);
    if (_started) return;
    _started = true;
    guarded([&] { _form.start(); });
}

void MainWindow::createChildren()
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        _font = CreateFontIndirectW(&metrics.lfMessageFont);

    _tree = CreateWindowExW(WS_EX_CLIENTEDGE, WC_TREEVIEWW, L"",
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT |
                                TVS_SHOWSELALWAYS,
                            0, 0, 0, 0, _window, nullptr, GetModuleHandleW(nullptr), nullptr);
    _list = CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                            WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS |
                                LVS_SINGLESEL | LVS_SHAREIMAGELISTS,
                            0, 0, 0, 0, _window, nullptr, GetModuleHandleW(nullptr), nullptr);
    ListView_SetExtendedListViewStyle(_list, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    if (_font) {
        SendMessageW(_tree, WM_SETFONT, reinterpret_cast<WPARAM>(_font), FALSE);
        SendMessageW(_list, WM_SETFONT, reinterpret_cast<WPARAM>(_font), FALSE);
    }
    // One list for both controls: the list view only borrows it (LVS_SHAREIMAGELISTS), the tree
    // view never owns one, so it is destroyed once, here.
    _pictures = createPictureList(_dpi);
    TreeView_SetImageList(_tree, _pictures, TVSIL_NORMAL);
    ListView_SetImageList(_list, _pictures, LVSIL_SMALL);
    for (int column = 0; column < form::kItemColumns; ++column) {
        const std::wstring caption = wide(form::kItemColumnCaptions[static_cast<std::size_t>(column)]);
        LVCOLUMNW c{};
        c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        c.pszText = const_cast<wchar_t*>(caption.c_str());
        c.cx = px(kColumnWidths[column]);
        c.iSubItem = column;
        ListView_InsertColumn(_list, column, &c);
    }
}

void MainWindow::layOut()
{
    RECT client;
    GetClientRect(_window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    const int gap = px(kSplitterWidth);
    const int tree = std::clamp(_treeWidth, 0, std::max(0, width - gap));
    MoveWindow(_tree, 0, 0, tree, height, TRUE);
    MoveWindow(_list, tree + gap, 0, std::max(0, width - tree - gap), height, TRUE);
}

// --- Messages ---------------------------------------------------------------------------------------

LRESULT CALLBACK MainWindow::windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    return self->handle(message, wParam, lParam);
}

LRESULT MainWindow::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SIZE:
        layOut();
        scheduleRefresh();
        return 0;
    case WM_NOTIFY:
        return onNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDM_CONNECT:
            guarded([&] { _form.connectExecute(); });
            return 0;
        case IDM_DISCONNECT:
            guarded([&] { _form.disconnectExecute(); });
            return 0;
        case IDM_CONNECT_REMOTE_HOST:
            guarded([&] { _form.connectRemoteHostExecute(); });
            return 0;
        default:
            break;
        }
        break;
    case WM_CONTEXTMENU:
        if (reinterpret_cast<HWND>(wParam) == _tree) {
            POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            if (at.x == -1 && at.y == -1) {  // from the keyboard: at the selected node
                RECT r{};
                if (HTREEITEM selected = TreeView_GetSelection(_tree); selected && TreeView_GetItemRect(_tree, selected, &r, TRUE)) {
                    at = {r.left, r.bottom};
                    ClientToScreen(_tree, &at);
                } else {
                    at = {0, 0};
                    ClientToScreen(_tree, &at);
                }
            }
            showPopupMenu(at);
            return 0;
        }
        break;
    case WM_SETCURSOR:
        if (reinterpret_cast<HWND>(wParam) == _window && LOWORD(lParam) == HTCLIENT) {
            SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32644)));  // IDC_SIZEWE: only the gap is bare client
            return TRUE;
        }
        break;
    case WM_LBUTTONDOWN:
        _dragging = true;
        SetCapture(_window);
        return 0;
    case WM_MOUSEMOVE:
        if (_dragging) {
            RECT client;
            GetClientRect(_window, &client);
            const int x = static_cast<short>(LOWORD(lParam));
            _treeWidth = std::clamp(x, px(20), std::max(px(20), static_cast<int>(client.right) - px(20)));
            layOut();
        }
        return 0;
    case WM_LBUTTONUP:
        if (_dragging) {
            _dragging = false;
            ReleaseCapture();
        }
        return 0;
    case WM_CLOSE: {
        bool mayClose = true;
        guarded([&] { mayClose = _form.closeQuery(); });
        if (mayClose) DestroyWindow(_window);
        return 0;
    }
    case WM_DESTROY:
        savePlacement();
        if (_quitOnDestroy) PostQuitMessage(0);
        return 0;
    case WM_DPICHANGED: {
        _dpi = HIWORD(wParam);
        const RECT& suggested = *reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(_window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                     suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    case kRefreshMessage:
        _refreshScheduled = false;
        guarded([&] { _form.flushTable(); });
        return 0;
    default:
        break;
    }
    return DefWindowProcW(_window, message, wParam, lParam);
}

LRESULT MainWindow::onNotify(const NMHDR& header)
{
    if (header.hwndFrom == _tree) {
        switch (header.code) {
        case TVN_SELCHANGEDW: {
            const auto& change = reinterpret_cast<const NMTREEVIEWW&>(header);
            form::TreeNode* node = change.itemNew.hItem ? nodeOf(change.itemNew.hItem) : nullptr;
            guarded([&] { _form.treeChange(node); });
            return 0;
        }
        case TVN_ITEMEXPANDINGW: {
            // Before the control expands: a server without children yet gets its progress node
            // here and then opens on it, as tree controls fill nodes on demand.
            const auto& change = reinterpret_cast<const NMTREEVIEWW&>(header);
            if (change.action & TVE_EXPAND) {
                form::TreeNode* node = nodeOf(change.itemNew.hItem);
                guarded([&] { _form.treeExpanding(node); });
            }
            return FALSE;
        }
        case NM_RCLICK: {
            // A right click selects what is under it first, as any click does.
            TVHITTESTINFO hit{};
            GetCursorPos(&hit.pt);
            ScreenToClient(_tree, &hit.pt);
            TreeView_HitTest(_tree, &hit);
            if (hit.hItem && (hit.flags & TVHT_ONITEM)) TreeView_SelectItem(_tree, hit.hItem);
            POINT screen;
            GetCursorPos(&screen);
            showPopupMenu(screen);
            return TRUE;
        }
        default:
            return 0;
        }
    }
    if (header.hwndFrom == _list && header.code == LVN_GETDISPINFOW) {
        auto& info = const_cast<NMLVDISPINFOW&>(reinterpret_cast<const NMLVDISPINFOW&>(header));
        const auto row = static_cast<std::size_t>(info.item.iItem);
        if (row >= _rows.size()) return 0;
        if (info.item.mask & LVIF_TEXT) {
            _cellText = wide(_rows.text(row, info.item.iSubItem));
            info.item.pszText = const_cast<wchar_t*>(_cellText.c_str());
        }
        if (info.item.mask & LVIF_IMAGE) info.item.iImage = info.item.iSubItem == 0 ? form::ItemPicture : -1;
        return 0;
    }
    return 0;
}

// --- The popup menu ---------------------------------------------------------------------------------

HMENU MainWindow::popupMenu()
{
    if (!_menu) {
        _menu = CreateMenu();
        HMENU popup = CreatePopupMenu();
        AppendMenuW(popup, MF_STRING, IDM_CONNECT, L"Connect");
        AppendMenuW(popup, MF_STRING, IDM_DISCONNECT, L"Disconnect");
        AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(popup, MF_STRING, IDM_CONNECT_REMOTE_HOST, L"Connect Remote Host...");
        AppendMenuW(_menu, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), L"");
    }
    actionsChanged();
    return GetSubMenu(_menu, 0);
}

void MainWindow::actionsChanged()
{
    if (!_menu) return;
    const form::MainForm::ActionStates states = _form.actionStates();
    HMENU popup = GetSubMenu(_menu, 0);
    if (states.connect) EnableMenuItem(popup, IDM_CONNECT, MF_BYCOMMAND | (*states.connect ? MF_ENABLED : MF_GRAYED));
    EnableMenuItem(popup, IDM_DISCONNECT, MF_BYCOMMAND | (states.disconnect ? MF_ENABLED : MF_GRAYED));
    EnableMenuItem(popup, IDM_CONNECT_REMOTE_HOST,
                   MF_BYCOMMAND | (states.connectRemoteHost ? MF_ENABLED : MF_GRAYED));
}

void MainWindow::showPopupMenu(POINT screen)
{
    HMENU popup = popupMenu();
    TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_RIGHTBUTTON, screen.x, screen.y, 0, _window, nullptr);
}

// --- The tree ---------------------------------------------------------------------------------------

HTREEITEM MainWindow::itemOf(const form::TreeNode* node)
{
    return node ? static_cast<HTREEITEM>(node->viewItem) : nullptr;
}

form::TreeNode* MainWindow::nodeOf(HTREEITEM item) const
{
    if (!item) return nullptr;
    TVITEMW t{};
    t.mask = TVIF_PARAM | TVIF_HANDLE;
    t.hItem = item;
    if (!TreeView_GetItem(_tree, &t)) return nullptr;
    return reinterpret_cast<form::TreeNode*>(t.lParam);
}

HTREEITEM MainWindow::insertItem(form::TreeNode* node, HTREEITEM parent, HTREEITEM after)
{
    const std::wstring caption = wide(node->caption);
    TVINSERTSTRUCTW insert{};
    insert.hParent = parent ? parent : TVI_ROOT;
    insert.hInsertAfter = after;
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM | TVIF_CHILDREN;
    insert.item.pszText = const_cast<wchar_t*>(caption.c_str());
    insert.item.iImage = node->image;
    insert.item.iSelectedImage = node->selectedImage;
    insert.item.lParam = reinterpret_cast<LPARAM>(node);
    insert.item.cChildren = node->buttonWithoutChildren || !node->children.empty() ? 1 : 0;
    const HTREEITEM item = TreeView_InsertItem(_tree, &insert);
    node->viewItem = item;
    HTREEITEM last = TVI_FIRST;
    for (const auto& child : node->children) last = insertItem(child.get(), item, last);
    return item;
}

void MainWindow::nodesInserted(form::TreeNode* parent, std::size_t first, std::size_t count)
{
    const auto& siblings = parent ? parent->children : _form.topLevel();
    HTREEITEM after = first == 0 ? TVI_FIRST : itemOf(siblings[first - 1].get());
    // A tree told of thousands of branches paints once, at the end.
    const bool many = count > 64;
    if (many) SendMessageW(_tree, WM_SETREDRAW, FALSE, 0);
    for (std::size_t i = first; i < first + count; ++i) after = insertItem(siblings[i].get(), itemOf(parent), after);
    if (many) {
        SendMessageW(_tree, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(_tree, nullptr, TRUE);
    }
    if (parent) applyNode(parent);
}

void MainWindow::nodesRemoving(form::TreeNode* parent, std::size_t first, std::size_t count)
{
    const auto& siblings = parent ? parent->children : _form.topLevel();
    std::vector<HTREEITEM> gone;
    for (std::size_t i = first; i < first + count; ++i) gone.push_back(itemOf(siblings[i].get()));
    for (HTREEITEM item : gone) TreeView_DeleteItem(_tree, item);
    if (parent) {
        // What is left decides the button, and whether the node still shows as expanded.
        TVITEMW t{};
        t.mask = TVIF_CHILDREN | TVIF_HANDLE;
        t.hItem = itemOf(parent);
        t.cChildren = parent->buttonWithoutChildren || parent->children.size() > count ? 1 : 0;
        TreeView_SetItem(_tree, &t);
    }
}

void MainWindow::applyNode(const form::TreeNode* node)
{
    const std::wstring caption = wide(node->caption);
    TVITEMW t{};
    t.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_CHILDREN | TVIF_HANDLE;
    t.hItem = itemOf(node);
    t.pszText = const_cast<wchar_t*>(caption.c_str());
    t.iImage = node->image;
    t.iSelectedImage = node->selectedImage;
    t.cChildren = node->buttonWithoutChildren || !node->children.empty() ? 1 : 0;
    TreeView_SetItem(_tree, &t);
}

void MainWindow::nodeChanged(form::TreeNode* node)
{
    applyNode(node);
}

void MainWindow::setExpanded(form::TreeNode* node, bool expanded)
{
    const HTREEITEM item = itemOf(node);
    const bool was = (TreeView_GetItemState(_tree, item, TVIS_EXPANDED) & TVIS_EXPANDED) != 0;
    TreeView_Expand(_tree, item, expanded ? TVE_EXPAND : TVE_COLLAPSE);
    // A node without children keeps its expanded mark through a collapse: cleared here, so that
    // the next click on its button expands it again (and tells of it).
    if (!expanded) TreeView_SetItemState(_tree, item, 0, TVIS_EXPANDED | TVIS_EXPANDEDONCE);
    // The control tells of the user's expanding only; the form hears of its own the same way.
    if (expanded && !was) _form.treeExpanding(node);
}

form::TreeNode* MainWindow::currentNode() const
{
    return nodeOf(TreeView_GetSelection(_tree));
}

// --- The table --------------------------------------------------------------------------------------

void MainWindow::resetRows(std::vector<form::ItemRow> rows)
{
    _rows.reset(std::move(rows));
    ListView_SetItemCountEx(_list, static_cast<int>(_rows.size()), 0);
    InvalidateRect(_list, nullptr, TRUE);
    fitColumns(false);
}

void MainWindow::scheduleRefresh()
{
    if (_refreshScheduled) return;
    _refreshScheduled = PostMessageW(_window, kRefreshMessage, 0, 0) != FALSE;
}

void MainWindow::refreshRows()
{
    const int count = static_cast<int>(_rows.size());
    int first = 0;
    int last = count - 1;
    if (IsWindowVisible(_list)) {
        // Rows off screen keep their marks and are refreshed when they come into view.
        const int top = ListView_GetTopIndex(_list);
        first = std::max(0, top - form::kRefreshMargin);
        last = std::min(last, top + ListView_GetCountPerPage(_list) + form::kRefreshMargin);
    }
    const form::ItemRows::Refreshed done = _rows.refresh(first, last, form::itemTexts);
    if (done.count == 0) return;
    ListView_RedrawItems(_list, done.first, done.last);
    // New values may be wider than the columns; they grow a few times a second at most.
    if (GetTickCount64() - _columnsFitted >= kColumnFitMs) fitColumns(true);
}

void MainWindow::fitColumns(bool growOnly)
{
    // Only the rows on screen are measured, so this costs the same for ten rows as for ten
    // thousand.
    const HDC dc = GetDC(_list);
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(_list, WM_GETFONT, 0, 0)));
    const int top = ListView_GetTopIndex(_list);
    const int end = std::min(static_cast<int>(_rows.size()), top + ListView_GetCountPerPage(_list) + 1);
    for (int column = 0; column < form::kItemColumns; ++column) {
        const std::wstring caption = wide(form::kItemColumnCaptions[static_cast<std::size_t>(column)]);
        SIZE size{};
        GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &size);
        int width = size.cx;
        for (int row = top; row < end; ++row) {
            const std::wstring text = wide(_rows.text(static_cast<std::size_t>(row), column));
            GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
            width = std::max<int>(width, size.cx);
        }
        // Room for the cell's margins, and for the picture in the first column.
        width += px(column == 0 ? 16 + 12 : 12);
        width = std::max(width, px(kColumnWidths[column]) / 2);
        const int before = ListView_GetColumnWidth(_list, column);
        if (!growOnly || width > before) ListView_SetColumnWidth(_list, column, width);
    }
    SelectObject(dc, old);
    ReleaseDC(_list, dc);
    _columnsFitted = GetTickCount64();
}

// --- Close and placement ---------------------------------------------------------------------------

void MainWindow::closeAgain()
{
    PostMessageW(_window, WM_CLOSE, 0, 0);
}

void MainWindow::restorePlacement()
{
    const std::optional<form::Placement> stored =
        form::parsePlacement(settings::readString(form::kPlacementValue).value_or(std::string()));
    if (!stored || !form::fitsTheScreens(*stored, screenAreas())) return;
    SetWindowPos(_window, nullptr, stored->left, stored->top, stored->width, stored->height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client;
    GetClientRect(_window, &client);
    _treeWidth = form::usableTreeWidth(stored->treeWidth, client.right - client.left, px(kSplitterWidth));
}

void MainWindow::savePlacement()
{
    // The bounds the window has when it is neither minimised nor maximised.
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    if (!GetWindowPlacement(_window, &placement)) return;
    const RECT& r = placement.rcNormalPosition;
    settings::writeString(form::kPlacementValue,
                          form::placementText({r.left, r.top, r.right - r.left, r.bottom - r.top, _treeWidth}));
}

} // namespace win32
