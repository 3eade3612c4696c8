// A few of the test servers' faults, enough to know each switch reaches its method.
#include "ServerTestSupport.h"

#include "servers/test/TestServers.h"

namespace {

using namespace servertest;
using servers::test::Fault;
using servers::test::clsidOf;

TEST(TestServers, StatusFaults)
{
    ComPtr<IOPCServer> s;
    ASSERT_EQ(create(clsidOf(Fault::StatusFails), s), S_OK);
    OPCSERVERSTATUS* status = reinterpret_cast<OPCSERVERSTATUS*>(1);
    EXPECT_EQ(s->GetStatus(&status), servers::test::kFailure);
    EXPECT_EQ(status, nullptr);

    ASSERT_EQ(create(clsidOf(Fault::StatusTimesOutOfRange), s), S_OK);
    ASSERT_EQ(s->GetStatus(&status), S_OK);
    EXPECT_GE(platform::fileTimeToU64(status->ftCurrentTime), 0x8000000000000000ull);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    ASSERT_EQ(create(clsidOf(Fault::State256), s), S_OK);
    ASSERT_EQ(s->GetStatus(&status), S_OK);
    EXPECT_EQ(static_cast<DWORD>(status->dwServerState), 256u);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
}

TEST(TestServers, BrowseFaults)
{
    ComPtr<IOPCServer> s;
    ASSERT_EQ(create(clsidOf(Fault::NoBrowse), s), S_OK);
    ComPtr<IOPCBrowseServerAddressSpace> b;
    EXPECT_EQ(s.as(b), E_NOINTERFACE);
    ComPtr<IOPCBrowse> da3;
    EXPECT_EQ(s.as(da3), E_NOINTERFACE) << "no browser of either kind";

    ASSERT_EQ(create(clsidOf(Fault::DescentRefused), b), S_OK);
    EXPECT_EQ(browse(b.get(), OPC_BRANCH), std::vector<platform::WideString>{OLESTR("X")});
    EXPECT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("X")), servers::test::kFailure);

    ASSERT_EQ(create(clsidOf(Fault::EndlessEnumerator), b), S_OK);
    // drain stops at its limit: the enumerator itself never says it is done.
    ComPtr<IEnumString> e;
    ASSERT_EQ(b->BrowseOPCItemIDs(OPC_LEAF, OLESTR(""), VT_EMPTY, 0, e.put()), S_OK);
    const auto first = drain(e.get(), 1000);
    ASSERT_EQ(first.size(), 1000u);
    EXPECT_EQ(first[0], OLESTR("a"));
    EXPECT_EQ(first[2], OLESTR("More0"));

    ASSERT_EQ(create(clsidOf(Fault::EndlessTree), b), S_OK);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(b->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("Deeper")), S_OK);
    EXPECT_EQ(browse(b.get(), OPC_BRANCH), std::vector<platform::WideString>{OLESTR("Deeper")});
    // A flat browse of a tree without end still answers, bounded.
    EXPECT_FALSE(browse(b.get(), OPC_FLAT).empty());
}

TEST(TestServers, BlockFaultsReachTheSink)
{
    ComPtr<IOPCServer> s;
    ASSERT_EQ(create(clsidOf(Fault::BlockNullHandle), s), S_OK);
    ComPtr<IOPCItemMgt> g;
    ASSERT_EQ(addGroup(s.get(), OLESTR("G"), 10, g), S_OK);
    ASSERT_EQ(addItem(g.get(), OLESTR("a"), 1), S_OK);
    ComPtr<IDataObject> d;
    ASSERT_EQ(g.as(d), S_OK);
    auto sink = makeSink<RecordingSink>();
    FORMATETC f = streamFormat();
    DWORD c = 0;
    ASSERT_EQ(d->DAdvise(&f, 0, sink.get(), &c), S_OK);
    ASSERT_TRUE(sink->waitFor(1));
    EXPECT_TRUE(sink->calls()[0].nullHandle);
    EXPECT_EQ(d->DUnadvise(c), S_OK);

    ASSERT_EQ(create(clsidOf(Fault::BlockCutString), s), S_OK);
    ASSERT_EQ(addGroup(s.get(), OLESTR("G"), 10, g), S_OK);
    ASSERT_EQ(addItem(g.get(), OLESTR("b"), 1), S_OK);
    ASSERT_EQ(addItem(g.get(), OLESTR("a"), 2), S_OK);
    ASSERT_EQ(g.as(d), S_OK);
    auto cut = makeSink<RecordingSink>();
    ASSERT_EQ(d->DAdvise(&f, 0, cut.get(), &c), S_OK);
    ASSERT_TRUE(cut->waitFor(1));
    const BlockReader block(cut->calls()[0].block);
    EXPECT_EQ(block.size(), block.bytes().size());
    ASSERT_EQ(block.count(), 2u);
    EXPECT_EQ(block.client(1), 1u) << "the string went last";
    // "Tagvista" is 16 bytes; the record would end 22 bytes after its count.
    EXPECT_LT(block.bytes().size(), block.offset(1) + 16 + 4 + 16 + 2);
}

TEST(TestServers, CallbacksGoOnAfterDUnadviseUntilTheGroupGoes)
{
    ComPtr<IOPCServer> s;
    ASSERT_EQ(create(clsidOf(Fault::CallbacksAfterUnadvise), s), S_OK);
    ComPtr<IOPCItemMgt> g;
    OPCHANDLE handle = 0;
    ASSERT_EQ(addGroup(s.get(), OLESTR("G"), 10, g, &handle), S_OK);
    ASSERT_EQ(addItem(g.get(), OLESTR("a"), 1), S_OK);
    ComPtr<IDataObject> d;
    ASSERT_EQ(g.as(d), S_OK);
    auto sink = makeSink<RecordingSink>();
    FORMATETC f = streamFormat();
    DWORD c = 0;
    ASSERT_EQ(d->DAdvise(&f, 0, sink.get(), &c), S_OK);
    ASSERT_TRUE(sink->waitFor(1));
    EXPECT_EQ(d->DUnadvise(c), S_OK);
    const std::size_t after = sink->callCount();
    ASSERT_TRUE(sink->waitFor(after + 3)) << "the careless server calls on";
    d.reset();
    g.reset();
    EXPECT_EQ(s->RemoveGroup(handle, TRUE), S_OK);
    EXPECT_EQ(sink->refCount(), 1);
}

TEST(TestServers, ReleaseNeverReachesZeroButTheGroupsStop)
{
    ComPtr<IOPCServer> s;
    ASSERT_EQ(create(clsidOf(Fault::ReleaseNeverZero), s), S_OK);
    ComPtr<IOPCItemMgt> g;
    ASSERT_EQ(addGroup(s.get(), OLESTR("G"), 10, g), S_OK);
    ASSERT_EQ(addItem(g.get(), OLESTR("a"), 1), S_OK);
    ComPtr<IDataObject> d;
    ASSERT_EQ(g.as(d), S_OK);
    auto sink = makeSink<RecordingSink>();
    FORMATETC f = streamFormat();
    DWORD c = 0;
    ASSERT_EQ(d->DAdvise(&f, 0, sink.get(), &c), S_OK);
    ASSERT_TRUE(sink->waitFor(1));
    d.reset();
    g.reset();
    IOPCServer* raw = s.detach();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(raw->Release(), 1u);
    EXPECT_EQ(sink->refCount(), 1) << "the groups stopped when the count would have reached 0";
}

TEST(TestServers, GroupFaults)
{
    ComPtr<IOPCServer> s;
    ComPtr<IOPCItemMgt> g;
    ASSERT_EQ(create(clsidOf(Fault::AddGroupFails), s), S_OK);
    EXPECT_EQ(addGroup(s.get(), OLESTR("G"), 100, g), servers::test::kFailure);
    EXPECT_FALSE(g);

    ASSERT_EQ(create(clsidOf(Fault::NoItemMgt), s), S_OK);
    EXPECT_EQ(addGroup(s.get(), OLESTR("G"), 100, g), E_NOINTERFACE);

    ASSERT_EQ(create(clsidOf(Fault::AddItemsPartial), s), S_OK);
    ASSERT_EQ(addGroup(s.get(), OLESTR("G"), 100, g), S_OK);
    EXPECT_EQ(addItem(g.get(), OLESTR("a"), 1), S_OK);
    EXPECT_EQ(addItem(g.get(), OLESTR("X/x1"), 2), servers::test::kFailure);
}

TEST(TestServers, HangsLastAsLongAsTheUserKeySays)
{
    setUserDword(servers::test::kHangKey, servers::test::kHangValue, 1);
    ComPtr<IOPCServer> s;
    ASSERT_EQ(create(clsidOf(Fault::HangCreate), s), S_OK);
    ASSERT_EQ(create(clsidOf(Fault::HangStatus), s), S_OK);
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(s->GetStatus(&status), S_OK);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    deleteUserValue(servers::test::kHangKey, servers::test::kHangValue);
}

TEST(TestServers, ActivationFaults)
{
    ComPtr<IOPCServer> s;
    EXPECT_EQ(create(clsidOf(Fault::FactoryFails), s), servers::test::kFactoryFailure);
    // The class is registered; its library is what fails, with the system's code for a module
    // that does not load.
    const HRESULT missing = create(clsidOf(Fault::MissingLibrary), s);
    EXPECT_TRUE(FAILED(missing));
    EXPECT_NE(missing, REGDB_E_CLASSNOTREG);
    EXPECT_NE(missing, CLASS_E_CLASSNOTAVAILABLE);
}

} // namespace
