#include "MainFormUnit.h"

#include "DesignFont.h"
#include "DispatcherPump.h"
#include "HostDialogUnit.h"
#include "ItemTableModel.h"
#include "MessageBoxes.h"
#include "client/form/FormTexts.h"
#include "client/form/LogFile.h"
#include "client/form/Placement.h"
#include "client/form/UserSettings.h"
#include "client/Exception.h"
#include "client/Host.h"
#include "client/Logger.h"
#include "client/OPC_Connection.h"
#include "client/ValueText.h"
#include "client/WindowMessages.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include "ui_MainForm.h"

#include <algorithm>

namespace {

using form::kConnectingText;
using form::kDisconnectingText;
using form::kListingText;
using form::kLocalHostName;

// The screens' areas available to windows, as the placement rules take them.
std::vector<form::ScreenArea> screenAreas()
{
    std::vector<form::ScreenArea> areas;
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect area = screen->availableGeometry();
        areas.push_back({area.x(), area.y(), area.width(), area.height()});
    }
    return areas;
}

QString fromSystem(const std::string& text)
{
    // The system code page is UTF-8; a text cut inside a character shows a replacement mark.
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// How often at most the columns grow to fit new values.
constexpr qint64 kColumnFitMs = 500;

} // namespace

// --- Construction ------------------------------------------------------------------------------

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent), _ui(std::make_unique<Ui::MainForm>())
{
    setFont(designFont());
    _ui->setupUi(this);
    _tree = _ui->_tree;
    _splitter = _ui->_splitter;
    _table = _ui->_table;
    _connect = _ui->_connect;
    _disconnect = _ui->_disconnect;
    _connectRemoteHost = _ui->_connectRemoteHost;

    _actions = new QActionGroup(this);
    _actions->setObjectName(QStringLiteral("_actions"));
    _actions->setExclusionPolicy(QActionGroup::ExclusionPolicy::None);
    for (QAction* action : {_connect, _disconnect, _connectRemoteHost}) _actions->addAction(action);

    _treeMenu = new QMenu(this);
    _treeMenu->setObjectName(QStringLiteral("_treeMenu"));
    _treeMenu->addAction(_connect);
    _treeMenu->addAction(_disconnect);
    _treeMenu->addSeparator()->setObjectName(QStringLiteral("N1"));
    _treeMenu->addAction(_connectRemoteHost);

    move(form::kDesignPlacement.left, form::kDesignPlacement.top);
    resize(form::kDesignPlacement.width, form::kDesignPlacement.height);

    // A long name widens the tree's one column and brings a scroll bar, as names are never cut.
    _tree->header()->setStretchLastSection(false);
    _tree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);

    // The table takes what the window gains; the tree keeps the width the operator gave it.
    _splitter->setStretchFactor(0, 0);
    _splitter->setStretchFactor(1, 1);
    setTreeWidth(form::kDesignPlacement.treeWidth);

    _model = new ItemTableModel(_images.icon(ImageList::Item), this);
    _table->setModel(_model);
    _table->header()->setStretchLastSection(false);
    _table->header()->setSectionResizeMode(QHeaderView::Interactive);
    // Columns fit the rows on screen only: measuring thousands of rows would stall the loop.
    _table->header()->setResizeContentsPrecision(0);

    connect(_tree, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* item) { guarded([&] { treeExpanding(item); }); });
    connect(_tree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { guarded([&] { treeChange(current); }); });
    connect(_tree, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& position) { guarded([&] { treeContextMenu(position); }); });
    _tree->viewport()->installEventFilter(this);
    _table->viewport()->installEventFilter(this);
    connect(_table->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { scheduleFlush(); });

    connect(_connect, &QAction::triggered, this, [this] { guarded([&] { connectExecute(); }); });
    connect(_disconnect, &QAction::triggered, this, [this] { guarded([&] { disconnectExecute(); }); });
    connect(_connectRemoteHost, &QAction::triggered, this, [this] { guarded([&] { connectRemoteHostExecute(); }); });
    connect(_treeMenu, &QMenu::aboutToShow, this, [this] { guarded([&] { updateActions(); }); });

    _serversLeft = 0;
    form::startLogBesideExecutable();

    platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
    dispatcher.setHandler([this](UINT message, WPARAM wParam, LPARAM) { dispatch(message, wParam); });
    _pump = std::make_unique<DispatcherPump>(dispatcher);
    _pump->setErrorCallback([this](std::exception_ptr error) { reportError(error); });
    connect(_pump.get(), &DispatcherPump::drained, this, [this] { guarded([&] { flushTable(); }); });

    _askHost = [this] { return askHost(this); };
    _lookupHost = [](const std::string& name) { return platform::lookupIPv4(name); };

    formCreate();
}

TMainForm::~TMainForm()
{
    formDestroy();

    // Nothing may reach the window any more; the workers still running are let finish, their
    // completion steps run meanwhile (and find no handler), and what they queued for the window
    // is dropped, so that no later handler gets a pointer to what is freed here.
    platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
    dispatcher.setHandler(nullptr);
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
    _pump.reset();
}

void TMainForm::formCreate()
{
    try {
        const std::optional<form::Placement> stored =
            form::parsePlacement(settings::readString(form::kPlacementValue).value_or(std::string()));
        if (!stored || !form::fitsTheScreens(*stored, screenAreas())) return;
        move(stored->left, stored->top);
        resize(stored->width, stored->height);
        setTreeWidth(form::usableTreeWidth(stored->treeWidth, stored->width, _splitter->handleWidth()));
    } catch (const std::exception&) {
        // A placement that cannot be read leaves the design bounds.
    }
}

void TMainForm::formDestroy()
{
    try {
        settings::writeString(form::kPlacementValue, form::placementText({x(), y(), width(), height(), treeWidth()}));
    } catch (const std::exception&) {
        // A placement that cannot be stored is not stored.
    }
}

int TMainForm::treeWidth() const
{
    return _splitter->sizes().value(0, 0);
}

void TMainForm::setTreeWidth(int treeWidth)
{
    _splitter->setSizes({treeWidth, std::max(1, width() - treeWidth - _splitter->handleWidth())});
}

void TMainForm::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (_shown) return;
    _shown = true;
    guarded([&] { formShow(); });
}

void TMainForm::formShow()
{
    auto host = std::make_unique<Host>(kLocalHostName, platform::IPv4Address{127, 0, 0, 1});
    QTreeWidgetItem* node = newNode(QString::fromUtf8(kLocalHostName), ImageList::Host, ImageList::Host,
                                    NodeKind::Host, host.get());
    _hosts.push_back(std::move(host));
    _tree->addTopLevelItem(node);
    setPlaceholder(node, kListingText, ImageList::None);
}

// --- Close ---------------------------------------------------------------------------------------

void TMainForm::closeEvent(QCloseEvent* event)
{
    bool mayClose = true;
    guarded([&] { mayClose = formCloseQuery(); });
    if (mayClose)
        event->accept();
    else
        event->ignore();
}

bool TMainForm::formCloseQuery()
{
    // disconnect() never waits, so nothing runs in between and the walk sees a tree that stands
    // still.
    for (QTreeWidgetItemIterator it(_tree); *it; ++it) {
        if (kindOf(*it) != NodeKind::Server) continue;
        OPC_Connection* connection = connectionOf(*it);
        if (connection->idle()) continue;
        LOGG(7, "Disconnecting OPC-server %s|%s", connection->ownerHost()->name().c_str(), connection->name().c_str());
        forgetRowsOf(connection);
        connection->disconnect();
    }
    // Each of these ends in exactly one WM_SERVER_DISCONNECTED; a disconnect that was asked of
    // a running connect included.
    int busy = 0;
    for (QTreeWidgetItemIterator it(_tree); *it; ++it)
        if (kindOf(*it) == NodeKind::Server && connectionOf(*it)->busy()) ++busy;
    _serversLeft = busy;
    return _serversLeft == 0;
}

void TMainForm::closeCompletion()
{
    if (_serversLeft == 1) {
        _serversLeft = 0;
        // Asked again from the event loop: the close may then run the walk anew with the tree as
        // it is by then, never inside the handler that is running now.
        QTimer::singleShot(0, this, [this] { close(); });
        return;
    }
    if (_serversLeft > 0) --_serversLeft;
    LOGG(7, "%d servers left", _serversLeft);
}

// --- Notifications -------------------------------------------------------------------------------

void TMainForm::dispatch(unsigned message, std::uintptr_t wParam)
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

void TMainForm::onHostConnected(Host* host)
{
    LOGG(7, "Host %s connected", host->name().c_str());
    QTreeWidgetItem* node = findNode(host);
    if (!node) return;
    if (!host->lastError().empty()) {
        setPlaceholder(node, host->lastError(), ImageList::Error);
        updateActions();
        return;
    }
    deleteChildren(node);
    QList<QTreeWidgetItem*> servers;
    for (const Host::OpcServerInfo& info : host->servers()) {
        auto connection = std::make_unique<OPC_Connection>(host, info.clsid, info.name);
        QTreeWidgetItem* child =
            newNode(fromSystem(info.name), ImageList::ServerIdle, ImageList::ServerIdle, NodeKind::Server, connection.get());
        child->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        _connections.push_back(std::move(connection));
        servers.append(child);
    }
    node->addChildren(servers);
    node->setExpanded(true);
    updateActions();
}

void TMainForm::onServerConnected(OPC_Connection* connection)
{
    LOGG(7, "OPC-server %s|%s connected", connection->ownerHost()->name().c_str(), connection->name().c_str());
    // The worker waits until this returns: its records are complete and stand still meanwhile.
    _connectedBeingHandled = connection;
    try {
        if (QTreeWidgetItem* node = findNode(connection)) refreshServerNode(node, connection);
    } catch (...) {
        _connectedBeingHandled = nullptr;
        throw;
    }
    _connectedBeingHandled = nullptr;
    updateActions();
}

void TMainForm::onServerReady(OPC_Connection* connection)
{
    LOGG(7, "OPC-server %s|%s ready", connection->ownerHost()->name().c_str(), connection->name().c_str());
    if (QTreeWidgetItem* node = findNode(connection)) refreshServerNode(node, connection);
    updateActions();
}

void TMainForm::onServerDisconnected(OPC_Connection* connection)
{
    LOGG(7, "OPC-server %s|%s disconnected", connection->ownerHost()->name().c_str(), connection->name().c_str());
    if (QTreeWidgetItem* node = findNode(connection)) refreshServerNode(node, connection);
    updateActions();
    closeCompletion();
}

void TMainForm::onItemNewValue(const OPC_Item* item)
{
    ++_valueNotifications;
    // The pointer is only compared: the item may be gone by now. It is read later, at the
    // refresh, and only while its connection is connected and idle, which means the rows were
    // filled from the records that exist now.
    const int row = _model->rowOf(item);
    if (row < 0) return;
    if (!_shownConnection || !_shownConnection->connected()) return;
    _model->markDirty(row);
    scheduleFlush();
}

void TMainForm::scheduleFlush()
{
    if (_flushScheduled) return;
    _flushScheduled = true;
    QMetaObject::invokeMethod(this, [this] { guarded([&] { flushTable(); }); }, Qt::QueuedConnection);
}

void TMainForm::flushTable()
{
    _flushScheduled = false;
    if (!_model->hasDirty()) return;
    if (!_shownConnection || !_shownConnection->connected()) {
        _model->dropDirty();
        return;
    }
    int first = 0;
    int last = _model->rowCount() - 1;
    if (_table->isVisible()) {
        // Rows off screen keep their marks and are refreshed when they come into view.
        const QModelIndex top = _table->indexAt(QPoint(0, 0));
        const QModelIndex bottom = _table->indexAt(QPoint(0, _table->viewport()->height() - 1));
        if (top.isValid()) first = std::max(0, top.row() - form::kRefreshMargin);
        if (bottom.isValid()) last = std::min(last, bottom.row() + form::kRefreshMargin);
        else if (top.isValid()) last = std::min(last, top.row() + _table->viewport()->height() + form::kRefreshMargin);
    }
    if (_model->refresh(first, last, form::itemTexts) > 0 && (!_columnFit.isValid() || _columnFit.hasExpired(kColumnFitMs))) {
        // New values may be wider than the ones the columns were sized for; they grow to fit what
        // is on screen, a few times a second at most, and never shrink under a moving value.
        fitColumns(true);
    }
}

void TMainForm::fitColumns(bool growOnly)
{
    // Only the rows on screen are measured (the view's own rule), so this costs the same for
    // ten rows as for ten thousand.
    for (int column = 0; column < ItemTableModel::kColumns; ++column) {
        const int before = _table->columnWidth(column);
        _table->resizeColumnToContents(column);
        if (growOnly && _table->columnWidth(column) < before) _table->setColumnWidth(column, before);
    }
    _columnFit.start();
}

// --- Tree and table operations ------------------------------------------------------------------

QTreeWidgetItem* TMainForm::newNode(const QString& caption, int image, int selectedImage, NodeKind kind,
                                    const void* object)
{
    auto* node = new QTreeWidgetItem();
    node->setText(0, caption);
    node->setData(0, KindRole, static_cast<int>(kind));
    node->setData(0, ObjectRole, QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(object)));
    setNodeImages(node, image, selectedImage);
    return node;
}

void TMainForm::setNodeImages(QTreeWidgetItem* node, int image, int selectedImage)
{
    node->setData(0, ImageRole, image);
    node->setData(0, SelectedImageRole, selectedImage);
    node->setIcon(0, _images.nodeIcon(image, selectedImage));
}

TMainForm::NodeKind TMainForm::kindOf(const QTreeWidgetItem* node)
{
    if (!node) return NodeKind::Status;
    return static_cast<NodeKind>(node->data(0, KindRole).toInt());
}

namespace {
const void* objectOf(const QTreeWidgetItem* node)
{
    return reinterpret_cast<const void*>(node->data(0, TMainForm::ObjectRole).value<quintptr>());
}
} // namespace

Host* TMainForm::hostOf(const QTreeWidgetItem* node)
{
    if (kindOf(node) != NodeKind::Host) return nullptr;
    return static_cast<Host*>(const_cast<void*>(objectOf(node)));
}

OPC_Connection* TMainForm::connectionOf(const QTreeWidgetItem* node)
{
    if (kindOf(node) != NodeKind::Server) return nullptr;
    return static_cast<OPC_Connection*>(const_cast<void*>(objectOf(node)));
}

const OPC_Branch* TMainForm::branchOf(const QTreeWidgetItem* node)
{
    if (kindOf(node) != NodeKind::Branch) return nullptr;
    return static_cast<const OPC_Branch*>(objectOf(node));
}

int TMainForm::imageOf(const QTreeWidgetItem* node)
{
    return node->data(0, ImageRole).toInt();
}

int TMainForm::selectedImageOf(const QTreeWidgetItem* node)
{
    return node->data(0, SelectedImageRole).toInt();
}

OPC_Connection* TMainForm::owningConnection(const QTreeWidgetItem* node) const
{
    // Up the tree, never up the records: the server node's connection outlives every worker.
    for (const QTreeWidgetItem* up = node; up; up = up->parent())
        if (kindOf(up) == NodeKind::Server) return connectionOf(up);
    return nullptr;
}

QTreeWidgetItem* TMainForm::findNode(NodeKind kind, const void* object) const
{
    for (QTreeWidgetItemIterator it(_tree); *it; ++it)
        if (kindOf(*it) == kind && objectOf(*it) == object) return *it;
    return nullptr;
}

QTreeWidgetItem* TMainForm::findNode(const Host* host) const
{
    return findNode(NodeKind::Host, host);
}

QTreeWidgetItem* TMainForm::findNode(const OPC_Connection* connection) const
{
    return findNode(NodeKind::Server, connection);
}

void TMainForm::expandQuietly(QTreeWidgetItem* node)
{
    _expandingAttached = false;
    node->setExpanded(true);
    _expandingAttached = true;
}

QTreeWidgetItem* TMainForm::setPlaceholder(QTreeWidgetItem* node, const std::string& text, int image)
{
    QTreeWidgetItem* status = nullptr;
    for (int i = 0; i < node->childCount() && !status; ++i)
        if (kindOf(node->child(i)) == NodeKind::Status) status = node->child(i);
    if (status) {
        status->setText(0, fromSystem(text));
        setNodeImages(status, image, image);
    } else {
        status = newNode(fromSystem(text), image, image, NodeKind::Status, nullptr);
        node->insertChild(0, status);
    }
    expandQuietly(node);
    return status;
}

void TMainForm::deleteChildren(QTreeWidgetItem* node)
{
    ++_treeChangeHeld;
    const QList<QTreeWidgetItem*> children = node->takeChildren();
    qDeleteAll(children);
    --_treeChangeHeld;
    afterDeletion();
}

void TMainForm::deleteNode(QTreeWidgetItem* node)
{
    ++_treeChangeHeld;
    delete node;
    --_treeChangeHeld;
    afterDeletion();
}

void TMainForm::afterDeletion()
{
    if (_treeChangeHeld > 0 || !_treeChangedWhileHeld) return;
    _treeChangedWhileHeld = false;
    treeChange(_tree->currentItem());
}

void TMainForm::forgetRowsOf(const OPC_Connection* connection)
{
    if (_shownConnection != connection) return;
    _model->clear();
    _shownConnection = nullptr;
}

void TMainForm::showItems(QTreeWidgetItem* node)
{
    OPC_Connection* connection = nullptr;
    const OPC_Branch* branch = nullptr;
    switch (kindOf(node)) {
    case NodeKind::Server:
        connection = connectionOf(node);
        branch = connection;
        break;
    case NodeKind::Branch:
        connection = owningConnection(node);
        branch = branchOf(node);
        break;
    default:
        break;
    }

    std::vector<form::ItemRow> rows;
    const bool readable = connection && (connection->connected() || connection == _connectedBeingHandled);
    if (readable && branch) {
        rows.reserve(branch->leaves().size());
        for (const auto& leaf : branch->leaves()) rows.push_back({leaf.get(), leaf->name(), form::itemTexts(leaf.get())});
    }
    _model->reset(std::move(rows));
    _shownConnection = readable ? connection : nullptr;
    fitColumns(false);
}

void TMainForm::addBranches(QTreeWidgetItem* node, const OPC_Branch* branch)
{
    // Built apart from the tree and put in with one call per level: a view told of each node
    // alone would be slow for servers with thousands of branches.
    QList<QTreeWidgetItem*> children;
    children.reserve(static_cast<qsizetype>(branch->branches().size()));
    for (const auto& sub : branch->branches()) {
        QTreeWidgetItem* child =
            newNode(fromSystem(sub->name()), ImageList::Branch, ImageList::BranchOpen, NodeKind::Branch, sub.get());
        addBranches(child, sub.get());
        children.append(child);
    }
    node->addChildren(children);
}

void TMainForm::refreshServerNode(QTreeWidgetItem* node, OPC_Connection* connection)
{
    const bool ready = connection->connected();
    const int image = ready ? ImageList::ServerReady : ImageList::ServerIdle;
    setNodeImages(node, image, image);
    deleteChildren(node);
    if (ready) {
        addBranches(node, connection);
        if (node->childCount() > 0) {
            node->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
            node->setExpanded(true);
        } else {
            node->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
        }
    } else {
        // Collapsed, so that the next click on its button expands it, which connects.
        node->setExpanded(false);
        node->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    }
    showItems(node);
    if (!connection->busy() && !connection->lastError().empty())
        setPlaceholder(node, connection->lastError(), ImageList::Error);
}

void TMainForm::listHost(Host* host, QTreeWidgetItem* node)
{
    if (host->listed() || host->busy()) return;
    host->startConnect();
    setPlaceholder(node, kListingText, ImageList::None);
}

void TMainForm::removeHost(Host*, QTreeWidgetItem* node)
{
    for (int i = 0; i < node->childCount(); ++i) {
        QTreeWidgetItem* child = node->child(i);
        if (kindOf(child) != NodeKind::Server) continue;
        OPC_Connection* connection = connectionOf(child);
        if (connection->busy()) {
            // No node will be left to show it: a connect that is running now ends disconnected
            // instead of streaming values to nobody.
            forgetRowsOf(connection);
            connection->disconnect();
        } else {
            disconnectServer(connection, child);
        }
    }
    deleteNode(node);
    showItems(_tree->currentItem());
}

void TMainForm::connectServer(OPC_Connection* connection, QTreeWidgetItem* node)
{
    if (!connection->idle()) return;
    connection->connect();
    setPlaceholder(node, kConnectingText, ImageList::None);
}

void TMainForm::disconnectServer(OPC_Connection* connection, QTreeWidgetItem* node)
{
    if (!connection->connected()) return;
    // The worker destroys the records the rows point to; the rows go first.
    forgetRowsOf(connection);
    connection->disconnect();
    setPlaceholder(node, kDisconnectingText, ImageList::None);
}

// --- Event handlers -----------------------------------------------------------------------------

void TMainForm::connectExecute()
{
    QTreeWidgetItem* node = _tree->currentItem();
    if (!node) return;
    switch (kindOf(node)) {
    case NodeKind::Server:
        connectServer(connectionOf(node), node);
        break;
    case NodeKind::Host:
        listHost(hostOf(node), node);
        break;
    default:
        break;
    }
    updateActions();
}

void TMainForm::connectUpdate()
{
    QTreeWidgetItem* node = _tree->currentItem();
    if (!node) return;
    switch (kindOf(node)) {
    case NodeKind::Server:
        _connect->setEnabled(connectionOf(node)->idle());
        break;
    case NodeKind::Host: {
        const Host* host = hostOf(node);
        _connect->setEnabled(!host->listed() && !host->busy());
        break;
    }
    default:
        _connect->setEnabled(false);
        break;
    }
}

void TMainForm::disconnectExecute()
{
    QTreeWidgetItem* node = _tree->currentItem();
    if (!node) return;
    switch (kindOf(node)) {
    case NodeKind::Server:
        disconnectServer(connectionOf(node), node);
        break;
    case NodeKind::Host:
        removeHost(hostOf(node), node);
        break;
    default:
        break;
    }
    updateActions();
}

void TMainForm::disconnectUpdate()
{
    QTreeWidgetItem* node = _tree->currentItem();
    switch (kindOf(node)) {
    case NodeKind::Server:
        _disconnect->setEnabled(node && connectionOf(node)->connected());
        break;
    case NodeKind::Host:
        _disconnect->setEnabled(node && hostOf(node)->name() != kLocalHostName);
        break;
    default:
        _disconnect->setEnabled(false);
        break;
    }
}

void TMainForm::updateActions()
{
    connectUpdate();
    disconnectUpdate();
}

void TMainForm::connectRemoteHostExecute()
{
    const std::optional<std::string> name = _askHost ? _askHost() : std::nullopt;
    if (!name) return;
    platform::IPv4Address address{0, 0, 0, 0};
    if (_lookupHost) {
        if (const auto found = _lookupHost(*name)) address = *found;
    }
    const std::string caption = form::remoteHostCaption(*name, address);

    // The walk starts at once, but its WM_HOST_CONNECTED is handled only after this returns,
    // when the node is in place.
    auto host = std::make_unique<Host>(*name, address);
    QTreeWidgetItem* node =
        newNode(fromSystem(caption), ImageList::Host, ImageList::Host, NodeKind::Host, host.get());
    _hosts.push_back(std::move(host));
    _tree->addTopLevelItem(node);
    setPlaceholder(node, kListingText, ImageList::None);
    updateActions();
}

void TMainForm::treeExpanding(QTreeWidgetItem* node)
{
    if (!_expandingAttached) return;
    if (kindOf(node) == NodeKind::Server) connectServer(connectionOf(node), node);
    updateActions();
}

void TMainForm::treeMouseDown(const QPoint& position)
{
    _tree->setCurrentItem(_tree->itemAt(position));
}

void TMainForm::treeChange(QTreeWidgetItem* current)
{
    if (_treeChangeHeld > 0) {
        _treeChangedWhileHeld = true;
        return;
    }
    showItems(current);
    updateActions();
}

void TMainForm::treeContextMenu(const QPoint& position)
{
    _treeMenu->popup(_tree->viewport()->mapToGlobal(position));
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == _tree->viewport() && event->type() == QEvent::MouseButtonPress) {
        const QPoint position = static_cast<QMouseEvent*>(event)->position().toPoint();
        guarded([&] { treeMouseDown(position); });
    } else if (watched == _table->viewport() && event->type() == QEvent::Resize) {
        scheduleFlush();
    }
    return QMainWindow::eventFilter(watched, event);
}

// --- Errors -------------------------------------------------------------------------------------

template <class F>
void TMainForm::guarded(F&& handler)
{
    try {
        handler();
    } catch (...) {
        reportError(std::current_exception());
    }
}

void TMainForm::reportError(std::exception_ptr error)
{
    showErrorMessage(this, errorText(error));
}
