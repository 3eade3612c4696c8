// Connect Remote Host: the captions, a failed name lookup, failed and successful listings, the
// same name twice, removing a remote host while its servers disconnect, and a host named by an
// alias of the ssh configuration, served by the real agent.
#include "UiTestSupport.h"
#include "platform/remote/AgentHosts.h"
#include "servers/test/TestServerPaths.h"

#include <QAction>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

using namespace uitest;
using servers::test::Fault;

namespace {

const QString kListing = QString::fromUtf8("Чтение списка OPC-серверов...");

// A window whose Connect Remote Host asks nobody: the name and the address are the test's.
struct RemoteWindow {
    ListedWindow listed;
    std::optional<std::string> name;
    std::optional<platform::IPv4Address> address;
    std::vector<std::string> lookedUp;

    RemoteWindow() : listed(openListedWindow())
    {
        listed.window->setAskHost([this] { return name; });
        listed.window->setLookupHost([this](const std::string& asked) {
            lookedUp.push_back(asked);
            return address;
        });
    }
    TMainForm& window() { return *listed.window; }
    QTreeWidgetItem* addHost(const std::string& hostName, std::optional<platform::IPv4Address> hostAddress)
    {
        name = hostName;
        address = hostAddress;
        const int before = window().tree()->topLevelItemCount();
        window().connectRemoteHostAction()->trigger();
        if (window().tree()->topLevelItemCount() != before + 1) return nullptr;
        return window().tree()->topLevelItem(before);
    }
};

// The servers a classes folder registers, as a walk of its root lists them: the keys that have an
// "OPC" subkey, in the registry's case-insensitive order.
QStringList serversRegisteredIn(const std::filesystem::path& folder)
{
    const std::regex opcKey(R"(^\[HKEY_CLASSES_ROOT\\([^\\\]]+)\\OPC\]\s*$)");
    QStringList names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() != ".reg") continue;
        std::ifstream in(entry.path());
        std::string line;
        std::smatch match;
        while (std::getline(in, line))
            if (std::regex_match(line, match, opcKey)) names << QString::fromStdString(match[1].str());
    }
    names.removeDuplicates();
    std::sort(names.begin(), names.end(),
              [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    return names;
}

// While it lives, remote hosts are reached through the stand-in for ssh, whose configuration
// sends every name to this computer, and served by this build's agent with the shipped classes.
struct AgentOfThisBuild {
    AgentOfThisBuild()
    {
        platform::remote::AgentSettings settings;
        settings.ssh = {TAGVISTA_TEST_FAKE_SSH};
        settings.agent = std::string("exec env TAGVISTA_CLASSES_PATH='") + servers::test::kShippedClassesDir + "' '" +
                         TAGVISTA_TEST_AGENT + "' --stdio";
        platform::remote::setAgentSettings(settings);
    }
    ~AgentOfThisBuild()
    {
        platform::remote::closeAgents();
        platform::remote::setAgentSettings(platform::remote::agentSettingsFromEnvironment());
    }
};

} // namespace

class TestRemoteHosts : public QObject {
    Q_OBJECT
private slots:
    void captionStatusAndFailedListing();
    void failedLookupGivesTheZeroAddress();
    void notConfirmedAddsNothing();
    void sameNameTwiceGivesTwoIndependentHosts();
    void thisComputerByNameListsItsServers();
    void disconnectIsEnabledOnRemoteHostsInEveryState();
    void removingAHostWhileItsServersDisconnect();
    void anSshAliasShowsItsHostsAddressAndItsAgentsServers();
};

void TestRemoteHosts::captionStatusAndFailedListing()
{
    TestEnvironment environment({Fault::None});
    RemoteWindow remote;
    QTreeWidgetItem* host = remote.addHost("plant7", platform::IPv4Address{10, 0, 0, 5});
    QVERIFY(host);
    QCOMPARE(remote.lookedUp, std::vector<std::string>{"plant7"});
    QCOMPARE(host->text(0), QStringLiteral("\\\\plant7 (10.0.0.5)"));
    QCOMPARE(TMainForm::kindOf(host), TMainForm::NodeKind::Host);
    QCOMPARE(TMainForm::imageOf(host), 5);
    QCOMPARE(TMainForm::hostOf(host)->name(), std::string("plant7"));
    QCOMPARE(TMainForm::hostOf(host)->address(), (platform::IPv4Address{10, 0, 0, 5}));
    QCOMPARE(childCaptions(host), QStringList{kListing});
    QCOMPARE(TMainForm::imageOf(host->child(0)), -1);

    // No remote registry is served: the listing fails and says why.
    QVERIFY(waitFor([&] { return !TMainForm::hostOf(host)->busy() && TMainForm::imageOf(host->child(0)) == 7; }));
    QCOMPARE(host->childCount(), 1);
    QCOMPARE(host->child(0)->text(0), QString::fromStdString(TMainForm::hostOf(host)->lastError()));
    QVERIFY(!host->child(0)->text(0).isEmpty());

    // Connect is enabled again on the failed host and lists anew, in the same status node.
    select(remote.window(), host);
    remote.window().updateActions();
    QVERIFY(remote.window().connectAction()->isEnabled());
    trigger(remote.window(), remote.window().connectAction());
    QCOMPARE(childCaptions(host), QStringList{kListing});
    QCOMPARE(TMainForm::imageOf(host->child(0)), -1);
    QVERIFY(waitFor([&] { return !TMainForm::hostOf(host)->busy() && TMainForm::imageOf(host->child(0)) == 7; }));
}

void TestRemoteHosts::failedLookupGivesTheZeroAddress()
{
    TestEnvironment environment({});
    RemoteWindow remote;
    QTreeWidgetItem* host = remote.addHost("nowhere", std::nullopt);
    QVERIFY(host);
    QCOMPARE(host->text(0), QStringLiteral("\\\\nowhere (0.0.0.0)"));
    QCOMPARE(childCaptions(host), QStringList{kListing});
    QCOMPARE(TMainForm::hostOf(host)->address(), (platform::IPv4Address{0, 0, 0, 0}));
}

void TestRemoteHosts::notConfirmedAddsNothing()
{
    TestEnvironment environment({});
    RemoteWindow remote;
    remote.name.reset();
    remote.window().connectRemoteHostAction()->trigger();
    QCOMPARE(remote.window().tree()->topLevelItemCount(), 1);
    QVERIFY(remote.lookedUp.empty());
}

void TestRemoteHosts::sameNameTwiceGivesTwoIndependentHosts()
{
    TestEnvironment environment({});
    RemoteWindow remote;
    QTreeWidgetItem* first = remote.addHost("plant7", platform::IPv4Address{10, 0, 0, 5});
    QTreeWidgetItem* second = remote.addHost("plant7", platform::IPv4Address{10, 0, 0, 5});
    QVERIFY(first && second && first != second);
    QCOMPARE(first->text(0), second->text(0));
    QVERIFY(TMainForm::hostOf(first) != TMainForm::hostOf(second));
    QVERIFY(waitFor([&] {
        return TMainForm::imageOf(first->child(0)) == 7 && TMainForm::imageOf(second->child(0)) == 7;
    }));
}

void TestRemoteHosts::thisComputerByNameListsItsServers()
{
    TestEnvironment environment({Fault::None, Fault::StatusFails});
    RemoteWindow remote;
    QTreeWidgetItem* host = remote.addHost("localhost", platform::IPv4Address{127, 0, 0, 1});
    QCOMPARE(host->text(0), QStringLiteral("\\\\localhost (127.0.0.1)"));
    QVERIFY(waitFor([&] { return TMainForm::hostOf(host)->listed() && statusChild(host) == nullptr; }));
    QCOMPARE(childCaptions(host), (QStringList{"Tagvista.Test.Good", "Tagvista.Test.StatusFails"}));
    QVERIFY(host->isExpanded());
    // Its servers are connections of their own, apart from the local host's.
    QTreeWidgetItem* remoteGood = host->child(0);
    QTreeWidgetItem* localGood = nodeAt(remote.window().tree(), {"(local)", "Tagvista.Test.Good"});
    QVERIFY(connectionOf(remoteGood) != connectionOf(localGood));
    QVERIFY(connectAndWait(remote.window(), remoteGood));
    QVERIFY(connectionOf(localGood)->idle());
}

void TestRemoteHosts::disconnectIsEnabledOnRemoteHostsInEveryState()
{
    TestEnvironment environment({});
    RemoteWindow remote;
    TMainForm& window = remote.window();
    QTreeWidgetItem* host = remote.addHost("plant7", platform::IPv4Address{10, 0, 0, 5});
    select(window, host);
    window.updateActions();
    QVERIFY(window.disconnectAction()->isEnabled());  // while listing
    QVERIFY(!window.connectAction()->isEnabled());
    QVERIFY(waitFor([&] { return TMainForm::imageOf(host->child(0)) == 7; }));
    window.updateActions();
    QVERIFY(window.disconnectAction()->isEnabled());  // after a failure
    select(window, remote.listed.local);
    window.updateActions();
    QVERIFY(!window.disconnectAction()->isEnabled());  // never on the local host
}

void TestRemoteHosts::removingAHostWhileItsServersDisconnect()
{
    TestEnvironment environment({Fault::None, Fault::StatusFails});
    RemoteWindow remote;
    TMainForm& window = remote.window();
    QTreeWidgetItem* host = remote.addHost("localhost", platform::IPv4Address{127, 0, 0, 1});
    QVERIFY(waitFor([&] { return TMainForm::hostOf(host)->listed() && statusChild(host) == nullptr; }));
    OPC_Connection* good = connectionOf(host->child(0));
    OPC_Connection* other = connectionOf(host->child(1));
    QVERIFY(connectAndWait(window, host->child(0)));
    QVERIFY(connectAndWait(window, host->child(1)));
    select(window, host->child(0));
    QCOMPARE(window.tableModel()->rowCount(), 2);

    select(window, host);
    trigger(window, window.disconnectAction());
    // Gone at once, with all its children; the disconnects run on.
    QCOMPARE(window.tree()->topLevelItemCount(), 1);
    QVERIFY(window.findNode(good) == nullptr);
    QVERIFY(good->busy());
    QVERIFY(other->busy());
    QCOMPARE(window.tableModel()->rowCount(), 0);

    QVERIFY(waitFor([&] { return good->idle() && other->idle(); }));
    QCOMPARE(window.serversLeft(), 0);
    QCOMPARE(window.tree()->topLevelItemCount(), 1);
    // The window goes on working.
    QVERIFY(connectAndWait(window, nodeAt(window.tree(), {"(local)", "Tagvista.Test.Good"})));
    QVERIFY(window.close() == false);
    QVERIFY(waitFor([&] { return !window.isVisible(); }));
}

void TestRemoteHosts::anSshAliasShowsItsHostsAddressAndItsAgentsServers()
{
    // This computer lists the test server; the agent the shipped servers.
    TestEnvironment environment({Fault::None});
    const AgentOfThisBuild agent;  // outlives the window, whose connections end first
    ListedWindow listed = openListedWindow();
    TMainForm& window = *listed.window;
    QCOMPARE(childCaptions(listed.local), QStringList{"Tagvista.Test.Good"});
    const QStringList served = serversRegisteredIn(servers::test::kShippedClassesDir);
    QVERIFY(served.contains("Tagvista.Simulation.1"));

    // The name is looked up as the window does it, not by the test: through ssh's configuration.
    window.setAskHost([] { return std::optional<std::string>("plant-remote"); });
    window.connectRemoteHostAction()->trigger();
    QCOMPARE(window.tree()->topLevelItemCount(), 2);
    QTreeWidgetItem* host = window.tree()->topLevelItem(1);
    QCOMPARE(host->text(0), QStringLiteral("\\\\plant-remote (127.0.0.1)"));
    QVERIFY(waitFor([&] { return TMainForm::hostOf(host)->listed() && statusChild(host) == nullptr; }));
    QCOMPARE(childCaptions(host), served);

    QTreeWidgetItem* server = nodeAt(window.tree(), {host->text(0), "Tagvista.Simulation.1"});
    QVERIFY(server);
    QVERIFY(connectAndWait(window, server));
    QVERIFY(waitFor([&] { return nodeAt(window.tree(), {host->text(0), "Tagvista.Simulation.1", "Simulation", "Ramp"}); }));
    select(window, nodeAt(window.tree(), {host->text(0), "Tagvista.Simulation.1", "Simulation", "Ramp"}));
    ItemTableModel* model = window.tableModel();
    QVERIFY(model->rowCount() > 0);
    QVERIFY(tableColumn(model, ItemTableModel::Name).contains("Int4"));

    // The values stream in through the agent, and go on changing.
    const int row = static_cast<int>(tableColumn(model, ItemTableModel::Name).indexOf("Int4"));
    auto value = [&] { return model->index(row, ItemTableModel::Value).data().toString(); };
    QVERIFY(waitFor([&] { return !value().isEmpty(); }));
    const QString first = value();
    QVERIFY(waitFor([&] { return value() != first; }));
    QCOMPARE(model->index(row, ItemTableModel::Quality).data().toString(), QStringLiteral("GOOD"));
}

UI_TEST_CLASS(TestRemoteHosts);
#include "TestRemoteHosts.moc"
