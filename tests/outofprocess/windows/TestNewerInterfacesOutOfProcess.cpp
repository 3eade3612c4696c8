// The DA 2.0 callback and the DA 3.0 browser across the process boundary: the simulation server
// gives the same tree and value types through them as through the older interfaces, servers that
// offer only the newer ones are served with nothing asked, and their misbehaviour from another
// process reaches nothing it should not.
#include "EngineOutOfProcess.h"
#include "servers/simulation/ProcessClasses.h"

namespace {

using namespace outofprocess;
using servers::test::Fault;

using NewerInterfacesOutOfProcess = TestServerProcessTest;

TEST_F(NewerInterfacesOutOfProcess, CallbackAndDa3BrowserCarryWhatTheOlderInterfacesCarry)
{
    clienttest::LogCapture log(5);
    const char* name = servers::simulation::kSimulationProcessProgId;
    OPC_Connection* older = make(servers::simulation::CLSID_TagvistaSimulationProcess, name);
    OPC_Connection* newer = make(servers::simulation::CLSID_TagvistaSimulationProcess, name);
    older->setInterfaces({.subscription = OPC_Connection::Subscription::Stream, .browser = OPC_Connection::Browser::Da2});
    newer->setInterfaces({.subscription = OPC_Connection::Subscription::Callback, .browser = OPC_Connection::Browser::Da3});
    ASSERT_TRUE(connectAndWait(older)) << older->lastError();
    ASSERT_TRUE(connectAndWait(newer)) << newer->lastError();
    EXPECT_EQ(newer->lastError(), "");
    ASSERT_TRUE(allDelivered(older));
    ASSERT_TRUE(allDelivered(newer));
    const auto expected = typesByPath(older);
    EXPECT_GT(expected.size(), 100u);
    EXPECT_EQ(typesByPath(newer), expected);  // Cyrillic ids, strings and arrays through both
    for (std::size_t i = 0; i < older->items().size(); ++i)
        EXPECT_EQ(newer->items()[i]->itemId(), older->items()[i]->itemId());
    EXPECT_TRUE(log.contains("data changes come through the DA 2.0 callback")) << log.all();
    EXPECT_TRUE(log.contains("read through the DA 3.0 browser")) << log.all();
    EXPECT_TRUE(disconnectAndWait(older));
    EXPECT_TRUE(disconnectAndWait(newer));
}

TEST_F(NewerInterfacesOutOfProcess, ServersOfTheNewerInterfacesAndTheirMisbehaviour)
{
    clienttest::LogCapture log(2);
    const OPC_Connection::Timing timing{10s, 5s, 0ms};
    // One server process serves every connection: held, it does not stop between them (Wine
    // starts no new one while the old one stops).
    ComPtr<IUnknown> holder;
    ASSERT_EQ(createLocal(servers::test::processClsidOf(Fault::None), holder), S_OK);
    for (Fault fault : {Fault::CallbackOnly, Fault::Da3BrowseOnly}) {
        OPC_Connection* c = makeTest(fault, timing);
        ASSERT_TRUE(connectAndWait(c)) << c->lastError();
        EXPECT_EQ(c->lastError(), "");
        EXPECT_EQ(c->items().size(), 5u);
        EXPECT_TRUE(allDelivered(c)) << servers::test::processProgIdOf(fault);
        EXPECT_TRUE(disconnectAndWait(c));
    }
    {
        // Values that cannot travel in the stream reach their items empty; an array of VARIANTs
        // holding numbers can, and is taken.
        OPC_Connection* c = makeTest(Fault::CallbackBadTypes, timing);
        ASSERT_TRUE(connectAndWait(c)) << c->lastError();
        ASSERT_TRUE(allDelivered(c));
        for (OPC_Item* item : c->items())
            EXPECT_EQ(item->readValue().value->vt, item->path() == "X/x2" ? VT_ARRAY | VT_VARIANT : VT_EMPTY)
                << item->path();
        EXPECT_TRUE(disconnectAndWait(c));
    }
    {
        // Continuation points without end, each one marshalled in and out: bounded.
        OPC_Connection* c = makeTest(Fault::Da3EndlessContinuation, timing);
        c->setBrowseLimits({.depth = 64, .namesPerEnumeration = 200, .nodes = 2'000'000});
        ASSERT_TRUE(connectAndWait(c)) << c->lastError();
        EXPECT_TRUE(log.contains("browse stopped after 200 names in one list")) << log.all();
        EXPECT_TRUE(disconnectAndWait(c));
    }
    {
        // Calls after Unadvise from another process reach a detached sink.
        OPC_Connection* c = makeTest(Fault::CallbackAfterUnadvise, timing);
        ASSERT_TRUE(connectAndWait(c)) << c->lastError();
        ASSERT_TRUE(allDelivered(c));
        EXPECT_TRUE(disconnectAndWait(c));
        _window.pumpFor(1s);
        EXPECT_FALSE(log.contains("unknown item #100")) << log.all();
    }
}

} // namespace
