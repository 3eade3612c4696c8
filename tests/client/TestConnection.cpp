// The connection against the test servers: the state machine and its notifications, the session,
// the browse and its numbering, the registration and the subscription, and every misbehaviour of
// a server reaching the user as a logged text or a dropped change, never as a crash.
#include "ClientTestSupport.h"
#include "ConnectionTestFixture.h"
#include "servers/kit/BlockWriter.h"
#include "client/ErrorString.h"
#include "client/Host.h"
#include "client/OPC_Connection.h"
#include "client/OPC_DataCallback0.h"
#include "client/ValueText.h"
#include "servers/simulation/SimulationClasses.h"
#include "servers/test/TestServers.h"
#include "servers/test/TestServerControl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace clienttest;
using servers::test::Fault;

namespace {

// Real blocks, made the way a server makes them, over the five handles of the test tree and one
// unknown handle, with values of every kind the stream carries.
std::vector<std::vector<unsigned char>> sampleBlocks()
{
    std::vector<platform::Variant> values(11);
    values[0]->vt = VT_I4;
    values[0]->lVal = -7;
    values[1]->vt = VT_R8;
    values[1]->dblVal = 3.25;
    values[2]->vt = VT_BSTR;
    values[2]->bstrVal = SysAllocString(OLESTR("Температура"));
    values[3]->vt = VT_ARRAY | VT_I2;
    values[3]->parray = SafeArrayCreateVector(VT_I2, 0, 3);
    values[4]->vt = VT_ARRAY | VT_BSTR;
    values[4]->parray = SafeArrayCreateVector(VT_BSTR, 1, 2);
    static_cast<BSTR*>(values[4]->parray->pvData)[0] = SysAllocString(OLESTR("one"));
    values[5]->vt = VT_CY;
    values[5]->cyVal.int64 = 12345;
    values[6]->vt = VT_DATE;
    values[6]->date = 46000.5;
    values[7]->vt = VT_BOOL;
    values[7]->boolVal = VARIANT_TRUE;
    // Strings with an odd byte count, as a careless server writes them.
    for (std::size_t i = 8; i < 11; ++i) {
        const UINT bytes = i == 8 ? 1 : i == 9 ? 5 : 255;
        values[i]->vt = VT_BSTR;
        values[i]->bstrVal = SysAllocStringByteLen(std::string(bytes, 'Z').c_str(), bytes);
    }

    std::vector<std::vector<unsigned char>> blocks;
    const servers::kit::BlockWriter writer;
    for (std::size_t first = 0; first < values.size(); ++first) {
        std::vector<servers::kit::BlockItem> items;
        for (std::size_t k = 0; k < 6; ++k) {
            servers::kit::BlockItem item;
            item.hClient = static_cast<OPCHANDLE>(k == 5 ? 77 : k);
            item.quality = static_cast<WORD>(0xC0 - 0x40 * (k % 3));
            item.timeStamp = FILETIME{static_cast<DWORD>(k), 0x01DB0000};
            item.value = values[(first + k) % values.size()].get();
            items.push_back(item);
        }
        const std::vector<BYTE> block = writer.build(items, 1234);
        blocks.emplace_back(block.begin(), block.end());
    }
    return blocks;
}

} // namespace

TEST_F(ConnectionTest, ConnectReadsTreeNumbersItemsAndDeliversValues)
{
    LogCapture log;
    OPC_Connection* c = make(Fault::None);
    EXPECT_TRUE(c->idle());
    bool treeSeenAtConnected = false;
    _window.onMessage = [&](UINT id, WPARAM w) {
        if (id == WM_SERVER_CONNECTED && reinterpret_cast<OPC_Connection*>(w) == c) {
            // The worker waits while the window reads the tree.
            treeSeenAtConnected = c->branches().size() == 1 && c->leaves().size() == 2;
            EXPECT_TRUE(c->busy());
        }
    };
    c->connect();
    EXPECT_TRUE(c->busy());
    ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_READY, c) == 1; }));
    EXPECT_TRUE(treeSeenAtConnected);
    EXPECT_TRUE(c->connected());
    EXPECT_EQ(c->lastError(), "");
    EXPECT_EQ(_window.sequence(c), (std::vector<UINT>{WM_SERVER_CONNECTED, WM_SERVER_READY}));

    // Depth first, a branch's subtrees before its own leaves, the connection's leaves last.
    EXPECT_EQ(itemPaths(c), (std::vector<std::string>{"X/Y/y1", "X/x1", "X/x2", "a", "b"}));
    ASSERT_TRUE(allItemsDelivered(c));
    const OPC_Item::Record b = c->items()[4]->readValue();
    ASSERT_EQ(b.value->vt, VT_BSTR);
    EXPECT_EQ(platform::WideString(b.value->bstrVal), OLESTR("Tagvista"));
    EXPECT_EQ(b.quality & 0xC0, 0xC0);
    EXPECT_EQ(c->items()[0]->readValue().value->iVal, 42);

    const std::string p = prefix(Fault::None);
    for (const std::string& line :
         {p + ": connect()", p + ": innerConnect()", p + ": CLSID: {52EC3FAF-91D5-45CF-95DDA92F9D1C3A 1}",
          p + ": Successful connection", p + ": readItems()", p + ": advise0()", p + ": onConnect()"})
        EXPECT_TRUE(log.contains(line)) << line << "\n" << log.all();

    disconnect(c);
    EXPECT_TRUE(c->branches().empty());
    EXPECT_TRUE(c->leaves().empty());
    EXPECT_TRUE(c->items().empty());
    for (const std::string& line : {p + ": disconnect()", p + ": innerDisconnect()", p + ": unadvise()", p + ": onDisconnect()"})
        EXPECT_TRUE(log.contains(line)) << line;
}

TEST_F(ConnectionTest, StatusDetailsAndRegistrationAtLevelFive)
{
    {
        LogCapture log(5);
        OPC_Connection* c = connected(Fault::None);
        const std::string p = prefix(Fault::None);
        EXPECT_TRUE(log.contains(p + ": StartTime = ")) << log.all();
        EXPECT_TRUE(log.contains(p + ": CurrentTime = "));
        EXPECT_TRUE(log.contains(p + ": LastUpdateTime = "));
        EXPECT_TRUE(log.contains(p + ": ServerState = OPC_STATUS_RUNNING"));
        EXPECT_TRUE(log.contains(p + ": Version = "));
        EXPECT_TRUE(log.contains(p + ": AddItems( \"X/Y/y1\" ) Ok"));
        EXPECT_EQ(log.count(": AddItems( "), 5);
        EXPECT_FALSE(log.contains(": CLSID: ")) << "level 7 lines stay out at threshold 5";
        disconnect(c);
    }
    struct StateCase {
        Fault fault;
        const char* name;
    };
    for (const StateCase& s : {StateCase{Fault::State0, "0"}, StateCase{Fault::State7, "7"},
                               StateCase{Fault::State255, "-1"}, StateCase{Fault::State256, "0"}}) {
        LogCapture log(5);
        OPC_Connection* c = connected(s.fault);
        EXPECT_TRUE(log.contains(prefix(s.fault) + ": ServerState = " + s.name)) << log.all();
        EXPECT_TRUE(c->connected());
        disconnect(c);
    }
}

TEST_F(ConnectionTest, StatusFailuresAreLoggedAndTheConnectGoesOn)
{
    LogCapture log(2);
    OPC_Connection* failing = connected(Fault::StatusFails);
    EXPECT_TRUE(log.contains(prefix(Fault::StatusFails) + ": GetStatus() Failed: " + ErrorString(E_FAIL).str()));
    EXPECT_EQ(failing->items().size(), 5u) << "the browse still runs";
    OPC_Connection* outOfRange = connected(Fault::StatusTimesOutOfRange);
    const std::string text = ErrorString(ERROR_INVALID_PARAMETER).str();
    for (const char* time : {"StartTime", "CurrentTime", "LastUpdateTime"})
        EXPECT_TRUE(log.contains(prefix(Fault::StatusTimesOutOfRange) + ": FileTimeToSystemTime(" + time + ") Failed: " + text))
            << log.all();
    EXPECT_TRUE(outOfRange->connected());
    disconnect(failing);
    disconnect(outOfRange);
}

TEST_F(ConnectionTest, ServerThatCannotBeCreatedLeavesConnectionIdle)
{
    LogCapture log(2);
    const GUID unregistered = {0xDEADBEEF, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    struct Case {
        OPC_Connection* connection;
        HRESULT result;
    };
    const HRESULT missingLibrary = creationResult(servers::test::clsidOf(Fault::MissingLibrary));
    EXPECT_TRUE(FAILED(missingLibrary));
    for (const Case& k : {Case{make(Fault::MissingLibrary), missingLibrary},
                          Case{make(Fault::FactoryFails), servers::test::kFactoryFailure},
                          Case{make(unregistered, "Not.Registered"), REGDB_E_CLASSNOTREG}}) {
        OPC_Connection* c = k.connection;
        c->connect();
        ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_READY, c) == 1; }));
        EXPECT_TRUE(c->idle());
        const std::string expected = "(local)|" + c->name() + ": CoGetClassObject() Failed: " + ErrorString(k.result).str();
        EXPECT_EQ(c->lastError(), expected);
        EXPECT_TRUE(log.contains(expected));
        EXPECT_EQ(_window.count(WM_SERVER_CONNECTED, c), 0);

        // Idle again: a new connect starts a worker and fails the same way.
        c->connect();
        EXPECT_TRUE(c->busy());
        ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_READY, c) == 2; }));
        EXPECT_EQ(c->lastError(), expected);
    }
}

TEST_F(ConnectionTest, NoBrowseInterfaceStaysConnectedWithTheError)
{
    OPC_Connection* c = connected(Fault::NoBrowse);
    EXPECT_TRUE(c->connected());
    EXPECT_EQ(c->lastError(), prefix(Fault::NoBrowse) + ": QueryInterface(IID_IOPCBrowseServerAddressSpace) Failed: " +
                                  ErrorString(E_NOINTERFACE).str());
    EXPECT_TRUE(c->branches().empty());
    EXPECT_TRUE(c->items().empty());
    EXPECT_EQ(_window.count(WM_SERVER_CONNECTED, c), 0);
    disconnect(c);
}

TEST_F(ConnectionTest, BrowseFailuresKeepWhatCouldBeRead)
{
    LogCapture log(2);
    {
        // A flat address space: the first answer of the branch list is S_FALSE.
        const int linesBefore = static_cast<int>(log.lines().size());
        OPC_Connection* c = connected(Fault::Flat);
        EXPECT_TRUE(c->branches().empty());
        EXPECT_EQ(itemPaths(c), (std::vector<std::string>{"a", "b", "x1", "x2", "y1"}));
        EXPECT_EQ(static_cast<int>(log.lines().size()), linesBefore) << "nothing failed:\n" << log.all();
        ASSERT_TRUE(allItemsDelivered(c));
        disconnect(c);
    }
    {
        // No branch list: the root's items alone.
        OPC_Connection* c = connected(Fault::BranchBrowseFails);
        EXPECT_TRUE(c->branches().empty());
        EXPECT_EQ(itemPaths(c), (std::vector<std::string>{"a", "b"}));
        EXPECT_TRUE(log.contains("BrowseOPCItemIDs(OPC_BRANCH) Failed: " + ErrorString(E_FAIL).str()));
        disconnect(c);
    }
    {
        OPC_Connection* c = connected(Fault::LeafBrowseFails);
        EXPECT_TRUE(c->items().empty());
        EXPECT_EQ(c->branches().size(), 1u);
        EXPECT_EQ(c->branches()[0]->branches().size(), 1u) << "branches are still descended";
        EXPECT_TRUE(log.contains("BrowseOPCItemIDs(OPC_LEAF) Failed: "));
        disconnect(c);
    }
    {
        // The refused branch stays, empty.
        OPC_Connection* c = connected(Fault::DescentRefused);
        ASSERT_EQ(c->branches().size(), 1u);
        EXPECT_TRUE(c->branches()[0]->branches().empty());
        EXPECT_TRUE(c->branches()[0]->leaves().empty());
        EXPECT_EQ(itemPaths(c), (std::vector<std::string>{"a", "b"}));
        EXPECT_TRUE(log.contains("ChangeBrowsePosition(OPC_BROWSE_DOWN) Failed: "));
        disconnect(c);
    }
    {
        // After a refused ascent the browse runs one level deeper than it assumes: the leaves of
        // X and of the root are read at Y.
        OPC_Connection* c = connected(Fault::AscentRefused);
        EXPECT_EQ(itemPaths(c), (std::vector<std::string>{"X/Y/y1", "X/y1", "y1"}));
        EXPECT_TRUE(log.contains("ChangeBrowsePosition(OPC_BROWSE_UP) Failed: "));
        disconnect(c);
    }
}

TEST_F(ConnectionTest, OddNamesBecomeNodesAsTheyCame)
{
    {
        OPC_Connection* c = connected(Fault::DuplicateNames);
        ASSERT_EQ(c->branches().size(), 2u);
        EXPECT_EQ(c->branches()[0]->name(), c->branches()[1]->name());
        int a = 0;
        for (OPC_Item* item : c->items()) a += item->path() == "a";
        EXPECT_EQ(a, 2) << "a name returned twice gives two entries";
        EXPECT_TRUE(allItemsDelivered(c));
        disconnect(c);
    }
    {
        OPC_Connection* c = connected(Fault::NonBmpNames);
        bool smile = false, lone = false;
        for (const auto& leaf : c->leaves()) {
            smile |= leaf->name() == "Smile\xF0\x9F\x98\x80";
            lone |= leaf->name() == "Lone\xEF\xBF\xBDHigh";
        }
        EXPECT_TRUE(smile);
        EXPECT_TRUE(lone) << "an unpaired surrogate becomes the replacement character";
        disconnect(c);
    }
    {
        OPC_Connection* c = connected(Fault::LongNames);
        bool longLeaf = false;
        for (const auto& leaf : c->leaves()) longLeaf |= leaf->name() == std::string(10000, 'L');
        EXPECT_TRUE(longLeaf);
        EXPECT_TRUE(c->connected());
        disconnect(c);
    }
    {
        OPC_Connection* c = connected(Fault::SlashNames);
        int xy = 0;
        for (OPC_Item* item : c->items()) xy += item->path() == "a/b";
        EXPECT_EQ(xy, 1);
        disconnect(c);
    }
}

TEST_F(ConnectionTest, EndlessServersAreBounded)
{
    LogCapture log(2);
    {
        OPC_Connection* c = make(Fault::EndlessTree);
        c->setBrowseLimits({12, 1000, 100000});
        c->connect();
        ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_READY, c) == 1; }));
        EXPECT_TRUE(c->connected());
        int depth = 0;
        for (const OPC_Branch* b = c; !b->branches().empty(); b = b->branches()[0].get()) ++depth;
        EXPECT_EQ(depth, 12) << "the branches of the last level read stay, without children";
        EXPECT_TRUE(log.contains("browse stopped at depth 12"));
        EXPECT_FALSE(c->items().empty());
        disconnect(c);
    }
    {
        OPC_Connection* c = make(Fault::EndlessEnumerator);
        c->setBrowseLimits({64, 500, 5000});
        c->connect();
        ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_READY, c) == 1; }));
        EXPECT_TRUE(c->connected());
        EXPECT_LE(c->items().size(), 5000u);
        EXPECT_TRUE(log.contains("browse stopped after 500 names in one list"));
        disconnect(c);
    }
}

TEST_F(ConnectionTest, RegistrationFailures)
{
    LogCapture log(2);
    struct Case {
        Fault fault;
        std::string error;
    };
    for (const Case& k : {Case{Fault::AddGroupFails, ": AddGroup() Failed: " + ErrorString(E_FAIL).str()},
                          Case{Fault::NoItemMgt, ": QueryInterface(IID_IOPCItemMgt) Failed: " + ErrorString(E_NOINTERFACE).str()},
                          Case{Fault::NoDataObject, ": QueryInterface(IID_IDataObject) Failed: " + ErrorString(E_NOINTERFACE).str()},
                          Case{Fault::AdviseFails, ": IDataObject::DAdvise() Failed: " + ErrorString(E_FAIL).str()}}) {
        OPC_Connection* c = connected(k.fault);
        EXPECT_TRUE(c->connected()) << "a failure after the server exists leaves it connected";
        EXPECT_EQ(c->lastError(), prefix(k.fault) + k.error);
        EXPECT_EQ(_window.count(WM_SERVER_CONNECTED, c), 1);
        // The error of the last work goes as soon as the next work starts.
        c->disconnect();
        EXPECT_EQ(c->lastError(), "");
        ASSERT_TRUE(_window.pumpUntil([&] { return c->idle(); }));
        EXPECT_EQ(c->lastError(), "") << "a disconnect swallows its errors";
    }
    // Items refused one by one: the call's own S_FALSE is what the line quotes.
    OPC_Connection* c = connected(Fault::AddItemsPartial);
    EXPECT_EQ(c->lastError(), "");
    EXPECT_TRUE(log.contains(prefix(Fault::AddItemsPartial) + ": AddItems( \"X/x1\" ) Failed: " + ErrorString(S_FALSE).str()))
        << log.all();
    EXPECT_EQ(log.count(": AddItems( "), 3);
    EXPECT_TRUE(_window.pumpUntil([&] { return _window.itemValues(c->items()[3]) > 0; })) << "accepted items deliver";
    disconnect(c);
}

TEST_F(ConnectionTest, MisbehavingBlocksAreDroppedOrLogged)
{
    LogCapture log(2);
    {
        OPC_Connection* c = connected(Fault::BlockNegativeStatus);
        ASSERT_TRUE(allItemsDelivered(c)) << "items of a failed block are still delivered";
        EXPECT_TRUE(log.contains(prefix(Fault::BlockNegativeStatus) + ": DataCallback::hrStatus Failed: " +
                                 ErrorString(E_FAIL).str()));
        disconnect(c);
        platform::Dispatcher::instance().processAll();
        _window.forget();
    }
    {
        OPC_Connection* c = connected(Fault::BlockUnknownHandles);
        ASSERT_TRUE(_window.pumpUntil([&] { return log.contains("onItemNewValue: unknown item #1073741824"); }));
        EXPECT_EQ(_window.itemTotal(), 0);
        disconnect(c);
    }
    {
        OPC_Connection* c = connected(Fault::BlockHandleAllOnes);
        ASSERT_TRUE(_window.pumpUntil([&] { return log.contains(prefix(Fault::BlockHandleAllOnes) + ": onItemNewValue: unknown item #-1"); }));
        disconnect(c);
    }
    _window.forget();
    for (Fault quiet : {Fault::BlockOtherFormat, Fault::BlockNullHandle, Fault::BlockNoItems}) {
        const int linesBefore = static_cast<int>(log.lines().size());
        OPC_Connection* c = connected(quiet);
        // Once the server has sent two blocks, everything they could have posted is waiting.
        const std::uint64_t sent = servers::test::journalOf(quiet).blocksDelivered;
        ASSERT_TRUE(_window.pumpUntil([&] { return servers::test::journalOf(quiet).blocksDelivered >= sent + 2; }));
        platform::Dispatcher::instance().processAll();
        EXPECT_EQ(_window.itemTotal(), 0);
        EXPECT_EQ(static_cast<int>(log.lines().size()), linesBefore) << "nothing to log:\n" << log.all();
        disconnect(c);
    }
    {
        OPC_Connection* c = connected(Fault::BlockCountPastEnd);
        ASSERT_TRUE(allItemsDelivered(c));
        EXPECT_TRUE(log.contains("item headers announced"));
        disconnect(c);
    }
    {
        // The first record lies past the end: dropped; the rest of the block still counts.
        OPC_Connection* c = connected(Fault::BlockOffsetPastEnd);
        ASSERT_TRUE(_window.pumpUntil([&] { return log.contains("runs past the end of the block"); }));
        int delivered = 0;
        _window.pumpUntil([&] {
            delivered = 0;
            for (OPC_Item* item : c->items()) delivered += _window.itemValues(item) > 0;
            return delivered >= 4;
        });
        EXPECT_GE(delivered, 4);
        disconnect(c);
    }
    {
        OPC_Connection* c = connected(Fault::BlockCutString);
        ASSERT_TRUE(_window.pumpUntil([&] { return log.contains("runs past the end of the block"); }));
        disconnect(c);
    }
    {
        // The header announces twice the memory: only what the memory holds is read.
        const std::string p = prefix(Fault::BlockShortMemory);
        OPC_Connection* c = connected(Fault::BlockShortMemory);
        ASSERT_TRUE(_window.pumpUntil([&] {
            return log.contains(p + ": DataCallback: 5 item headers announced, 4 fit") &&
                   log.contains("runs past the end of the block");
        })) << log.all();
        disconnect(c);
    }
}

TEST_F(ConnectionTest, CarelessServersCannotReachFreedMemory)
{
    LogCapture log(2);
    // Deliveries go on after DUnadvise: the detached sink drops them (the sanitizer build would
    // catch a delivery into freed memory).
    OPC_Connection* careless = connected(Fault::CallbacksAfterUnadvise);
    ASSERT_TRUE(allItemsDelivered(careless));
    const std::uint64_t lateBefore = servers::test::journalOf(Fault::CallbacksAfterUnadvise).blocksAfterRelease;
    disconnect(careless);
    // By the end of the disconnect the server had called the sink three more times after the
    // client let go of it all, with handles the client does not have: a call that got through
    // would have been logged.
    EXPECT_EQ(servers::test::journalOf(Fault::CallbacksAfterUnadvise).blocksAfterRelease, lateBefore + 3);
    EXPECT_FALSE(log.contains("unknown item #100")) << log.all();

    OPC_Connection* sticky = connected(Fault::ReleaseNeverZero);
    disconnect(sticky);
    EXPECT_TRUE(log.contains(prefix(Fault::ReleaseNeverZero) + ": Release() did not reach 0 after 1000 calls")) << log.all();
}

TEST_F(ConnectionTest, StateMachineTransitions)
{
    LogCapture log(7);
    OPC_Connection* c = make(Fault::None);
    const std::string p = prefix(Fault::None);

    c->disconnect();  // idle
    EXPECT_TRUE(log.contains(p + ": connect: already disconnected"));
    EXPECT_TRUE(c->idle());

    c = connected(Fault::None);
    c->connect();  // connected
    EXPECT_TRUE(log.contains(p + ": connect: already connected"));
    EXPECT_FALSE(c->busy());

    // Connect during a disconnect: the disconnect ends (and says so), then a connect starts.
    _window.forget();
    c->disconnect();
    c->connect();
    EXPECT_TRUE(log.contains(p + ": connect: waiting for disconnect"));
    ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_READY, c) == 1; }));
    EXPECT_EQ(_window.sequence(c), (std::vector<UINT>{WM_SERVER_DISCONNECTED, WM_SERVER_CONNECTED, WM_SERVER_READY}));
    EXPECT_TRUE(c->connected());

    // Disconnect during a connect (as closing the window does): the connect completes, then the
    // disconnect runs.
    disconnect(c);
    _window.forget();
    c->connect();
    c->disconnect();
    EXPECT_TRUE(log.contains(p + ": connect: waiting for connect"));
    ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_DISCONNECTED, c) == 1; }));
    EXPECT_EQ(_window.sequence(c), (std::vector<UINT>{WM_SERVER_CONNECTED, WM_SERVER_READY, WM_SERVER_DISCONNECTED}));
    EXPECT_TRUE(c->idle());

    // A disconnect asked for while a connect fails before the server exists: one
    // WM_SERVER_DISCONNECTED all the same, so whoever waits for it is not left waiting.
    OPC_Connection* missing = make(Fault::MissingLibrary);
    missing->connect();
    missing->disconnect();
    ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_DISCONNECTED, missing) == 1; }));
    EXPECT_EQ(_window.sequence(missing), (std::vector<UINT>{WM_SERVER_READY, WM_SERVER_DISCONNECTED}));
    EXPECT_TRUE(missing->idle());
    _window.pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(_window.count(WM_SERVER_DISCONNECTED, missing), 1);

    // A second disconnect while one runs counts nothing new.
    c = connected(Fault::None);
    _window.forget();
    c->disconnect();
    c->disconnect();
    ASSERT_TRUE(_window.pumpUntil([&] { return c->idle(); }));
    _window.pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(_window.count(WM_SERVER_DISCONNECTED, c), 1);
}

TEST_F(ConnectionTest, HangingServerBlocksOnlyItsOwnWorker)
{
    _registry.setUserDword(servers::test::kHangKey, servers::test::kHangValue, 1500);
    OPC_Connection* hanging = make(Fault::HangStatus);
    hanging->connect();
    // Meanwhile the main thread goes on: another server connects and delivers, and a disconnect
    // asked of the hanging one returns at once.
    OPC_Connection* good = connected(Fault::None);
    ASSERT_TRUE(allItemsDelivered(good));
    EXPECT_TRUE(hanging->busy());
    hanging->disconnect();
    EXPECT_TRUE(hanging->busy()) << "disconnect() returned without waiting for the hanging connect";
    ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_DISCONNECTED, hanging) == 1; }));
    EXPECT_TRUE(hanging->idle());
    disconnect(good);
}

TEST_F(ConnectionTest, ItemNotificationsMayPrecedeReady)
{
    // The server's DAdvise subscribes and then holds the connect worker: values flow while the
    // connect has not ended, and reach the receiver before WM_SERVER_READY.
    _registry.setUserDword(servers::test::kHangKey, servers::test::kHangValue, 60000);
    OPC_Connection* c = make(Fault::HangAdvise);
    long valuesBeforeReady = -1;
    _window.onMessage = [&](UINT id, WPARAM w) {
        if (id == WM_SERVER_READY && reinterpret_cast<OPC_Connection*>(w) == c) valuesBeforeReady = _window.itemTotal();
    };
    c->connect();
    ASSERT_TRUE(_window.pumpUntil([&] { return _window.itemTotal() > 0; }));
    EXPECT_TRUE(c->busy());
    servers::test::endHangs();
    ASSERT_TRUE(_window.pumpUntil([&] { return valuesBeforeReady >= 0; }));
    EXPECT_GT(valuesBeforeReady, 0);
    EXPECT_EQ(c->lastError(), "");
    // WM_SERVER_CONNECTED came before every value: the subscription starts after it.
    EXPECT_EQ(_window.sequence(c), (std::vector<UINT>{WM_SERVER_CONNECTED, WM_SERVER_READY}));
    _window.onMessage = nullptr;
    disconnect(c);
}

TEST_F(ConnectionTest, GroupIsAskedForTheSameSettingsByEveryConnection)
{
    for (Fault fault : {Fault::None, Fault::Empty}) {
        SCOPED_TRACE(servers::test::progIdOf(fault));
        const servers::test::Journal before = servers::test::journalOf(fault);
        OPC_Connection* c = connected(fault);
        EXPECT_EQ(c->lastError(), "");
        const servers::test::Journal after = servers::test::journalOf(fault);
        EXPECT_EQ(after.addGroupCalls, before.addGroupCalls + 1);
        const servers::test::AddGroupCall& group = after.lastAddGroup;
        EXPECT_TRUE(group.nameGiven);
        EXPECT_EQ(group.name, OLESTR("")) << "the server chooses the name";
        EXPECT_EQ(group.active, TRUE);
        EXPECT_EQ(group.requestedUpdateRate, 100u);
        EXPECT_EQ(group.clientGroup, 1234u);
        EXPECT_TRUE(group.timeBiasGiven);
        EXPECT_EQ(group.timeBias, 0);
        EXPECT_TRUE(group.deadbandGiven);
        EXPECT_EQ(group.percentDeadband, 0.0f);
        EXPECT_EQ(group.lcid, 0u);
        EXPECT_TRUE(IsEqualIID(group.riid, IID_IUnknown));
        // One AddItems per item, none for an address space without items; the subscription goes
        // ahead either way.
        EXPECT_EQ(after.addItemsCalls - before.addItemsCalls, c->items().size());
        EXPECT_EQ(after.adviseCalls, before.adviseCalls + 1);
        disconnect(c);
    }
}

TEST_F(ConnectionTest, FailureThatIsNotTheProgramsOwnHasAFixedText)
{
    // An allocation that fails inside the work: the connection's text is the fixed one, the log
    // tells the cause.
    LogCapture log(2);
    OPC_Connection* c = connected(Fault::StatusThrows);
    EXPECT_EQ(c->lastError(), "Неизвестная ошибка");
    EXPECT_TRUE(log.contains(prefix(Fault::StatusThrows) + ": the work failed: not enough memory")) << log.all();
    EXPECT_EQ(_window.count(WM_SERVER_READY, c), 1);
    // The server object was made before the failure: the connection stays connected until the user
    // disconnects it.
    EXPECT_TRUE(c->connected());
    disconnect(c);
}

TEST_F(ConnectionTest, UnreadableValueStillBringsQualityAndTime)
{
    LogCapture log(2);
    OPC_Connection* c = connected(Fault::None);
    ASSERT_TRUE(allItemsDelivered(c));
    // "b" never changes after its first value, so nothing but this test writes it from now on.
    std::uint32_t handle = 0;
    while (handle < c->items().size() && c->items()[handle]->path() != "b") ++handle;
    ASSERT_LT(handle, c->items().size());

    auto* sink = new OPC_DataCallback0();
    sink->AddRef();
    sink->setConnection(c);
    FORMATETC format{Co::dataTimeFormat(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    auto deliver = [&](VARTYPE tag, WORD quality, DWORD timeLow) {
        platform::Variant value;
        value->vt = VT_I4;
        value->lVal = 5;
        servers::kit::BlockItem item;
        item.hClient = handle;
        item.quality = quality;
        item.timeStamp = FILETIME{timeLow, 0x01DB0000};
        item.value = value.get();
        std::vector<BYTE> block = servers::kit::BlockWriter().build({&item, 1}, 1234);
        const std::size_t at = 20 + 20;  // the one record follows the one item header
        block[at] = static_cast<BYTE>(tag & 0xFF);
        block[at + 1] = static_cast<BYTE>(tag >> 8);
        HGLOBAL memory = GlobalAlloc(GMEM_FIXED, block.size());
        std::memcpy(GlobalLock(memory), block.data(), block.size());
        GlobalUnlock(memory);
        STGMEDIUM medium{};
        medium.tymed = TYMED_HGLOBAL;
        medium.hGlobal = memory;
        sink->OnDataChange(&format, &medium);
        GlobalFree(memory);
    };
    // A tag that is no type, a by-reference value, an interface: nothing is taken from the
    // record, but the item shows the quality and time the server sent with it.
    DWORD time = 100;
    for (VARTYPE tag : {VARTYPE(15), VARTYPE(VT_BYREF | VT_I4), VARTYPE(VT_UNKNOWN)}) {
        SCOPED_TRACE(tag);
        platform::Dispatcher::instance().processAll();
        c->items()[handle]->takeChanges();  // read, as a window would: the next change notifies
        const long before = _window.itemValues(c->items()[handle]);
        deliver(tag, 0x18, ++time);
        const OPC_Item::Record record = c->items()[handle]->readValue();
        EXPECT_EQ(record.value->vt, VT_EMPTY);
        EXPECT_EQ(record.quality, 0x18);
        EXPECT_EQ(record.timeStamp.dwLowDateTime, time);
        platform::Dispatcher::instance().processAll();
        EXPECT_EQ(_window.itemValues(c->items()[handle]), before + 1) << "the change is notified";
        deliver(VT_I4, 0xC0, ++time);  // a good value in between
        EXPECT_EQ(c->items()[handle]->readValue().value->lVal, 5);
    }
    EXPECT_EQ(log.count("is of a type the block cannot carry"), 3) << log.all();
    sink->detach();
    sink->Release();
    disconnect(c);
}

TEST_F(ConnectionTest, ThousandConnectCyclesWhileValuesStream)
{
    // A scale server whose items change every 10 ms, connected and disconnected a thousand times,
    // sometimes at once, sometimes while its values stream in.
    _registry.setUserDword(servers::simulation::kScaleUserKey, "Branches", 10);
    _registry.setUserDword(servers::simulation::kScaleUserKey, "ItemsPerBranch", 10);
    _registry.setUserDword(servers::simulation::kScaleUserKey, "UpdateRate", 10);
    OPC_Connection* c = make(servers::simulation::CLSID_TagvistaScale, servers::simulation::kScaleProgId);
    for (int cycle = 0; cycle < 1000; ++cycle) {
        c->connect();
        if (cycle % 3 == 0) _window.pumpUntil([&] { return _window.itemTotal() > 0; }, std::chrono::milliseconds(200));
        c->disconnect();
        ASSERT_TRUE(_window.pumpUntil([&] { return c->idle() && _window.count(WM_SERVER_DISCONNECTED, c) > 0; }))
            << "cycle " << cycle;
        ASSERT_EQ(c->lastError(), "");
        _window.forget();
    }
}

TEST_F(ConnectionTest, RandomlyMutatedBlocksThroughTheRealSink)
{
    OPC_Connection* c = connected(Fault::None);
    ASSERT_TRUE(allItemsDelivered(c));
    // A sink of our own on the live connection, fed real blocks with random damage.
    auto* sink = new OPC_DataCallback0();
    sink->AddRef();
    sink->setConnection(c);
    std::vector<std::vector<unsigned char>> blocks = sampleBlocks();
    ASSERT_FALSE(blocks.empty());
    std::mt19937 random(1208);
    FORMATETC format{Co::dataTimeFormat(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    for (int i = 0; i < 100000; ++i) {
        std::vector<unsigned char> block = blocks[random() % blocks.size()];
        const int mutations = 1 + static_cast<int>(random() % 8);
        for (int m = 0; m < mutations; ++m) {
            switch (random() % 4) {
            case 0: block[random() % block.size()] = static_cast<unsigned char>(random()); break;
            case 1: block.resize(random() % (block.size() + 1)); break;
            case 2: block[random() % block.size()] ^= static_cast<unsigned char>(1u << (random() % 8)); break;
            case 3: block.insert(block.begin() + static_cast<long>(random() % block.size()), static_cast<unsigned char>(random())); break;
            }
            if (block.empty()) block.push_back(0);
        }
        HGLOBAL memory = GlobalAlloc(GMEM_FIXED, block.size());
        std::memcpy(GlobalLock(memory), block.data(), block.size());
        GlobalUnlock(memory);
        STGMEDIUM medium{};
        medium.tymed = TYMED_HGLOBAL;
        medium.hGlobal = memory;
        sink->OnDataChange(&format, &medium);
        GlobalFree(memory);
        if (i % 1000 == 0) {
            platform::Dispatcher::instance().processAll();
            // What the table would show: the texts read every value whole (the sanitizer build
            // catches a read past a string).
            for (OPC_Item* item : c->items()) {
                EXPECT_LE(valueText(*item).size(), 255u);
                timeStampText(*item);
            }
        }
    }
    sink->detach();
    sink->Release();
    disconnect(c);
}
