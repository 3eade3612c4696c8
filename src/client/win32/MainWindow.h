// The main window on Windows: the form's native view on the common controls (v6). A TreeView
// mirrors the form's nodes, a report ListView in virtual mode (LVS_OWNERDATA) shows the form's
// rows (a row costs nothing until it is on screen), a splitter between them, and the tree's
// popup menu (Connect / Disconnect / Connect Remote Host...). Every rule is the form's; this
// only draws and reports what the user did. Main thread only (the dispatcher's).
#pragma once

#include "client/form/MainForm.h"
#include "platform/Sdk.h"

#include <commctrl.h>

#include <string>

namespace win32 {

class MainWindow : private form::MainFormView {
public:
    // Creates the window (hidden), installs the dispatcher's handler, starts the log beside the
    // executable and restores the stored placement when it fits the screens. quitOnDestroy: the
    // end of the window ends the thread's message loop (the program's window). Raises an
    // Exception when the system makes no window (no desktop to show it on).
    explicit MainWindow(bool quitOnDestroy = true);
    // Takes the handler off the dispatcher, lets the form end its workers, destroys the window
    // if it is still there.
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Shows the window; the first time, the form starts (the local host's node, listing).
    void show(int showCommand = SW_SHOWNORMAL);

    form::MainForm& form() { return _form; }
    HWND window() const { return _window; }
    HWND tree() const { return _tree; }
    HWND list() const { return _list; }
    // The popup menu as it would show now (its items enabled as the actions are).
    HMENU popupMenu();
    int treeWidth() const { return _treeWidth; }
    // The tree item of a form node, and the node of a tree item.
    static HTREEITEM itemOf(const form::TreeNode* node);
    form::TreeNode* nodeOf(HTREEITEM item) const;

    static constexpr UINT kRefreshMessage = WM_APP + 1;

private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT onNotify(const NMHDR& header);
    void createChildren();
    void layOut();
    int px(int designPixels) const;
    template <class F> void guarded(F&& handler);

    // --- form::MainFormView --------------------------------------------------------------------
    void nodesInserted(form::TreeNode* parent, std::size_t first, std::size_t count) override;
    void nodesRemoving(form::TreeNode* parent, std::size_t first, std::size_t count) override;
    void nodeChanged(form::TreeNode* node) override;
    void setExpanded(form::TreeNode* node, bool expanded) override;
    form::TreeNode* currentNode() const override;
    form::ItemRows& rows() override { return _rows; }
    void resetRows(std::vector<form::ItemRow> rows) override;
    void refreshRows() override;
    void scheduleRefresh() override;
    void actionsChanged() override;
    void closeAgain() override;

    HTREEITEM insertItem(form::TreeNode* node, HTREEITEM parent, HTREEITEM after);
    void applyNode(const form::TreeNode* node);
    void fitColumns(bool growOnly);
    void showPopupMenu(POINT screen);
    void restorePlacement();
    void savePlacement();

    HWND _window = nullptr;
    HWND _tree = nullptr;
    HWND _list = nullptr;
    HMENU _menu = nullptr;  // the popup's parent menu
    HIMAGELIST _pictures = nullptr;
    HFONT _font = nullptr;
    UINT _dpi = 96;
    int _treeWidth = 0;        // pixels
    bool _dragging = false;    // the splitter is being moved
    bool _quitOnDestroy;
    bool _started = false;
    bool _refreshScheduled = false;
    ULONGLONG _columnsFitted = 0;
    std::wstring _cellText;    // the text a LVN_GETDISPINFO answer points to
    form::ItemRows _rows;
    form::MainForm _form;
};

} // namespace win32
