// The main window's rules without a toolkit, on both systems: a view that only records what it
// is told (and moves the selection as a tree control does when nodes go), the real hosts and
// connections against the test servers, and the dispatcher driven as a window's event loop
// would drive it.
#include "client/Host.h"
#include "client/OPC_Connection.h"
#include "client/form/FormTexts.h"
#include "client/form/MainForm.h"
#include "platform/Dispatcher.h"
#include "servers/test/TestRegistry.h"
#include "servers/test/TestServers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace {

using namespace std::chrono_literals;
using form::NodeKind;
using form::TreeNode;

class RecordingView : public form::MainFormView {
public:
    form::MainForm* form = nullptr;
    TreeNode* current = nullptr;
    std::set<const TreeNode*> expanded;
    form::ItemRows table;
    int insertions = 0, refreshes = 0, refreshRequests = 0, closeRequests = 0, actionNotices = 0;

    void nodesInserted(TreeNode*, std::size_t, std::size_t) override { ++insertions; }
    void nodesRemoving(TreeNode* parent, std::size_t first, std::size_t count) override
    {
        const auto& siblings = parent ? parent->children : form->topLevel();
        for (std::size_t i = first; i < first + count; ++i) forget(siblings[i].get());
        // A tree control moves the selection off a node that goes, to its parent here.
        if (movedFrom) {
            movedFrom = false;
            current = parent;
            form->treeChange(current);
        }
    }
    void nodeChanged(TreeNode*) override {}
    void setExpanded(TreeNode* node, bool on) override
    {
        const bool was = expanded.count(node) > 0;
        if (on) expanded.insert(node);
        else expanded.erase(node);
        if (on && !was) form->treeExpanding(node);
    }
    TreeNode* currentNode() const override { return current; }
    form::ItemRows& rows() override { return table; }
    void resetRows(std::vector<form::ItemRow> rows) override { table.reset(std::move(rows)); }
    void refreshRows() override
    {
        ++refreshes;
        table.refresh(0, static_cast<int>(table.size()) - 1, form::itemTexts);
    }
    void scheduleRefresh() override { ++refreshRequests; }
    void actionsChanged() override { ++actionNotices; }
    void closeAgain() override { ++closeRequests; }

    // What the user does: selects a node, expands it.
    void select(TreeNode* node)
    {
        current = node;
        form->treeChange(node);
    }
    void expandByUser(TreeNode* node) { setExpanded(node, true); }

private:
    void forget(const TreeNode* node)
    {
        if (node == current) movedFrom = true;
        expanded.erase(node);
        for (const auto& child : node->children) forget(child.get());
    }
    bool movedFrom = false;
};

class FormLogic : public ::testing::Test {
protected:
    FormLogic()
    {
        view.form = &form;
        auto& dispatcher = platform::Dispatcher::instance();
        dispatcher.bindMainThread();
        dispatcher.setHandler([this](UINT message, WPARAM w, LPARAM) { form.dispatch(message, w); });
        form.setLookupHost([](const std::string&) { return std::nullopt; });
    }
    ~FormLogic() override
    {
        platform::Dispatcher::instance().setHandler(nullptr);
        form.shutdown();
    }

    // Runs the notifications as the window's loop does, a refresh after each round, until done.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            platform::Dispatcher::instance().pumpUntil([&] { return done(); }, 20ms);
            form.flushTable();
            if (done()) return true;
        }
        return false;
    }
    TreeNode* localHost() { return form.topLevel().empty() ? nullptr : form.topLevel().front().get(); }
    TreeNode* child(TreeNode* node, const std::string& caption)
    {
        for (const auto& c : node->children)
            if (c->caption == caption) return c.get();
        return nullptr;
    }
    static const TreeNode* statusOf(const TreeNode* node)
    {
        for (const auto& c : node->children)
            if (c->kind == NodeKind::Status) return c.get();
        return nullptr;
    }
    // The local host listed, and the node of the test server of the fault.
    TreeNode* listedServer(servers::test::Fault fault)
    {
        form.start();
        // Its WM_HOST_CONNECTED replaces the listing node with the servers.
        EXPECT_TRUE(pumpUntil([&] { return !localHost()->children.empty() && !statusOf(localHost()); }));
        return child(localHost(), servers::test::progIdOf(fault));
    }
    std::vector<std::string> rowNames() const
    {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < view.table.size(); ++i) names.push_back(view.table[i].name);
        return names;
    }

    const servers::test::TestRegistry registry;
    RecordingView view;
    form::MainForm form{view};
};

TEST_F(FormLogic, StartListsTheLocalHostsServersUnderIt)
{
    form.start();
    ASSERT_EQ(form.topLevel().size(), 1u);
    TreeNode* host = localHost();
    EXPECT_EQ(host->kind, NodeKind::Host);
    EXPECT_EQ(host->caption, form::kLocalHostName);
    EXPECT_EQ(host->image, form::HostPicture);
    const TreeNode* listing = statusOf(host);
    ASSERT_NE(listing, nullptr);
    EXPECT_EQ(listing->caption, form::kListingText);
    EXPECT_EQ(listing->image, form::NoPicture);
    EXPECT_TRUE(view.expanded.count(host));

    // Selected, the host offers neither action while it lists, and never Disconnect.
    view.select(host);
    EXPECT_EQ(form.actionStates().connect, false);
    EXPECT_FALSE(form.actionStates().disconnect);

    ASSERT_TRUE(pumpUntil([&] { return statusOf(host) == nullptr; }));
    TreeNode* good = child(host, servers::test::progIdOf(servers::test::Fault::None));
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(good->kind, NodeKind::Server);
    EXPECT_EQ(good->image, form::ServerIdle);
    EXPECT_TRUE(good->buttonWithoutChildren);
    EXPECT_TRUE(good->children.empty());
    EXPECT_TRUE(child(host, "Tagvista.Simulation.1"));
    // Listed once: Connect on the host is off from now on.
    EXPECT_EQ(form.actionStates().connect, false);
    EXPECT_EQ(form.actionStates().connectRemoteHost, true);
}

TEST_F(FormLogic, ExpandingAServerConnectsShowsItsBranchesAndLiveRowsAndDisconnectTakesThemAway)
{
    TreeNode* good = listedServer(servers::test::Fault::None);
    ASSERT_NE(good, nullptr);
    view.select(good);
    EXPECT_EQ(form.actionStates().connect, true);
    EXPECT_FALSE(form.actionStates().disconnect);

    view.expandByUser(good);
    ASSERT_NE(statusOf(good), nullptr);
    EXPECT_EQ(statusOf(good)->caption, form::kConnectingText);
    EXPECT_EQ(form.actionStates().connect, false);
    OPC_Connection* connection = good->connection();
    ASSERT_TRUE(pumpUntil([&] { return connection->connected(); }));
    ASSERT_TRUE(pumpUntil([&] { return good->image == form::ServerReady; }));

    // The tree: branch X with its branch Y; no status node. The table: the root's items.
    ASSERT_EQ(good->children.size(), 1u);
    TreeNode* x = good->children.front().get();
    EXPECT_EQ(x->caption, "X");
    EXPECT_EQ(x->image, form::BranchPicture);
    EXPECT_EQ(x->selectedImage, form::BranchOpen);
    ASSERT_EQ(x->children.size(), 1u);
    EXPECT_EQ(x->children.front()->caption, "Y");
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(form.shownConnection(), connection);
    // The first values may still be on their way.
    EXPECT_TRUE(pumpUntil([&] { return view.table.text(0, form::TypeColumn) == "VT_I4"; }));
    EXPECT_EQ(form.actionStates().connect, false);
    EXPECT_TRUE(form.actionStates().disconnect);

    // "a" counts up every 100 ms: its row follows.
    const std::string first = view.table.text(0, form::ValueColumn);
    ASSERT_TRUE(pumpUntil([&] { return view.table.text(0, form::ValueColumn) != first; }));
    EXPECT_GT(view.refreshes, 0);
    EXPECT_EQ(view.table.text(1, form::ValueColumn), "Tagvista");

    // A branch shows its own items.
    view.select(x);
    EXPECT_EQ(rowNames(), (std::vector<std::string>{"x1", "x2"}));
    EXPECT_FALSE(form.actionStates().disconnect);
    view.select(good);

    // Disconnect: the rows go at once (the worker frees what they point to), a progress node
    // shows, then the server node is idle and collapsed, with its button.
    form.disconnectExecute();
    EXPECT_EQ(view.table.size(), 0u);
    EXPECT_EQ(form.shownConnection(), nullptr);
    ASSERT_NE(statusOf(good), nullptr);
    EXPECT_EQ(statusOf(good)->caption, form::kDisconnectingText);
    ASSERT_TRUE(pumpUntil([&] { return connection->idle() && good->image == form::ServerIdle; }));
    EXPECT_TRUE(good->children.empty());
    EXPECT_TRUE(good->buttonWithoutChildren);
    EXPECT_FALSE(view.expanded.count(good));
    EXPECT_EQ(form.actionStates().connect, true);
}

TEST_F(FormLogic, ServersOfTheNewerInterfacesOnlyShowLiveRowsWithNothingAsked)
{
    // One server without the DA 1.0 stream, one without the DA 2.0 browser: the window takes the
    // DA 2.0 callback and the DA 3.0 browser by itself.
    TreeNode* callbackOnly = listedServer(servers::test::Fault::CallbackOnly);
    TreeNode* browse3Only = child(localHost(), servers::test::progIdOf(servers::test::Fault::Da3BrowseOnly));
    ASSERT_NE(callbackOnly, nullptr);
    ASSERT_NE(browse3Only, nullptr);
    for (TreeNode* server : {callbackOnly, browse3Only}) {
        view.select(server);
        view.expandByUser(server);
        OPC_Connection* connection = server->connection();
        ASSERT_TRUE(pumpUntil([&] { return connection->connected() && server->image == form::ServerReady; }));
        EXPECT_EQ(connection->lastError(), "") << server->caption;
        ASSERT_EQ(server->children.size(), 1u) << server->caption;
        EXPECT_EQ(server->children.front()->caption, "X");
        EXPECT_EQ(rowNames(), (std::vector<std::string>{"a", "b"}));
        ASSERT_TRUE(pumpUntil([&] { return view.table.text(0, form::TypeColumn) == "VT_I4"; })) << server->caption;
        const std::string first = view.table.text(0, form::ValueColumn);
        EXPECT_TRUE(pumpUntil([&] { return view.table.text(0, form::ValueColumn) != first; })) << server->caption;
        EXPECT_EQ(view.table.text(1, form::ValueColumn), "Tagvista");
        form.disconnectExecute();
        ASSERT_TRUE(pumpUntil([&] { return connection->idle(); }));
    }
}

TEST_F(FormLogic, AFailedConnectLeavesTheServersErrorAsItsStatusNode)
{
    // The server cannot be made: the node is idle with the error under it, and can be tried again.
    TreeNode* unmade = listedServer(servers::test::Fault::FactoryFails);
    ASSERT_NE(unmade, nullptr);
    view.select(unmade);
    form.connectExecute();
    OPC_Connection* connection = unmade->connection();
    ASSERT_TRUE(pumpUntil([&] { return connection->idle() && statusOf(unmade) && statusOf(unmade)->image == form::ErrorPicture; }));
    EXPECT_EQ(statusOf(unmade)->caption, connection->lastError());
    EXPECT_NE(connection->lastError().find("Failed"), std::string::npos) << connection->lastError();
    EXPECT_EQ(unmade->image, form::ServerIdle);
    EXPECT_EQ(view.table.size(), 0u);
    EXPECT_EQ(form.actionStates().connect, true);

    // The server exists but its group cannot be made: connected, browsed, with the error first.
    TreeNode* groupless = child(localHost(), servers::test::progIdOf(servers::test::Fault::AddGroupFails));
    ASSERT_NE(groupless, nullptr);
    view.select(groupless);
    form.connectExecute();
    ASSERT_TRUE(pumpUntil([&] { return groupless->image == form::ServerReady; }));
    ASSERT_NE(statusOf(groupless), nullptr);
    EXPECT_EQ(statusOf(groupless)->image, form::ErrorPicture);
    EXPECT_EQ(groupless->children.front()->kind, NodeKind::Status);
    EXPECT_EQ(statusOf(groupless)->caption, groupless->connection()->lastError());
    EXPECT_NE(child(groupless, "X"), nullptr);
    EXPECT_TRUE(form.actionStates().disconnect);
}

TEST_F(FormLogic, RemoteHostIsAddedListedAndRemovedWithItsServers)
{
    form.start();
    int asked = 0;
    form.setAskHost([&]() -> std::optional<std::string> {
        ++asked;
        return asked == 1 ? std::optional<std::string>() : std::optional<std::string>("station-7.invalid");
    });
    form.connectRemoteHostExecute();  // not confirmed: nothing
    EXPECT_EQ(form.topLevel().size(), 1u);
    form.connectRemoteHostExecute();
    ASSERT_EQ(form.topLevel().size(), 2u);
    TreeNode* remote = form.topLevel().back().get();
    EXPECT_EQ(remote->caption, "\\\\station-7.invalid (0.0.0.0)");
    EXPECT_EQ(remote->kind, NodeKind::Host);
    ASSERT_NE(statusOf(remote), nullptr);
    EXPECT_EQ(statusOf(remote)->caption, form::kListingText);

    // It cannot be reached: its node shows why.
    ASSERT_TRUE(pumpUntil([&] { return !remote->host()->busy() && statusOf(remote) && statusOf(remote)->image == form::ErrorPicture; }));
    EXPECT_EQ(statusOf(remote)->caption, remote->host()->lastError());
    EXPECT_FALSE(remote->host()->lastError().empty());

    // Disconnect on a remote host removes it; the selection moves and the table follows.
    view.select(remote);
    EXPECT_TRUE(form.actionStates().disconnect);
    const Host* gone = remote->host();
    form.disconnectExecute();
    EXPECT_EQ(form.topLevel().size(), 1u);
    EXPECT_EQ(form.findNode(gone), nullptr);
    EXPECT_EQ(view.current, nullptr);
}

TEST_F(FormLogic, CloseWaitsForEveryServerThatIsNotIdle)
{
    TreeNode* good = listedServer(servers::test::Fault::None);
    TreeNode* other = child(localHost(), servers::test::progIdOf(servers::test::Fault::Flat));
    ASSERT_TRUE(good && other);
    EXPECT_TRUE(form.closeQuery()) << "nothing connected: the window closes at once";

    view.expandByUser(good);
    view.expandByUser(other);
    ASSERT_TRUE(pumpUntil([&] { return good->connection()->connected() && other->connection()->connected(); }));
    view.select(good);
    ASSERT_EQ(view.table.size(), 2u);

    EXPECT_FALSE(form.closeQuery());
    EXPECT_EQ(form.serversLeft(), 2);
    EXPECT_EQ(view.table.size(), 0u) << "the shown server's rows go before its disconnect";
    ASSERT_TRUE(pumpUntil([&] { return view.closeRequests == 1; }));
    EXPECT_EQ(form.serversLeft(), 0);
    EXPECT_TRUE(good->connection()->idle() && other->connection()->idle());
    EXPECT_TRUE(form.closeQuery());
    EXPECT_EQ(view.closeRequests, 1);
}

} // namespace
