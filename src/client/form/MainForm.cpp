#include "client/form/MainForm.h"

#include "client/Host.h"
#include "client/Logger.h"
#include "client/OPC_Connection.h"
#include "client/WindowMessages.h"
#include "client/form/FormTexts.h"
#include "platform/Dispatcher.h"

namespace form {

Host* TreeNode::host() const
{
    return kind == NodeKind::Host ? static_cast<Host*>(const_cast<void*>(object)) : nullptr;
}

OPC_Connection* TreeNode::connection() const
{
    return kind == NodeKind::Server ? static_cast<OPC_Connection*>(const_cast<void*>(object)) : nullptr;
}

const OPC_Branch* TreeNode::branch() const
{
    return kind == NodeKind::Branch ? static_cast<const OPC_Branch*>(object) : nullptr;
}

MainForm::MainForm(MainFormView& view) : _view(view)
{
    _lookupHost = [](const std::string& name) { return platform::lookupIPv4(name); };
}

MainForm::~MainForm()
{
    shutdown();
}

void MainForm::start()
{
    auto host = std::make_unique<Host>(kLocalHostName, platform::IPv4Address{127, 0, 0, 1});
    std::vector<std::unique_ptr<TreeNode>> nodes;
    nodes.push_back(newNode(kLocalHostName, HostPicture, HostPicture, NodeKind::Host, host.get()));
    TreeNode* node = nodes.back().get();
    _hosts.push_back(std::move(host));
    insertNodes(nullptr, _topLevel.size(), std::move(nodes));
    setPlaceholder(node, kListingText, NoPicture);
}

void MainForm::shutdown()
{
    if (_shutDown) return;
    _shutDown = true;
    // Nothing may reach the form any more; the workers still running are let finish, their
    // completion steps run meanwhile (and find no handler), and what they queued is dropped, so
    // that no later handler gets a pointer to what is freed here.
    platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
    for (const auto& connection : _connections) connection->disconnect();
    dispatcher.waitUntil([this] {
        for (const auto& connection : _connections)
            if (connection->busy()) return false;
        for (const auto& host : _hosts)
            if (host->busy()) return false;
        return true;
    });
    _connections.clear();
    dispatcher.removePosted(
        [](UINT message, WPARAM, LPARAM) { return message >= WM_HOST_CONNECTED && message <= WM_ITEM_NEW_VALUE; });
    _hosts.clear();
}

// --- Close ---------------------------------------------------------------------------------------

template <class Stop>
TreeNode* MainForm::walk(Stop&& stop) const
{
    std::vector<TreeNode*> stack;
    for (auto it = _topLevel.rbegin(); it != _topLevel.rend(); ++it) stack.push_back(it->get());
    while (!stack.empty()) {
        TreeNode* node = stack.back();
        stack.pop_back();
        if (stop(node)) return node;
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) stack.push_back(it->get());
    }
    return nullptr;
}

bool MainForm::closeQuery()
{
    // disconnect() never waits, so nothing runs in between and the walk sees a tree that stands
    // still.
    walk([this](const TreeNode* node) {
        OPC_Connection* connection = node->connection();
        if (!connection || connection->idle()) return false;
        LOGG(7, "Disconnecting OPC-server %s|%s", connection->ownerHost()->name().c_str(), connection->name().c_str());
        forgetRowsOf(connection);
        connection->disconnect();
        return false;
    });
    // Each of these ends in exactly one WM_SERVER_DISCONNECTED; a disconnect that was asked of
    // a running connect included.
    int busy = 0;
    walk([&busy](const TreeNode* node) {
        busy += node->connection() && node->connection()->busy();
        return false;
    });
    _serversLeft = busy;
    return _serversLeft == 0;
}

void MainForm::closeCompletion()
{
    if (_serversLeft == 1) {
        _serversLeft = 0;
        // Asked again from the event loop: the close may then run the walk anew with the tree as
        // it is by then, never inside the handler that is running now.
        _view.closeAgain();
        return;
    }
    if (_serversLeft > 0) --_serversLeft;
    LOGG(7, "%d servers left", _serversLeft);
}

// --- Notifications -------------------------------------------------------------------------------

void MainForm::dispatch(unsigned message, std::uintptr_t wParam)
{
    switch (message) {
    case WM_HOST_CONNECTED:
        onHostConnected(reinterpret_cast<Host*>(wParam));
        break;
    case WM_SERVER_CONNECTED:
        onServerConnected(reinterpret_cast<OPC_Connection*>(wParam));
        break;
    case WM_SERVER_READY:
        onServerReady(reinterpret_cast<OPC_Connection*>(wParam));
        break;
    case WM_SERVER_DISCONNECTED:
        onServerDisconnected(reinterpret_cast<OPC_Connection*>(wParam));
        break;
    case WM_ITEM_NEW_VALUE:
        onItemNewValue(reinterpret_cast<const OPC_Item*>(wParam));
        break;
    default:
        break;  // not ours
    }
}

void MainForm::onHostConnected(Host* host)
{
    LOGG(7, "Host %s connected", host->name().c_str());
    TreeNode* node = findNode(host);
    if (!node) return;
    if (!host->lastError().empty()) {
        setPlaceholder(node, host->lastError(), ErrorPicture);
        _view.actionsChanged();
        return;
    }
    deleteChildren(node);
    std::vector<std::unique_ptr<TreeNode>> servers;
    for (const Host::OpcServerInfo& info : host->servers()) {
        auto connection = std::make_unique<OPC_Connection>(host, info.clsid, info.name);
        servers.push_back(newNode(info.name, ServerIdle, ServerIdle, NodeKind::Server, connection.get()));
        servers.back()->buttonWithoutChildren = true;
        _connections.push_back(std::move(connection));
    }
    insertNodes(node, 0, std::move(servers));
    expand(node, false);
    _view.actionsChanged();
}

void MainForm::onServerConnected(OPC_Connection* connection)
{
    LOGG(7, "OPC-server %s|%s connected", connection->ownerHost()->name().c_str(), connection->name().c_str());
    // The worker waits until this returns: its records are complete and stand still meanwhile.
    _connectedBeingHandled = connection;
    try {
        if (TreeNode* node = findNode(connection)) refreshServerNode(node, connection);
    } catch (...) {
        _connectedBeingHandled = nullptr;
        throw;
    }
    _connectedBeingHandled = nullptr;
    _view.actionsChanged();
}

void MainForm::onServerReady(OPC_Connection* connection)
{
    LOGG(7, "OPC-server %s|%s ready", connection->ownerHost()->name().c_str(), connection->name().c_str());
    if (TreeNode* node = findNode(connection)) refreshServerNode(node, connection);
    _view.actionsChanged();
}

void MainForm::onServerDisconnected(OPC_Connection* connection)
{
    LOGG(7, "OPC-server %s|%s disconnected", connection->ownerHost()->name().c_str(), connection->name().c_str());
    if (TreeNode* node = findNode(connection)) refreshServerNode(node, connection);
    _view.actionsChanged();
    closeCompletion();
}

void MainForm::onItemNewValue(const OPC_Item* item)
{
    ++_valueNotifications;
    // The pointer is only compared: the item may be gone by now. It is read later, at the
    // refresh, and only while its connection is connected and idle, which means the rows were
    // filled from the records that exist now.
    ItemRows& rows = _view.rows();
    const int row = rows.rowOf(item);
    if (row < 0) return;
    if (!_shownConnection || !_shownConnection->connected()) return;
    rows.markDirty(row);
    _view.scheduleRefresh();
}

void MainForm::flushTable()
{
    ItemRows& rows = _view.rows();
    if (!rows.hasDirty()) return;
    if (!_shownConnection || !_shownConnection->connected()) {
        rows.dropDirty();
        return;
    }
    _view.refreshRows();
}

// --- Tree and table operations ------------------------------------------------------------------

std::unique_ptr<TreeNode> MainForm::newNode(std::string caption, int image, int selectedImage, NodeKind kind,
                                            const void* object)
{
    auto node = std::make_unique<TreeNode>();
    node->kind = kind;
    node->object = object;
    node->caption = std::move(caption);
    node->image = image;
    node->selectedImage = selectedImage;
    return node;
}

void MainForm::setImages(TreeNode* node, int image, int selectedImage)
{
    node->image = image;
    node->selectedImage = selectedImage;
}

std::vector<std::unique_ptr<TreeNode>>& MainForm::siblingsOf(TreeNode* parent)
{
    return parent ? parent->children : _topLevel;
}

void MainForm::insertNodes(TreeNode* parent, std::size_t at, std::vector<std::unique_ptr<TreeNode>> nodes)
{
    if (nodes.empty()) return;
    std::vector<std::unique_ptr<TreeNode>>& siblings = siblingsOf(parent);
    const std::size_t count = nodes.size();
    for (auto& node : nodes) node->parent = parent;
    siblings.insert(siblings.begin() + static_cast<std::ptrdiff_t>(at), std::make_move_iterator(nodes.begin()),
                    std::make_move_iterator(nodes.end()));
    _view.nodesInserted(parent, at, count);
}

TreeNode* MainForm::findNode(NodeKind kind, const void* object) const
{
    return walk([&](const TreeNode* node) { return node->kind == kind && node->object == object; });
}

TreeNode* MainForm::findNode(const Host* host) const
{
    return findNode(NodeKind::Host, host);
}

TreeNode* MainForm::findNode(const OPC_Connection* connection) const
{
    return findNode(NodeKind::Server, connection);
}

OPC_Connection* MainForm::owningConnection(const TreeNode* node) const
{
    // Up the tree, never up the records: the server node's connection outlives every worker.
    for (const TreeNode* up = node; up; up = up->parent)
        if (up->kind == NodeKind::Server) return up->connection();
    return nullptr;
}

void MainForm::expand(TreeNode* node, bool quietly)
{
    if (!quietly) {
        _view.setExpanded(node, true);
        return;
    }
    _expandingAttached = false;
    try {
        _view.setExpanded(node, true);
    } catch (...) {
        _expandingAttached = true;
        throw;
    }
    _expandingAttached = true;
}

TreeNode* MainForm::setPlaceholder(TreeNode* node, const std::string& text, int image)
{
    TreeNode* status = nullptr;
    for (const auto& child : node->children) {
        if (child->kind == NodeKind::Status) {
            status = child.get();
            break;
        }
    }
    if (status) {
        status->caption = text;
        setImages(status, image, image);
        _view.nodeChanged(status);
    } else {
        std::vector<std::unique_ptr<TreeNode>> nodes;
        nodes.push_back(newNode(text, image, image, NodeKind::Status, nullptr));
        status = nodes.back().get();
        insertNodes(node, 0, std::move(nodes));
    }
    expand(node, true);
    return status;
}

void MainForm::deleteChildren(TreeNode* node)
{
    if (node->children.empty()) return;
    ++_treeChangeHeld;
    try {
        _view.nodesRemoving(node, 0, node->children.size());
    } catch (...) {
        --_treeChangeHeld;
        throw;
    }
    node->children.clear();
    --_treeChangeHeld;
    afterDeletion();
}

void MainForm::deleteNode(TreeNode* node)
{
    std::vector<std::unique_ptr<TreeNode>>& siblings = siblingsOf(node->parent);
    std::size_t index = 0;
    while (index < siblings.size() && siblings[index].get() != node) ++index;
    if (index == siblings.size()) return;
    ++_treeChangeHeld;
    try {
        _view.nodesRemoving(node->parent, index, 1);
    } catch (...) {
        --_treeChangeHeld;
        throw;
    }
    siblings.erase(siblings.begin() + static_cast<std::ptrdiff_t>(index));
    --_treeChangeHeld;
    afterDeletion();
}

void MainForm::afterDeletion()
{
    if (_treeChangeHeld > 0 || !_treeChangedWhileHeld) return;
    _treeChangedWhileHeld = false;
    treeChange(_view.currentNode());
}

void MainForm::forgetRowsOf(const OPC_Connection* connection)
{
    if (_shownConnection != connection) return;
    _view.resetRows({});
    _shownConnection = nullptr;
}

void MainForm::showItems(TreeNode* node)
{
    OPC_Connection* connection = nullptr;
    const OPC_Branch* branch = nullptr;
    if (node && node->kind == NodeKind::Server) {
        connection = node->connection();
        branch = connection;
    } else if (node && node->kind == NodeKind::Branch) {
        connection = owningConnection(node);
        branch = node->branch();
    }

    std::vector<ItemRow> rows;
    const bool readable = connection && (connection->connected() || connection == _connectedBeingHandled);
    if (readable && branch) {
        rows.reserve(branch->leaves().size());
        for (const auto& leaf : branch->leaves()) rows.push_back({leaf.get(), leaf->name(), itemTexts(leaf.get())});
    }
    _view.resetRows(std::move(rows));
    _shownConnection = readable ? connection : nullptr;
}

void MainForm::addBranches(TreeNode* node, const OPC_Branch* branch)
{
    // Built apart from the tree and put in with one notice: a view told of each node alone would
    // be slow for servers with thousands of branches.
    std::vector<std::unique_ptr<TreeNode>> children;
    children.reserve(branch->branches().size());
    std::vector<std::pair<TreeNode*, const OPC_Branch*>> pending;
    for (const auto& sub : branch->branches()) {
        children.push_back(newNode(sub->name(), BranchPicture, BranchOpen, NodeKind::Branch, sub.get()));
        pending.emplace_back(children.back().get(), sub.get());
    }
    // The whole subtree below each child, before the view hears of any of it.
    while (!pending.empty()) {
        auto [parent, records] = pending.back();
        pending.pop_back();
        for (const auto& sub : records->branches()) {
            auto child = newNode(sub->name(), BranchPicture, BranchOpen, NodeKind::Branch, sub.get());
            child->parent = parent;
            pending.emplace_back(child.get(), sub.get());
            parent->children.push_back(std::move(child));
        }
    }
    insertNodes(node, node->children.size(), std::move(children));
}

void MainForm::refreshServerNode(TreeNode* node, OPC_Connection* connection)
{
    const bool ready = connection->connected();
    const int image = ready ? ServerReady : ServerIdle;
    setImages(node, image, image);
    deleteChildren(node);
    if (ready) {
        addBranches(node, connection);
        node->buttonWithoutChildren = node->children.empty() ? false : true;
        _view.nodeChanged(node);
        if (!node->children.empty()) expand(node, false);
    } else {
        // Collapsed, so that the next click on its button expands it, which connects.
        node->buttonWithoutChildren = true;
        _view.nodeChanged(node);
        _view.setExpanded(node, false);
    }
    showItems(node);
    if (!connection->busy() && !connection->lastError().empty())
        setPlaceholder(node, connection->lastError(), ErrorPicture);
}

void MainForm::listHost(Host* host, TreeNode* node)
{
    if (host->listed() || host->busy()) return;
    host->startConnect();
    setPlaceholder(node, kListingText, NoPicture);
}

void MainForm::removeHost(Host*, TreeNode* node)
{
    for (const auto& child : node->children) {
        if (child->kind != NodeKind::Server) continue;
        OPC_Connection* connection = child->connection();
        if (connection->busy()) {
            // No node will be left to show it: a connect that is running now ends disconnected
            // instead of streaming values to nobody.
            forgetRowsOf(connection);
            connection->disconnect();
        } else {
            disconnectServer(connection, child.get());
        }
    }
    deleteNode(node);
    showItems(_view.currentNode());
}

void MainForm::connectServer(OPC_Connection* connection, TreeNode* node)
{
    if (!connection->idle()) return;
    connection->connect();
    setPlaceholder(node, kConnectingText, NoPicture);
}

void MainForm::disconnectServer(OPC_Connection* connection, TreeNode* node)
{
    if (!connection->connected()) return;
    // The worker destroys the records the rows point to; the rows go first.
    forgetRowsOf(connection);
    connection->disconnect();
    setPlaceholder(node, kDisconnectingText, NoPicture);
}

// --- What the user did --------------------------------------------------------------------------

void MainForm::connectExecute()
{
    TreeNode* node = _view.currentNode();
    if (!node) return;
    if (node->kind == NodeKind::Server)
        connectServer(node->connection(), node);
    else if (node->kind == NodeKind::Host)
        listHost(node->host(), node);
    _view.actionsChanged();
}

void MainForm::disconnectExecute()
{
    TreeNode* node = _view.currentNode();
    if (!node) return;
    if (node->kind == NodeKind::Server)
        disconnectServer(node->connection(), node);
    else if (node->kind == NodeKind::Host)
        removeHost(node->host(), node);
    _view.actionsChanged();
}

MainForm::ActionStates MainForm::actionStates() const
{
    ActionStates states;
    const TreeNode* node = _view.currentNode();
    if (!node) return states;
    switch (node->kind) {
    case NodeKind::Server:
        states.connect = node->connection()->idle();
        states.disconnect = node->connection()->connected();
        break;
    case NodeKind::Host: {
        const Host* host = node->host();
        states.connect = !host->listed() && !host->busy();
        states.disconnect = host->name() != kLocalHostName;
        break;
    }
    default:
        states.connect = false;
        break;
    }
    return states;
}

void MainForm::connectRemoteHostExecute()
{
    const std::optional<std::string> name = _askHost ? _askHost() : std::nullopt;
    if (!name) return;
    platform::IPv4Address address{0, 0, 0, 0};
    if (_lookupHost) {
        if (const auto found = _lookupHost(*name)) address = *found;
    }
    // The walk starts at once, but its WM_HOST_CONNECTED is handled only after this returns,
    // when the node is in place.
    auto host = std::make_unique<Host>(*name, address);
    std::vector<std::unique_ptr<TreeNode>> nodes;
    nodes.push_back(newNode(remoteHostCaption(*name, address), HostPicture, HostPicture, NodeKind::Host, host.get()));
    TreeNode* node = nodes.back().get();
    _hosts.push_back(std::move(host));
    insertNodes(nullptr, _topLevel.size(), std::move(nodes));
    setPlaceholder(node, kListingText, NoPicture);
    _view.actionsChanged();
}

void MainForm::treeExpanding(TreeNode* node)
{
    if (!_expandingAttached) return;
    if (node && node->kind == NodeKind::Server) connectServer(node->connection(), node);
    _view.actionsChanged();
}

void MainForm::treeChange(TreeNode* current)
{
    if (_treeChangeHeld > 0) {
        _treeChangedWhileHeld = true;
        return;
    }
    showItems(current);
    _view.actionsChanged();
}

} // namespace form
