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

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent), _ui(std::make_unique<Ui::MainForm>()), _form(*this)
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

    _model = new ItemTableModel(_images.icon(form::ItemPicture), this);
    _table->setModel(_model);
    _table->header()->setStretchLastSection(false);
    _table->header()->setSectionResizeMode(QHeaderView::Interactive);
    // Columns fit the rows on screen only: measuring thousands of rows would stall the loop.
    _table->header()->setResizeContentsPrecision(0);

    connect(_tree, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* item) { guarded([&] { _form.treeExpanding(formNodeOf(item)); }); });
    connect(_tree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { guarded([&] { _form.treeChange(formNodeOf(current)); }); });
    connect(_tree, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& position) { guarded([&] { treeContextMenu(position); }); });
    _tree->viewport()->installEventFilter(this);
    _table->viewport()->installEventFilter(this);
    connect(_table->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { scheduleRefresh(); });

    connect(_connect, &QAction::triggered, this, [this] { guarded([&] { _form.connectExecute(); }); });
    connect(_disconnect, &QAction::triggered, this, [this] { guarded([&] { _form.disconnectExecute(); }); });
    connect(_connectRemoteHost, &QAction::triggered, this, [this] { guarded([&] { _form.connectRemoteHostExecute(); }); });
    connect(_treeMenu, &QMenu::aboutToShow, this, [this] { guarded([&] { updateActions(); }); });

    form::startWindowLog();

    platform::Dispatcher& dispatcher = platform::Dispatcher::instance();
    dispatcher.setHandler([this](UINT message, WPARAM wParam, LPARAM) { _form.dispatch(message, wParam); });
    _pump = std::make_unique<DispatcherPump>(dispatcher);
    _pump->setErrorCallback([this](std::exception_ptr error) { reportError(error); });
    connect(_pump.get(), &DispatcherPump::drained, this, [this] { guarded([&] { flushTable(); }); });

    _form.setAskHost([this] { return askHost(this); });

    formCreate();
}

TMainForm::~TMainForm()
{
    formDestroy();
    // Nothing may reach the form any more: not the dispatcher, and not the tree, whose items go
    // after the form's nodes.
    platform::Dispatcher::instance().setHandler(nullptr);
    QObject::disconnect(_tree, nullptr, this, nullptr);
    _form.shutdown();
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
    guarded([&] { _form.start(); });
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
    return _form.closeQuery();
}

void TMainForm::closeAgain()
{
    QTimer::singleShot(0, this, [this] { close(); });
}

// --- The table -----------------------------------------------------------------------------------

form::ItemRows& TMainForm::rows()
{
    return _model->rows();
}

void TMainForm::resetRows(std::vector<form::ItemRow> rows)
{
    _model->reset(std::move(rows));
    fitColumns(false);
}

void TMainForm::scheduleRefresh()
{
    if (_flushScheduled) return;
    _flushScheduled = true;
    QMetaObject::invokeMethod(this, [this] { guarded([&] { flushTable(); }); }, Qt::QueuedConnection);
}

void TMainForm::flushTable()
{
    _flushScheduled = false;
    _form.flushTable();
}

void TMainForm::refreshRows()
{
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

// --- The tree ------------------------------------------------------------------------------------

QTreeWidgetItem* TMainForm::newItem(form::TreeNode* node)
{
    auto* item = new QTreeWidgetItem();
    node->viewItem = item;
    item->setData(0, FormNodeRole, QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(node)));
    applyNode(item, node);
    if (!node->children.empty()) {
        QList<QTreeWidgetItem*> children;
        children.reserve(static_cast<qsizetype>(node->children.size()));
        for (const auto& child : node->children) children.append(newItem(child.get()));
        item->addChildren(children);
    }
    return item;
}

void TMainForm::applyNode(QTreeWidgetItem* item, const form::TreeNode* node)
{
    item->setText(0, fromSystem(node->caption));
    item->setData(0, KindRole, static_cast<int>(node->kind));
    item->setData(0, ObjectRole, QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(node->object)));
    item->setData(0, ImageRole, node->image);
    item->setData(0, SelectedImageRole, node->selectedImage);
    item->setIcon(0, _images.nodeIcon(node->image, node->selectedImage));
    item->setChildIndicatorPolicy(node->buttonWithoutChildren ? QTreeWidgetItem::ShowIndicator
                                                              : QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

form::TreeNode* TMainForm::formNodeOf(const QTreeWidgetItem* item)
{
    if (!item) return nullptr;
    return reinterpret_cast<form::TreeNode*>(item->data(0, FormNodeRole).value<quintptr>());
}

QTreeWidgetItem* TMainForm::itemOf(const form::TreeNode* node)
{
    return node ? static_cast<QTreeWidgetItem*>(node->viewItem) : nullptr;
}

void TMainForm::nodesInserted(form::TreeNode* parent, std::size_t first, std::size_t count)
{
    // Built apart from the tree and put in with one call: a view told of each node alone would be
    // slow for servers with thousands of branches.
    const auto& siblings = parent ? parent->children : _form.topLevel();
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(count));
    for (std::size_t i = first; i < first + count; ++i) items.append(newItem(siblings[i].get()));
    if (parent)
        itemOf(parent)->insertChildren(static_cast<int>(first), items);
    else
        _tree->insertTopLevelItems(static_cast<int>(first), items);
}

void TMainForm::nodesRemoving(form::TreeNode* parent, std::size_t first, std::size_t count)
{
    QList<QTreeWidgetItem*> gone;
    for (std::size_t i = 0; i < count; ++i) {
        if (parent)
            gone.append(itemOf(parent)->takeChild(static_cast<int>(first)));
        else
            gone.append(_tree->takeTopLevelItem(static_cast<int>(first)));
    }
    qDeleteAll(gone);
}

void TMainForm::nodeChanged(form::TreeNode* node)
{
    applyNode(itemOf(node), node);
}

void TMainForm::setExpanded(form::TreeNode* node, bool expanded)
{
    itemOf(node)->setExpanded(expanded);
}

form::TreeNode* TMainForm::currentNode() const
{
    return formNodeOf(_tree->currentItem());
}

QTreeWidgetItem* TMainForm::findNode(const Host* host) const
{
    return itemOf(_form.findNode(host));
}

QTreeWidgetItem* TMainForm::findNode(const OPC_Connection* connection) const
{
    return itemOf(_form.findNode(connection));
}

void TMainForm::disconnectServer(OPC_Connection* connection, QTreeWidgetItem* node)
{
    _form.disconnectServer(connection, formNodeOf(node));
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

// --- Input ------------------------------------------------------------------------------------------

void TMainForm::updateActions()
{
    const form::MainForm::ActionStates states = _form.actionStates();
    if (states.connect) _connect->setEnabled(*states.connect);
    _disconnect->setEnabled(states.disconnect);
}

void TMainForm::treeMouseDown(const QPoint& position)
{
    _tree->setCurrentItem(_tree->itemAt(position));
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
        scheduleRefresh();
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
