// The two subscriptions and the two browsers of a connection: the choice and its fallbacks, the same
// tree and numbers through either browser, and every misbehaviour of a DA 2.0 callback or a DA 3.0
// browse reaching the user as a logged text or a dropped change, never as a crash.
#include "ClientTestSupport.h"
#include "ConnectionTestFixture.h"
#include "client/DataChangeBlock.h"
#include "client/ErrorString.h"
#include "client/OPC_DataCallback2.h"
#include "client/ValueText.h"
#include "servers/simulation/SimulationClasses.h"
#include "servers/test/TestServerControl.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace clienttest;
using servers::test::Fault;
using Subscription = OPC_Connection::Subscription;
using Browser = OPC_Connection::Browser;

namespace {

const std::vector<std::string> kTestPaths{"X/Y/y1", "X/x1", "X/x2", "a", "b"};

class SubscriptionPathsTest : public ConnectionTest {
protected:
    std::vector<std::string> itemIds(OPC_Connection* c)
    {
        std::vector<std::string> ids;
        for (OPC_Item* item : c->items()) ids.push_back(item->itemId());
        return ids;
    }
    // Connects, checks the path taken and every item delivered, and disconnects.
    void expectServed(Fault fault, const OPC_Connection::Interfaces& interfaces, const std::string& path,
                      const LogCapture& log)
    {
        OPC_Connection* c = connected(fault, interfaces);
        EXPECT_EQ(c->lastError(), "") << servers::test::progIdOf(fault);
        EXPECT_EQ(itemPaths(c), kTestPaths) << servers::test::progIdOf(fault);
        EXPECT_TRUE(allItemsDelivered(c)) << servers::test::progIdOf(fault);
        EXPECT_TRUE(log.contains(prefix(fault) + ": data changes come through " + path)) << log.all();
        disconnect(c);
    }
};

constexpr const char* kStream = "the DA 1.0 stream (IDataObject)";
constexpr const char* kCallback = "the DA 2.0 callback (IOPCDataCallback)";

} // namespace

TEST_F(SubscriptionPathsTest, EachSubscriptionAndItsFallback)
{
    LogCapture log(5);
    expectServed(Fault::None, {}, kStream, log);
    expectServed(Fault::None, {.subscription = Subscription::Callback}, kCallback, log);
    // With nothing asked: a group without the stream, or one that refuses the advise.
    expectServed(Fault::CallbackOnly, {}, kCallback, log);
    expectServed(Fault::StreamRefused, {}, kCallback, log);
    EXPECT_TRUE(log.contains(prefix(Fault::StreamRefused) + ": IDataObject::DAdvise() Failed: " +
                             ErrorString(E_FAIL).str() + "; trying the DA 2.0 callback"))
        << log.all();
    EXPECT_GE(servers::test::journalOf(Fault::StreamRefused).callbackAdvises, 1u);

    // A path the server lacks: its own text, with the server still connected.
    struct Case {
        Fault fault;
        Subscription subscription;
        std::string error;
    };
    for (const Case& k :
         {Case{Fault::CallbackOnly, Subscription::Stream,
               ": QueryInterface(IID_IDataObject) Failed: " + ErrorString(E_NOINTERFACE).str()},
          Case{Fault::OldInterfacesOnly, Subscription::Callback,
               ": QueryInterface(IID_IConnectionPointContainer) Failed: " + ErrorString(E_NOINTERFACE).str()},
          // Both refused: the stream's failure is the one shown, the callback's is logged.
          Case{Fault::AdviseFails, Subscription::Auto, ": IDataObject::DAdvise() Failed: " + ErrorString(E_FAIL).str()},
          Case{Fault::NoDataObject, Subscription::Auto,
               ": QueryInterface(IID_IDataObject) Failed: " + ErrorString(E_NOINTERFACE).str()}}) {
        OPC_Connection* c = connected(k.fault, {.subscription = k.subscription});
        EXPECT_TRUE(c->connected());
        EXPECT_EQ(c->lastError(), prefix(k.fault) + k.error);
        disconnect(c);
    }
    EXPECT_TRUE(log.contains(prefix(Fault::AdviseFails) + ": IConnectionPoint::Advise(IOPCDataCallback) Failed: " +
                             ErrorString(E_FAIL).str()))
        << log.all();
}

TEST_F(SubscriptionPathsTest, BothBrowsersGiveTheSameTreeAndNumbers)
{
    LogCapture log(5);
    const GUID simulation = servers::simulation::CLSID_TagvistaSimulation;
    auto tree = [&](OPC_Connection* c) {
        std::vector<std::string> lines;
        for (OPC_Item* item : c->items()) lines.push_back(item->path() + "=" + item->itemId());
        return lines;
    };
    std::vector<std::string> through2;
    for (Browser browser : {Browser::Da2, Browser::Da3}) {
        OPC_Connection* c = make(simulation, "Tagvista.Simulation.1");
        c->setInterfaces({.browser = browser});
        c->connect();
        ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_READY, c) > 0; }));
        EXPECT_EQ(c->lastError(), "");
        if (browser == Browser::Da2) {
            through2 = tree(c);
            EXPECT_GT(through2.size(), 20u);
        } else {
            EXPECT_EQ(tree(c), through2);
        }
        disconnect(c);
    }
    EXPECT_TRUE(log.contains("read through the DA 3.0 browser (IOPCBrowse)"));

    // With nothing asked, a server without the DA 2.0 browser is read through the DA 3.0 one.
    OPC_Connection* only3 = connected(Fault::Da3BrowseOnly);
    EXPECT_EQ(only3->lastError(), "");
    EXPECT_EQ(itemPaths(only3), kTestPaths);
    EXPECT_TRUE(allItemsDelivered(only3));
    disconnect(only3);

    // Duplicate names become nodes as they came, through either browser.
    OPC_Connection* dup2 = connected(Fault::DuplicateNames);
    const std::vector<std::string> duplicates = itemPaths(dup2);
    disconnect(dup2);
    OPC_Connection* dup3 = connected(Fault::Da3DuplicateNames);
    EXPECT_EQ(itemPaths(dup3), duplicates);
    disconnect(dup3);
}

TEST_F(SubscriptionPathsTest, TheDa3BrowsersItemIdsAreTheOnesRegistered)
{
    LogCapture log(2);
    OPC_Connection* c = connected(Fault::Da3ItemIdsDiffer);
    EXPECT_EQ(c->lastError(), "");
    EXPECT_EQ(itemPaths(c), kTestPaths) << "the tree nests by names";
    for (OPC_Item* item : c->items()) EXPECT_NE(item->itemId(), item->path());
    EXPECT_TRUE(allItemsDelivered(c)) << log.all();
    EXPECT_FALSE(log.contains("AddItems(")) << log.all();
    disconnect(c);
}

TEST_F(SubscriptionPathsTest, MissingOrEndlessBrowsersAreBounded)
{
    LogCapture log(2);
    OPC_Connection* none = connected(Fault::NoBrowse);
    EXPECT_EQ(none->lastError(),
              prefix(Fault::NoBrowse) + ": QueryInterface(IID_IOPCBrowseServerAddressSpace) Failed: " +
                  ErrorString(E_NOINTERFACE).str());
    disconnect(none);
    OPC_Connection* old = connected(Fault::OldInterfacesOnly, {.browser = Browser::Da3});
    EXPECT_EQ(old->lastError(),
              prefix(Fault::OldInterfacesOnly) + ": QueryInterface(IID_IOPCBrowse) Failed: " + ErrorString(E_NOINTERFACE).str());
    disconnect(old);

    // Continuation points without end: the list bound ends the browse, the tree read stays.
    OPC_Connection* endless = make(Fault::Da3EndlessContinuation);
    endless->setBrowseLimits({.depth = 64, .namesPerEnumeration = 500, .nodes = 2'000'000});
    endless->connect();
    ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_READY, endless) > 0; }, 60s));
    EXPECT_TRUE(log.contains("browse stopped after 500 names in one list")) << log.all();
    EXPECT_TRUE(endless->connected());
    EXPECT_FALSE(endless->branches().empty()) << "the tree read before the bound stays";
    disconnect(endless);
}

TEST_F(SubscriptionPathsTest, MisbehavingCallbacksAreDroppedOrLogged)
{
    LogCapture log(2);
    auto quietUntilSent = [&](Fault fault, int calls) {
        const std::uint64_t sent = servers::test::journalOf(fault).blocksDelivered;
        EXPECT_TRUE(_window.pumpUntil([&] { return servers::test::journalOf(fault).blocksDelivered >= sent + calls; }));
        platform::Dispatcher::instance().processAll();
    };
    {
        OPC_Connection* c = connected(Fault::CallbackCountPastItems);
        quietUntilSent(Fault::CallbackCountPastItems, 2);
        EXPECT_EQ(_window.itemTotal(), 0) << "nothing is read from a call whose count its arrays cannot match";
        EXPECT_TRUE(log.contains(prefix(Fault::CallbackCountPastItems) + ": DataCallback: a call announces 1005 items, "
                                                                          "the group has 5; dropped"))
            << log.all();
        disconnect(c);
    }
    _window.forget();
    {
        OPC_Connection* c = connected(Fault::CallbackNullArrays);
        ASSERT_TRUE(_window.pumpUntil([&] {
            for (const char* array : {"client handles", "values", "qualities", "time stamps", "errors"})
                if (!log.contains(std::string("without its array of ") + array)) return false;
            return true;
        })) << log.all();
        platform::Dispatcher::instance().processAll();
        EXPECT_EQ(_window.itemTotal(), 0);
        disconnect(c);
    }
    {
        OPC_Connection* c = connected(Fault::CallbackUnknownHandles);
        ASSERT_TRUE(_window.pumpUntil([&] { return log.contains("onItemNewValue: unknown item #1073741824"); }));
        disconnect(c);
    }
    _window.forget();
    {
        OPC_Connection* c = connected(Fault::CallbackWrongGroup);
        quietUntilSent(Fault::CallbackWrongGroup, 2);
        EXPECT_EQ(_window.itemTotal(), 0);
        EXPECT_TRUE(log.contains(prefix(Fault::CallbackWrongGroup) + ": DataCallback: a call for group 1235, not this "
                                                                      "connection's group 1234; dropped"))
            << log.all();
        disconnect(c);
    }
    {
        // Values that cannot travel reach their items empty, with the quality and time sent; an
        // array of VARIANTs holding numbers travels in the stream, and so is taken.
        OPC_Connection* c = connected(Fault::CallbackBadTypes);
        ASSERT_TRUE(allItemsDelivered(c));
        for (OPC_Item* item : c->items()) {
            const OPC_Item::Record record = item->readValue();
            EXPECT_EQ(record.value->vt, item->path() == "X/x2" ? VT_ARRAY | VT_VARIANT : VT_EMPTY) << item->path();
            EXPECT_EQ(record.quality & OPC_QUALITY_MASK, OPC_QUALITY_GOOD) << item->path();
            EXPECT_NE(record.timeStamp.dwHighDateTime, 0u) << item->path();
        }
        for (int handle : {0, 1, 3, 4})
            EXPECT_TRUE(log.contains("the value of item #" + std::to_string(handle) + " is of a type the stream cannot carry"))
                << log.all();
        disconnect(c);
    }
    {
        OPC_Connection* c = connected(Fault::CallbackErrors);
        ASSERT_TRUE(allItemsDelivered(c));
        EXPECT_TRUE(log.contains(prefix(Fault::CallbackErrors) + ": DataCallback::hrMastererror Failed: " +
                                 ErrorString(E_FAIL).str()));
        EXPECT_TRUE(log.contains(": DataCallback: item #1 Failed: " + ErrorString(E_FAIL).str())) << log.all();
        EXPECT_EQ(c->items()[1]->readValue().quality & OPC_QUALITY_MASK, OPC_QUALITY_BAD);
        EXPECT_EQ(c->items()[3]->readValue().quality & OPC_QUALITY_MASK, OPC_QUALITY_GOOD);
        disconnect(c);
    }
    {
        // Calls after Unadvise reach a detached sink (the sanitizer build would catch freed memory).
        OPC_Connection* c = connected(Fault::CallbackAfterUnadvise);
        ASSERT_TRUE(allItemsDelivered(c));
        const std::uint64_t lateBefore = servers::test::journalOf(Fault::CallbackAfterUnadvise).blocksAfterRelease;
        disconnect(c);
        EXPECT_EQ(servers::test::journalOf(Fault::CallbackAfterUnadvise).blocksAfterRelease, lateBefore + 3);
        EXPECT_FALSE(log.contains("unknown item #100")) << log.all();
        // The same connection connects and streams again. The first values may come before
        // WM_SERVER_READY, so what was counted before is forgotten before the connect.
        platform::Dispatcher::instance().processAll();
        _window.forget();
        c->connect();
        ASSERT_TRUE(_window.pumpUntil([&] { return _window.count(WM_SERVER_READY, c) == 1; }));
        EXPECT_TRUE(allItemsDelivered(c));
        disconnect(c);
    }
}

namespace {

// The values a server might send: every kind the stream carries and kinds it cannot.
struct ValueMaker {
    std::mt19937& random;
    LONG byReference = 5;

    void make(VARIANT& v)
    {
        VariantInit(&v);
        switch (random() % 12) {
        case 0: v.vt = VT_I4; v.lVal = static_cast<LONG>(random()); break;
        case 1: v.vt = VT_R8; v.dblVal = static_cast<double>(random()) / 7.0; break;
        case 2: v.vt = VT_BSTR; v.bstrVal = SysAllocString(OLESTR("Давление")); break;
        case 3: v.vt = VT_BSTR; v.bstrVal = nullptr; break;
        case 4: v.vt = VT_ARRAY | VT_I2; v.parray = SafeArrayCreateVector(VT_I2, 0, random() % 4); break;
        case 5: {
            v.vt = VT_ARRAY | VT_VARIANT;
            v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
            VARIANT* slots = static_cast<VARIANT*>(v.parray->pvData);
            slots[0].vt = random() % 2 ? VT_UNKNOWN : VT_I1;  // an interface inside cannot travel
            break;
        }
        case 6: v.vt = VT_BYREF | VT_I4; v.plVal = &byReference; break;
        case 7: v.vt = VT_UNKNOWN; v.punkVal = nullptr; break;
        case 8: {
            SAFEARRAYBOUND bounds[2] = {{2, 0}, {3, 0}};
            v.vt = VT_ARRAY | VT_I4;
            v.parray = SafeArrayCreate(VT_I4, 2, bounds);
            break;
        }
        case 9: v.vt = VT_ARRAY | VT_R4; v.parray = nullptr; break;
        case 10: v.vt = static_cast<VARTYPE>(VT_VECTOR | VT_I4); break;
        default: v.vt = static_cast<VARTYPE>(random() & 0xFFFF); v.llVal = 0; break;
        }
    }
    // Frees what make() allocated, whatever the tag says now.
    static void clear(VARIANT& v)
    {
        if ((v.vt & ~VT_TYPEMASK) == VT_ARRAY && v.parray) {
            SafeArrayDestroy(v.parray);
        } else if (v.vt == VT_BSTR) {
            SysFreeString(v.bstrVal);
        }
        VariantInit(&v);
    }
};

} // namespace

TEST_F(SubscriptionPathsTest, RandomlyMutatedCallbackArgumentsThroughTheRealSink)
{
    LogCapture log(0);
    OPC_Connection* c = connected(Fault::None);
    ASSERT_TRUE(allItemsDelivered(c));
    auto* sink = new OPC_DataCallback2(OPC_Connection::kClientGroup);
    sink->AddRef();
    sink->setConnection(c);
    std::mt19937 random(1209);
    ValueMaker maker{random};
    constexpr DWORD kItems = 5;
    for (int round = 0; round < 20000; ++round) {
        // Arrays as long as the count says, unless the count goes past the group's items, which
        // the sink must see before it reads anything.
        const DWORD count = random() % 8 == 0 ? kItems + 1 + random() % 2000 : random() % (kItems + 1);
        const DWORD length = std::min(count, kItems);
        std::vector<OPCHANDLE> handles(length);
        std::vector<VARIANT> values(length);
        std::vector<WORD> qualities(length);
        std::vector<FILETIME> stamps(length);
        std::vector<HRESULT> errors(length);
        for (DWORD i = 0; i < length; ++i) {
            handles[i] = random() % 10 == 0 ? static_cast<OPCHANDLE>(random()) : random() % kItems;
            maker.make(values[i]);
            qualities[i] = static_cast<WORD>(random());
            stamps[i] = FILETIME{static_cast<DWORD>(random()), static_cast<DWORD>(random())};
            errors[i] = random() % 4 == 0 ? E_FAIL : S_OK;
        }
        const unsigned nulls = random() % 6 == 0 ? random() % 32 : 0;  // one bit per array
        const OPCHANDLE group = random() % 10 == 0 ? static_cast<OPCHANDLE>(random()) : OPC_Connection::kClientGroup;
        sink->OnDataChange(0, group, static_cast<HRESULT>(random()), static_cast<HRESULT>(random()), count,
                           nulls & 1 ? nullptr : handles.data(), nulls & 2 ? nullptr : values.data(),
                           nulls & 4 ? nullptr : qualities.data(), nulls & 8 ? nullptr : stamps.data(),
                           nulls & 16 ? nullptr : errors.data());
        for (VARIANT& v : values) ValueMaker::clear(v);
        if (round % 500 == 0) {
            platform::Dispatcher::instance().processAll();
            // Whatever arrived is a value the texts read whole (the sanitizer build catches a read
            // through a pointer the server owned).
            for (OPC_Item* item : c->items()) {
                EXPECT_TRUE(DataChangeBlock::carries(*item->readValue().value.get())) << item->path();
                valueText(*item);
                timeStampText(*item);
            }
        }
    }
    sink->detach();
    sink->Release();
    disconnect(c);
}
