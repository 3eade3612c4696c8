// The main window's behaviour without a toolkit: it owns the hosts and connections, the tree of
// hosts, servers, branches and status nodes (captions, pictures, which node stands for what),
// the rows of the item table, the enabled states of the actions, the handlers of the five
// notifications, and the close that waits for every server. A view (Qt on Linux, Win32 on
// Windows) mirrors the tree and the rows, and reports what the user did; no rule lives there.
//
// Main thread only: every operation, handler and notification here runs on the dispatcher's
// main thread.
//
// Ownership: the form owns every Host it creates and every OPC_Connection made from a host's
// listing. They stay alive while the form lives, also after their node is deleted, since workers
// and queued notifications still point to them; shutdown() lets every worker end before it frees
// them. Nodes and rows hold plain pointers and never own.
#pragma once

#include "client/form/ItemRows.h"
#include "client/form/NodeKind.h"
#include "platform/HostLookup.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Host;
class OPC_Branch;
class OPC_Connection;
class OPC_Item;

namespace form {

// The pictures of the tree and the table, by index; what each looks like is the view's.
enum Picture : int {
    NoPicture = -1,     // a progress status node
    ServerIdle = 0,     // server not connected, or busy
    ServerReady = 1,    // server connected and idle
    BranchPicture = 2,
    BranchOpen = 3,     // a branch while selected
    ItemPicture = 4,    // a row of the item table
    HostPicture = 5,
    WarningPicture = 6, // in the list, not used by the windows
    ErrorPicture = 7,   // an error status node
};
inline constexpr int kPictureCount = 8;

struct TreeNode {
    NodeKind kind = NodeKind::Status;
    const void* object = nullptr;  // Host, OPC_Connection or OPC_Branch; null for a status node
    std::string caption;
    int image = NoPicture;
    int selectedImage = NoPicture;
    // The expand button is shown while the node has no children (a server that connects when
    // expanded); otherwise only children bring one.
    bool buttonWithoutChildren = false;
    TreeNode* parent = nullptr;  // null for a top-level node
    std::vector<std::unique_ptr<TreeNode>> children;
    void* viewItem = nullptr;    // the view's own object for the node

    Host* host() const;
    OPC_Connection* connection() const;
    const OPC_Branch* branch() const;
};

// What the form asks of its view. Calls come from the form's handlers, on the main thread.
class MainFormView {
public:
    virtual ~MainFormView() = default;
    // parent's children [first, first + count) are new, each with its whole subtree (parent null:
    // top-level nodes).
    virtual void nodesInserted(TreeNode* parent, std::size_t first, std::size_t count) = 0;
    // parent's children [first, first + count) and their subtrees go once this returns; the view
    // lets go of them (the current node may move, and is reported as usual).
    virtual void nodesRemoving(TreeNode* parent, std::size_t first, std::size_t count) = 0;
    // The node's caption, pictures or button changed.
    virtual void nodeChanged(TreeNode* node) = 0;
    // Expands or collapses the node; expanding reports treeExpanding as a user's would.
    virtual void setExpanded(TreeNode* node, bool expanded) = 0;
    // The selected node (null for none).
    virtual TreeNode* currentNode() const = 0;

    // The table's rows: replaced whole, and refreshed (the dirty ones the view shows, through
    // form::itemTexts) after new values.
    virtual ItemRows& rows() = 0;
    virtual void resetRows(std::vector<ItemRow> rows) = 0;
    virtual void refreshRows() = 0;
    // A refresh is wanted once the notifications waiting now are handled.
    virtual void scheduleRefresh() = 0;

    // The actions' enabled states may have changed (MainForm::actionStates).
    virtual void actionsChanged() = 0;
    // The close waited for its last server: ask it again from the event loop, never inside the
    // handler that is running.
    virtual void closeAgain() = 0;
};

class MainForm {
public:
    // How Connect Remote Host gets a name (nothing: the operator did not confirm) and its IPv4
    // address. Tests replace them so that they need no modal dialog and ask no network resolver.
    using AskHost = std::function<std::optional<std::string>()>;
    using LookupHost = std::function<std::optional<platform::IPv4Address>(const std::string&)>;

    explicit MainForm(MainFormView& view);
    // Calls shutdown() when the owner did not.
    ~MainForm();
    MainForm(const MainForm&) = delete;
    MainForm& operator=(const MainForm&) = delete;

    void setAskHost(AskHost ask) { _askHost = std::move(ask); }
    void setLookupHost(LookupHost lookup) { _lookupHost = std::move(lookup); }

    // The window is shown for the first time: the local host's node, listing.
    void start();
    // Lets every worker of the hosts and connections end (their completion steps run meanwhile;
    // the dispatcher's handler must be gone), drops the notifications still queued for them, and
    // frees them. The tree is left as it is.
    void shutdown();

    // --- What the user did -------------------------------------------------------------------
    void connectExecute();
    void disconnectExecute();
    void connectRemoteHostExecute();
    // A node was expanded (by the user, or by the view for the form's own request).
    void treeExpanding(TreeNode* node);
    // The selection moved (null: none).
    void treeChange(TreeNode* current);
    // The close was asked: disconnects every server that is not idle; true when nothing is left
    // to wait for (each busy one ends in a WM_SERVER_DISCONNECTED, after the last the view is
    // asked to close again).
    bool closeQuery();

    // --- The actions ----------------------------------------------------------------------------
    struct ActionStates {
        std::optional<bool> connect;  // nothing: unchanged (no node is selected)
        bool disconnect = false;
        bool connectRemoteHost = true;
    };
    ActionStates actionStates() const;

    // --- The five notifications (WM_USER + 1 .. + 5) ------------------------------------------
    // Routes one; other messages are not the form's.
    void dispatch(unsigned message, std::uintptr_t wParam);
    void onHostConnected(Host* host);
    void onServerConnected(OPC_Connection* connection);
    void onServerReady(OPC_Connection* connection);
    void onServerDisconnected(OPC_Connection* connection);
    void onItemNewValue(const OPC_Item* item);
    // Gives the rows whose items sent new values their new texts. Runs after every drain.
    void flushTable();

    // --- Operations of the tree and the table ----------------------------------------------
    // Sets or adds the node's status child (the only child without an object), with the text and
    // the picture, and expands the node without starting a connect. Returns it.
    TreeNode* setPlaceholder(TreeNode* node, const std::string& text, int image);
    // The first node, in display order, that carries the object; null when none does.
    TreeNode* findNode(const Host* host) const;
    TreeNode* findNode(const OPC_Connection* connection) const;
    // Refills the table from the node's branch: nothing for no node, a host or status node, or a
    // branch whose connection is not connected and idle (its records may be under construction
    // or destroyed), except while that connection's WM_SERVER_CONNECTED is being handled.
    void showItems(TreeNode* node);
    // Rebuilds a server node from its connection's state and shows the server's root items.
    void refreshServerNode(TreeNode* node, OPC_Connection* connection);
    void listHost(Host* host, TreeNode* node);
    void removeHost(Host* host, TreeNode* node);
    void connectServer(OPC_Connection* connection, TreeNode* node);
    void disconnectServer(OPC_Connection* connection, TreeNode* node);

    // --- State -------------------------------------------------------------------------------
    const std::vector<std::unique_ptr<TreeNode>>& topLevel() const { return _topLevel; }
    int serversLeft() const { return _serversLeft; }
    // The connection whose items the table shows (null when it shows none).
    const OPC_Connection* shownConnection() const { return _shownConnection; }
    std::uint64_t valueNotifications() const { return _valueNotifications; }

private:
    std::unique_ptr<TreeNode> newNode(std::string caption, int image, int selectedImage, NodeKind kind,
                                      const void* object);
    void setImages(TreeNode* node, int image, int selectedImage);
    std::vector<std::unique_ptr<TreeNode>>& siblingsOf(TreeNode* parent);
    void insertNodes(TreeNode* parent, std::size_t at, std::vector<std::unique_ptr<TreeNode>> nodes);
    // Deletions can move the selection; the move is handled once the tree is whole again.
    void deleteChildren(TreeNode* node);
    void deleteNode(TreeNode* node);
    void afterDeletion();
    void expand(TreeNode* node, bool quietly);
    TreeNode* findNode(NodeKind kind, const void* object) const;
    OPC_Connection* owningConnection(const TreeNode* node) const;
    void addBranches(TreeNode* node, const OPC_Branch* branch);
    // Drops the table's rows when they belong to the connection, before its records may go.
    void forgetRowsOf(const OPC_Connection* connection);
    void closeCompletion();
    // Visits every node in display order until stop(node) holds: that node, or null.
    template <class Stop> TreeNode* walk(Stop&& stop) const;

    MainFormView& _view;
    std::vector<std::unique_ptr<TreeNode>> _topLevel;
    std::int32_t _serversLeft = 0;
    bool _expandingAttached = true;  // treeExpanding runs only while this is set
    int _treeChangeHeld = 0;         // deletions in progress
    bool _treeChangedWhileHeld = false;
    OPC_Connection* _shownConnection = nullptr;
    OPC_Connection* _connectedBeingHandled = nullptr;  // during its WM_SERVER_CONNECTED
    std::uint64_t _valueNotifications = 0;
    bool _shutDown = false;

    AskHost _askHost;
    LookupHost _lookupHost;

    std::vector<std::unique_ptr<Host>> _hosts;
    std::vector<std::unique_ptr<OPC_Connection>> _connections;
};

} // namespace form
