// The server object and its groups: status, groups by name and rate, error texts, items and the
// group's own state, on the well-behaved test server and the simulation server.
#include "ServerTestSupport.h"

#include "servers/simulation/SimulationClasses.h"
#include "servers/test/TestServers.h"

namespace {

using namespace servertest;
using servers::test::Fault;
using servers::test::clsidOf;

class ServerObject : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(create(clsidOf(Fault::None), _server), S_OK); }
    ComPtr<IOPCServer> _server;
};

ULONGLONG u64(const FILETIME& ft) { return platform::fileTimeToU64(ft); }

TEST_F(ServerObject, StatusTellsTimesStateGroupsAndVendor)
{
    FILETIME before;
    GetSystemTimeAsFileTime(&before);
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(_server->GetStatus(&status), S_OK);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(status->dwGroupCount, 0u);
    EXPECT_LE(u64(status->ftStartTime), u64(status->ftCurrentTime));
    EXPECT_GE(u64(status->ftCurrentTime), u64(before));
    EXPECT_EQ(u64(status->ftLastUpdateTime), 0u) << "no data sent yet";
    ASSERT_NE(status->szVendorInfo, nullptr);
    EXPECT_EQ(platform::WideString(status->szVendorInfo), servers::test::kVendorInfo);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    ComPtr<IOPCItemMgt> group;
    ASSERT_EQ(addGroup(_server.get(), OLESTR("G"), 100, group), S_OK);
    ASSERT_EQ(_server->GetStatus(&status), S_OK);
    EXPECT_EQ(status->dwGroupCount, 1u);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    EXPECT_EQ(_server->GetStatus(nullptr), E_INVALIDARG);
}

TEST_F(ServerObject, GroupNamesAreUniqueAndMadeUpWhenEmpty)
{
    ComPtr<IOPCItemMgt> a;
    ComPtr<IOPCItemMgt> b;
    ComPtr<IOPCItemMgt> c;
    ASSERT_EQ(addGroup(_server.get(), OLESTR("Main"), 100, a), S_OK);
    EXPECT_EQ(addGroup(_server.get(), OLESTR("Main"), 100, b), OPC_E_DUPLICATENAME);
    EXPECT_FALSE(b);
    ASSERT_EQ(addGroup(_server.get(), OLESTR(""), 100, b), S_OK);
    ASSERT_EQ(addGroup(_server.get(), nullptr, 100, c), S_OK);

    const auto nameOf = [](IOPCItemMgt* g) {
        ComPtr<IOPCGroupStateMgt> state;
        EXPECT_EQ(ComPtr<IOPCItemMgt>(g).as(state), S_OK);
        LPWSTR name = nullptr;
        EXPECT_EQ(state->GetState(nullptr, nullptr, &name, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
        platform::WideString n = name ? name : OLESTR("");
        CoTaskMemFree(name);
        return n;
    };
    EXPECT_EQ(nameOf(a.get()), OLESTR("Main"));
    EXPECT_FALSE(nameOf(b.get()).empty());
    EXPECT_NE(nameOf(b.get()), nameOf(c.get()));

    ComPtr<IOPCGroupStateMgt> found;
    EXPECT_EQ(_server->GetGroupByName(OLESTR("Main"), IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(found.put())), S_OK);
    EXPECT_TRUE(found);
    EXPECT_EQ(_server->GetGroupByName(OLESTR("None"), IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(found.put())),
              E_INVALIDARG);

    ComPtr<IEnumString> names;
    ASSERT_EQ(_server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, reinterpret_cast<IUnknown**>(names.put())),
              S_OK);
    EXPECT_EQ(drain(names.get()).size(), 3u);
}

TEST_F(ServerObject, RatesBelowTheMinimumAreRevisedUp)
{
    ComPtr<IOPCItemMgt> g;
    DWORD revised = 0;
    EXPECT_EQ(addGroup(_server.get(), OLESTR("Fast"), 1, g, nullptr, &revised), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, 10u);
    EXPECT_EQ(addGroup(_server.get(), OLESTR("Fastest"), 0, g, nullptr, &revised), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, 10u);
    EXPECT_EQ(addGroup(_server.get(), OLESTR("Slow"), 2500, g, nullptr, &revised), S_OK);
    EXPECT_EQ(revised, 2500u);

    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(g.as(state), S_OK);
    DWORD requested = 3;
    EXPECT_EQ(state->SetState(&requested, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, 10u);
}

TEST_F(ServerObject, AddGroupAnswersTheInterfaceAskedForAndRejectsBadArguments)
{
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    LONG bias = 60;
    FLOAT deadband = 5.0f;
    ComPtr<IDataObject> data;
    ASSERT_EQ(_server->AddGroup(OLESTR("D"), FALSE, 500, 77, &bias, &deadband, 0x409, &handle, &revised, IID_IDataObject,
                                reinterpret_cast<IUnknown**>(data.put())),
              S_OK);
    EXPECT_TRUE(data);
    EXPECT_NE(handle, 0u);

    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(data.as(state), S_OK);
    DWORD rate = 0;
    BOOL active = TRUE;
    LONG timeBias = 0;
    FLOAT band = 0;
    DWORD lcid = 0;
    OPCHANDLE client = 0;
    OPCHANDLE server = 0;
    ASSERT_EQ(state->GetState(&rate, &active, nullptr, &timeBias, &band, &lcid, &client, &server), S_OK);
    EXPECT_EQ(rate, 500u);
    EXPECT_EQ(active, FALSE);
    EXPECT_EQ(timeBias, 60);
    EXPECT_EQ(band, 5.0f);
    EXPECT_EQ(lcid, 0x409u);
    EXPECT_EQ(client, 77u);
    EXPECT_EQ(server, handle);

    IUnknown* unk = nullptr;
    deadband = 101.0f;
    EXPECT_EQ(_server->AddGroup(OLESTR("E"), TRUE, 500, 1, nullptr, &deadband, 0, &handle, &revised, IID_IUnknown, &unk),
              E_INVALIDARG);
    EXPECT_EQ(_server->AddGroup(OLESTR("F"), TRUE, 500, 1, nullptr, nullptr, 0, &handle, &revised, IID_IEnumString, &unk),
              E_NOINTERFACE);
    EXPECT_EQ(unk, nullptr);
    // The failed group left its name free.
    EXPECT_EQ(_server->AddGroup(OLESTR("F"), TRUE, 500, 1, nullptr, nullptr, 0, &handle, &revised, IID_IUnknown, &unk), S_OK);
    unk->Release();
}

TEST_F(ServerObject, RemovedGroupsFreeTheirNameAndTheirHandle)
{
    ComPtr<IOPCItemMgt> g;
    OPCHANDLE handle = 0;
    ASSERT_EQ(addGroup(_server.get(), OLESTR("G"), 100, g, &handle), S_OK);
    EXPECT_EQ(_server->RemoveGroup(handle, FALSE), OPC_S_INUSE) << "the test still holds it";
    EXPECT_EQ(_server->RemoveGroup(handle, FALSE), E_INVALIDARG);
    g.reset();
    ASSERT_EQ(addGroup(_server.get(), OLESTR("G"), 100, g, &handle), S_OK);
    g.reset();
    EXPECT_EQ(_server->RemoveGroup(handle, FALSE), S_OK);
}

TEST_F(ServerObject, GroupNamesChangeUnlessTaken)
{
    ComPtr<IOPCItemMgt> a;
    ComPtr<IOPCItemMgt> b;
    ASSERT_EQ(addGroup(_server.get(), OLESTR("A"), 100, a), S_OK);
    ASSERT_EQ(addGroup(_server.get(), OLESTR("B"), 100, b), S_OK);
    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(b.as(state), S_OK);
    EXPECT_EQ(state->SetName(OLESTR("A")), OPC_E_DUPLICATENAME);
    EXPECT_EQ(state->SetName(OLESTR("C")), S_OK);
    EXPECT_EQ(state->SetName(OLESTR("")), E_INVALIDARG);
    ComPtr<IOPCItemMgt> again;
    EXPECT_EQ(addGroup(_server.get(), OLESTR("B"), 100, again), S_OK) << "the old name is free";
    EXPECT_EQ(addGroup(_server.get(), OLESTR("C"), 100, again), OPC_E_DUPLICATENAME);
}

TEST_F(ServerObject, ErrorTextsForOwnCodesOnly)
{
    LPWSTR text = nullptr;
    ASSERT_EQ(_server->GetErrorString(OPC_E_UNKNOWNITEMID, 0x409, &text), S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_NE(platform::WideString(text).find(OLESTR("address space")), platform::WideString::npos);
    CoTaskMemFree(text);
    text = nullptr;
    EXPECT_EQ(_server->GetErrorString(HR_BITS(0xC004ABCD), 0x409, &text), E_INVALIDARG);
    EXPECT_EQ(text, nullptr);

    ComPtr<IOPCCommon> common;
    ASSERT_EQ(_server.as(common), S_OK);
    ASSERT_EQ(common->GetErrorString(OPC_S_UNSUPPORTEDRATE, &text), S_OK);
    EXPECT_FALSE(platform::WideString(text).empty());
    CoTaskMemFree(text);
    EXPECT_EQ(common->SetLocaleID(0x0407), E_INVALIDARG);
    EXPECT_EQ(common->SetLocaleID(0x0409), S_OK);
    LCID lcid = 0;
    EXPECT_EQ(common->GetLocaleID(&lcid), S_OK);
    EXPECT_EQ(lcid, 0x0409u);
}

// --- items ------------------------------------------------------------------------------------

class Items : public ServerObject {
protected:
    void SetUp() override
    {
        ServerObject::SetUp();
        ASSERT_EQ(addGroup(_server.get(), OLESTR("Items"), 100, _group), S_OK);
    }
    ComPtr<IOPCItemMgt> _group;
};

TEST_F(Items, KnownItemsGetHandlesTypesAndRights)
{
    OPCITEMRESULT a{};
    OPCITEMRESULT y1{};
    ASSERT_EQ(addItem(_group.get(), OLESTR("a"), 1, &a), S_OK);
    ASSERT_EQ(addItem(_group.get(), OLESTR("X/Y/y1"), 2, &y1), S_OK);
    EXPECT_NE(a.hServer, y1.hServer);
    EXPECT_EQ(a.vtCanonicalDataType, VT_I4);
    EXPECT_EQ(a.dwAccessRights, OPC_READABLE | OPC_WRITEABLE);
    EXPECT_EQ(y1.vtCanonicalDataType, VT_I2);
    EXPECT_EQ(y1.dwAccessRights, OPC_READABLE);
    EXPECT_EQ(a.dwBlobSize, 0u);
    EXPECT_EQ(a.pBlob, nullptr);
}

TEST_F(Items, UnknownAndMalformedIdsAndTypesTheItemCannotDeliver)
{
    EXPECT_EQ(addItem(_group.get(), OLESTR("nope"), 1), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(addItem(_group.get(), OLESTR("X/x9"), 1), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(addItem(_group.get(), OLESTR(""), 1), OPC_E_INVALIDITEMID);
    EXPECT_EQ(addItem(_group.get(), OLESTR("b"), 1, nullptr, VT_R8), OPC_E_BADTYPE) << "a text is no number";
    EXPECT_EQ(addItem(_group.get(), OLESTR("a"), 1, nullptr, VT_ARRAY | VT_I4), OPC_E_BADTYPE);
    EXPECT_EQ(addItem(_group.get(), OLESTR("a"), 1, nullptr, VT_BSTR), S_OK) << "numbers convert to text";
    EXPECT_EQ(addItem(_group.get(), OLESTR("X/x1"), 1, nullptr, VT_I2), S_OK);
}

TEST_F(Items, OneBadItemMakesTheCallSFalseAndLeavesTheOthersAdded)
{
    platform::WideString empty;
    platform::WideString ids[] = {OLESTR("a"), OLESTR("nope"), OLESTR("X/x2")};
    OPCITEMDEF defs[3] = {};
    for (int i = 0; i < 3; ++i) {
        defs[i].szAccessPath = empty.data();
        defs[i].szItemID = ids[i].data();
        defs[i].bActive = TRUE;
        defs[i].hClient = OPCHANDLE(10 + i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(_group->AddItems(3, defs, &results, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(errors[2], S_OK);
    EXPECT_EQ(results[1].hServer, 0u);
    OPCHANDLE handles[] = {results[0].hServer, results[2].hServer, 999};
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    // The validation of the same list adds nothing.
    ASSERT_EQ(_group->ValidateItems(3, defs, FALSE, &results, &errors), S_FALSE);
    EXPECT_EQ(errors[1], OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(results[2].vtCanonicalDataType, VT_BSTR);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    OPCHANDLE clients[] = {20, 21, 22};
    ASSERT_EQ(_group->SetClientHandles(3, handles, clients, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[2], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(errors);
    ASSERT_EQ(_group->SetActiveState(2, handles, FALSE, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(_group->RemoveItems(3, handles, &errors), S_FALSE);
    EXPECT_EQ(errors[1], S_OK);
    EXPECT_EQ(errors[2], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(errors);
    ASSERT_EQ(_group->RemoveItems(1, handles, &errors), S_FALSE) << "removed already";
    EXPECT_EQ(errors[0], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(errors);
    EXPECT_EQ(_group->AddItems(0, defs, &results, &errors), E_INVALIDARG);
}

TEST(SimulationItems, EveryBrowsedItemAddsWithTheTypeTheFilterFoundIt)
{
    ComPtr<IOPCServer> server;
    ASSERT_EQ(create(servers::simulation::CLSID_TagvistaSimulation, server), S_OK);
    ComPtr<IOPCBrowseServerAddressSpace> b;
    ASSERT_EQ(server.as(b), S_OK);
    ComPtr<IOPCItemMgt> group;
    ASSERT_EQ(addGroup(server.get(), OLESTR("All"), 1000, group), S_OK);
    const std::vector<platform::WideString> ids = browse(b.get(), OPC_FLAT);
    ASSERT_GT(ids.size(), 150u);
    OPCHANDLE client = 1;
    for (const platform::WideString& id : ids) {
        OPCITEMRESULT r{};
        ASSERT_EQ(addItem(group.get(), id, client++, &r), S_OK) << u8(id);
        EXPECT_NE(r.vtCanonicalDataType, VT_EMPTY) << u8(id);
    }
}

} // namespace
