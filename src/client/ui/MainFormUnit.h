// The program's one main window on Qt: the tree of computers, OPC servers and branches, the live
// item table, the three actions of the tree's menu; the form's rules drawn and fed.
#pragma once

#include "ImageList.h"
#include "client/form/MainForm.h"
#include "platform/HostLookup.h"

#include <QElapsedTimer>
#include <QMainWindow>

#include <cstdint>
#include <memory>
#include <vector>

class DispatcherPump;
class Host;
class ItemTableModel;
class OPC_Branch;
class OPC_Connection;
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

// The Qt view of the main window (form::MainForm holds every rule): the tree widget mirrors the
// form's nodes, the table shows the form's rows, and what the user does goes to the form.
// Main thread only: everything here runs on the thread that created the window, which must be
// the dispatcher's main thread.
class TMainForm : public QMainWindow, private form::MainFormView {
    Q_OBJECT
public:
    using NodeKind = form::NodeKind;
    // Item data roles of tree nodes (column 0), mirrored from the form's nodes.
    enum NodeRole {
        KindRole = Qt::UserRole + 1,  // NodeKind as int
        ObjectRole,                   // the object's address as quintptr (0 for a status node)
        ImageRole,                    // image index, -1 for none
        SelectedImageRole,            // selected-image index, -1 for none
        FormNodeRole,                 // the form's node (form::TreeNode*) as quintptr
    };

    using AskHost = form::MainForm::AskHost;
    using LookupHost = form::MainForm::LookupHost;

    // Builds the controls, installs the dispatcher's handler and wake hook, prepares the log file
    // (deletes the previous run's, sets the threshold to 0), then restores the stored placement
    // when it fits the screens.
    explicit TMainForm(QWidget* parent = nullptr);
    // Saves the placement, takes its handler off the dispatcher and lets the form end its
    // workers and free its hosts and connections.
    ~TMainForm() override;
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // The defaults are the remote host dialog and the platform's lookup.
    void setAskHost(AskHost ask) { _form.setAskHost(std::move(ask)); }
    void setLookupHost(LookupHost lookup) { _form.setLookupHost(std::move(lookup)); }

    form::MainForm& form() { return _form; }

    // The first node, in display order, that carries the object; null when none does.
    QTreeWidgetItem* findNode(const Host* host) const;
    QTreeWidgetItem* findNode(const OPC_Connection* connection) const;
    void disconnectServer(OPC_Connection* connection, QTreeWidgetItem* node);
    // The actions' enabled states from the form, as the toolkit's idle refresh would set them.
    void updateActions();

    // Stores the window's placement now, as its destruction does. For an end that cannot wait
    // for the destruction.
    void savePlacement() { formDestroy(); }

    // --- State for tests and the benchmarks ---------------------------------------------------
    int serversLeft() const { return _form.serversLeft(); }
    int treeWidth() const;
    QTreeWidget* tree() const { return _tree; }
    QTreeView* table() const { return _table; }
    ItemTableModel* tableModel() const { return _model; }
    QMenu* treeMenu() const { return _treeMenu; }
    QAction* connectAction() const { return _connect; }
    QAction* disconnectAction() const { return _disconnect; }
    QAction* connectRemoteHostAction() const { return _connectRemoteHost; }
    DispatcherPump* pump() const { return _pump.get(); }
    const OPC_Connection* shownConnection() const { return _form.shownConnection(); }
    std::uint64_t valueNotifications() const { return _form.valueNotifications(); }

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
    // --- form::MainFormView --------------------------------------------------------------------
    void nodesInserted(form::TreeNode* parent, std::size_t first, std::size_t count) override;
    void nodesRemoving(form::TreeNode* parent, std::size_t first, std::size_t count) override;
    void nodeChanged(form::TreeNode* node) override;
    void setExpanded(form::TreeNode* node, bool expanded) override;
    form::TreeNode* currentNode() const override;
    form::ItemRows& rows() override;
    void resetRows(std::vector<form::ItemRow> rows) override;
    void refreshRows() override;
    void scheduleRefresh() override;
    void actionsChanged() override { updateActions(); }
    void closeAgain() override;

    // The form's refresh of the rows, after a drain or when one was scheduled.
    void flushTable();
    void formCreate();
    bool formCloseQuery();
    void formDestroy();
    // The tree's share of the splitter; the table gets the rest of the window's width.
    void setTreeWidth(int treeWidth);
    void reportError(std::exception_ptr error);
    // Runs an event handler; an exception it lets out is shown, as the toolkit's own handling
    // would, instead of unwinding through Qt.
    template <class F> void guarded(F&& handler);

    void treeMouseDown(const QPoint& position);
    void treeContextMenu(const QPoint& position);

    // The widget item of a form node, made with its subtree.
    QTreeWidgetItem* newItem(form::TreeNode* node);
    void applyNode(QTreeWidgetItem* item, const form::TreeNode* node);
    static form::TreeNode* formNodeOf(const QTreeWidgetItem* item);
    static QTreeWidgetItem* itemOf(const form::TreeNode* node);
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

    bool _shown = false;
    bool _flushScheduled = false;
    QElapsedTimer _columnFit;  // since the columns were last fitted

    form::MainForm _form;  // last: it is shut down before the widgets go
};
