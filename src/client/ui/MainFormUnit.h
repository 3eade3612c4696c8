// The program's one main window: the tree of computers, OPC servers and branches, the live item
// table, the three actions of the tree's menu, the routing of the five worker notifications,
// and the close that waits for every server to disconnect.
#pragma once

#include "ImageList.h"
#include "client/form/NodeKind.h"
#include "platform/HostLookup.h"

#include <QElapsedTimer>
#include <QMainWindow>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class DispatcherPump;
class Host;
class ItemTableModel;
class OPC_Branch;
class OPC_Connection;
class OPC_Item;
class QAction;
class QActionGroup;
class QMenu;
class QSplitter;
class QTreeView;
class QTreeWidget;
class QTreeWidgetItem;

namespace Ui {
class MainForm;
}

// Main thread only: every operation, handler and notification here runs on the thread that
// created the window, which must be the dispatcher's main thread.
//
// Ownership: the window owns every Host it creates and every OPC_Connection made from a host's
// listing. They stay alive while the window lives, also after their node is deleted, since
// workers and queued notifications still point to them; the destructor lets every worker end
// before it frees them. Tree nodes and table rows hold plain pointers and never own.
class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    // What a node carries, kept beside the object's pointer: a branch node's object may already
    // be destroyed, so its kind is never asked of the object itself.
    using NodeKind = form::NodeKind;
    // Item data roles of tree nodes (column 0).
    enum NodeRole {
        KindRole = Qt::UserRole + 1,  // NodeKind as int
        ObjectRole,                   // the object's address as quintptr (0 for a status node)
        ImageRole,                    // image index, -1 for none
        SelectedImageRole,            // selected-image index, -1 for none
    };

    // How Connect Remote Host gets a name (nothing: the operator did not confirm) and its IPv4
    // address. The defaults are the remote host dialog and the platform's lookup; tests replace
    // them so that they need no modal dialog and ask no network resolver.
    using AskHost = std::function<std::optional<std::string>()>;
    using LookupHost = std::function<std::optional<platform::IPv4Address>(const std::string&)>;

    // Builds the controls, installs the dispatcher's handler and wake hook, prepares the log file
    // (deletes the previous run's, sets the threshold to 0), then restores the stored placement
    // when it fits the screens.
    explicit TMainForm(QWidget* parent = nullptr);
    // Saves the placement, takes its handler off the dispatcher, lets every worker of its hosts
    // and connections end (their completion steps run meanwhile; what they send reaches nobody),
    // drops the notifications still queued for them, and frees them.
    ~TMainForm() override;
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    void setAskHost(AskHost ask) { _askHost = std::move(ask); }
    void setLookupHost(LookupHost lookup) { _lookupHost = std::move(lookup); }

    // --- Operations of the tree and the table ----------------------------------------------
    // Sets or adds the node's status child (the only child without an object), with the text and
    // the image (-1 for none), and expands the node without starting a connect. Returns it.
    QTreeWidgetItem* setPlaceholder(QTreeWidgetItem* node, const std::string& text, int image);
    // The first node, in display order, that carries the object; null when none does.
    QTreeWidgetItem* findNode(const Host* host) const;
    QTreeWidgetItem* findNode(const OPC_Connection* connection) const;
    // Refills the table from the node's branch: nothing for no node, a host or status node, or a
    // branch whose connection is not connected and idle (its records may be under construction
    // or destroyed), except while that connection's WM_SERVER_CONNECTED is being handled.
    void showItems(QTreeWidgetItem* node);
    // Adds the branch's sub-branches below the node, the whole subtree at once.
    void addBranches(QTreeWidgetItem* node, const OPC_Branch* branch);
    // Rebuilds a server node from its connection's state and shows the server's root items.
    void refreshServerNode(QTreeWidgetItem* node, OPC_Connection* connection);
    void listHost(Host* host, QTreeWidgetItem* node);
    void removeHost(Host* host, QTreeWidgetItem* node);
    void connectServer(OPC_Connection* connection, QTreeWidgetItem* node);
    void disconnectServer(OPC_Connection* connection, QTreeWidgetItem* node);

    // --- Event handlers (also reachable from tests) ------------------------------------------
    void connectExecute();
    void connectUpdate();
    void disconnectExecute();
    void disconnectUpdate();
    void connectRemoteHostExecute();
    // Both updates, as the toolkit's idle refresh of the actions would run them.
    void updateActions();

    // --- The five notifications (WM_USER + 1 .. + 5) ----------------------------------------
    void onHostConnected(Host* host);
    void onServerConnected(OPC_Connection* connection);
    void onServerReady(OPC_Connection* connection);
    void onServerDisconnected(OPC_Connection* connection);
    void onItemNewValue(const OPC_Item* item);
    // Gives the table rows whose items sent new values their new texts (those on screen, or
    // all while the table is hidden) and tells the view once. Runs after every drain.
    void flushTable();

    // Stores the window's placement now, as its destruction does. For an end that cannot wait
    // for the destruction.
    void savePlacement() { formDestroy(); }

    // --- State for tests and the benchmarks ---------------------------------------------------
    int serversLeft() const { return _serversLeft; }
    int treeWidth() const;
    QTreeWidget* tree() const { return _tree; }
    QTreeView* table() const { return _table; }
    ItemTableModel* tableModel() const { return _model; }
    QMenu* treeMenu() const { return _treeMenu; }
    QAction* connectAction() const { return _connect; }
    QAction* disconnectAction() const { return _disconnect; }
    QAction* connectRemoteHostAction() const { return _connectRemoteHost; }
    DispatcherPump* pump() const { return _pump.get(); }
    // The connection whose items the table shows (null when it shows none).
    const OPC_Connection* shownConnection() const { return _shownConnection; }
    std::uint64_t valueNotifications() const { return _valueNotifications; }

    static NodeKind kindOf(const QTreeWidgetItem* node);
    // The node's object as the kind says (null for another kind): pointers only, never read.
    static Host* hostOf(const QTreeWidgetItem* node);
    static OPC_Connection* connectionOf(const QTreeWidgetItem* node);
    static const OPC_Branch* branchOf(const QTreeWidgetItem* node);
    static int imageOf(const QTreeWidgetItem* node);
    static int selectedImageOf(const QTreeWidgetItem* node);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void formCreate();
    void formShow();
    bool formCloseQuery();
    void formDestroy();
    // The tree's share of the splitter; the table gets the rest of the window's width.
    void setTreeWidth(int treeWidth);
    void closeCompletion();
    void dispatch(unsigned message, std::uintptr_t wParam);
    void reportError(std::exception_ptr error);
    // Runs an event handler; an exception it lets out is shown, as the toolkit's own handling
    // would, instead of unwinding through Qt.
    template <class F> void guarded(F&& handler);

    void treeExpanding(QTreeWidgetItem* node);
    void treeMouseDown(const QPoint& position);
    void treeChange(QTreeWidgetItem* current);
    void treeContextMenu(const QPoint& position);

    QTreeWidgetItem* newNode(const QString& caption, int image, int selectedImage, NodeKind kind, const void* object);
    void setNodeImages(QTreeWidgetItem* node, int image, int selectedImage);
    QTreeWidgetItem* findNode(NodeKind kind, const void* object) const;
    OPC_Connection* owningConnection(const QTreeWidgetItem* node) const;
    // Deletions can move the selection; the move is handled once the tree is whole again.
    void deleteChildren(QTreeWidgetItem* node);
    void deleteNode(QTreeWidgetItem* node);
    void afterDeletion();
    void expandQuietly(QTreeWidgetItem* node);
    // Drops the table's rows when they belong to the connection, before its records may go.
    void forgetRowsOf(const OPC_Connection* connection);
    void scheduleFlush();
    // Sizes the table's columns to the texts on screen; growOnly keeps wider columns as they are.
    void fitColumns(bool growOnly);

    std::unique_ptr<Ui::MainForm> _ui;
    QTreeWidget* _tree = nullptr;
    QSplitter* _splitter = nullptr;
    QTreeView* _table = nullptr;
    QActionGroup* _actions = nullptr;
    QAction* _connect = nullptr;
    QAction* _disconnect = nullptr;
    QAction* _connectRemoteHost = nullptr;
    QMenu* _treeMenu = nullptr;
    ImageList _images;
    ItemTableModel* _model = nullptr;  // owned by the window (Qt parent)
    std::unique_ptr<DispatcherPump> _pump;

    std::int32_t _serversLeft = 0;
    bool _shown = false;
    bool _expandingAttached = true;      // treeExpanding runs only while this is set
    int _treeChangeHeld = 0;             // deletions in progress
    bool _treeChangedWhileHeld = false;
    bool _flushScheduled = false;
    QElapsedTimer _columnFit;  // since the columns were last fitted
    OPC_Connection* _shownConnection = nullptr;
    OPC_Connection* _connectedBeingHandled = nullptr;  // during its WM_SERVER_CONNECTED
    std::uint64_t _valueNotifications = 0;

    AskHost _askHost;
    LookupHost _lookupHost;

    std::vector<std::unique_ptr<Host>> _hosts;
    std::vector<std::unique_ptr<OPC_Connection>> _connections;
};
