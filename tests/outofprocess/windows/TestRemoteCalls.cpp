// Every method of every OPC interface the simulation server offers, called once across the
// process boundary: the server object made by tagvista-simserver.exe, its groups and their
// subscription. What crosses is checked field by field, the strings (Cyrillic among them) above
// all: an [out, string] parameter that comes back NULL with S_OK is what widl's proxies get wrong.
#include "OutOfProcessSupport.h"

#include "servers/simulation/ProcessClasses.h"

#include <algorithm>

namespace {

using namespace outofprocess;
using servers::simulation::CLSID_TagvistaSimulationProcess;

using Names = std::vector<platform::WideString>;

bool contains(const Names& names, const WCHAR* name) { return std::find(names.begin(), names.end(), name) != names.end(); }

class RemoteCalls : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(createLocal(CLSID_TagvistaSimulationProcess, _server), S_OK);
        ASSERT_EQ(_server.as(_browse), S_OK);
        ASSERT_EQ(_server.as(_common), S_OK);
    }

    ComPtr<IOPCServer> _server;
    ComPtr<IOPCBrowseServerAddressSpace> _browse;
    ComPtr<IOPCCommon> _common;
};

TEST_F(RemoteCalls, TheServerObjectReportsItsStatusErrorTextsAndGroups)
{
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(_server->GetStatus(&status), S_OK);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(status->wMajorVersion, TAGVISTA_VERSION_MAJOR);
    EXPECT_EQ(status->wMinorVersion, TAGVISTA_VERSION_MINOR);
    EXPECT_NE(status->ftStartTime.dwHighDateTime, 0u);
    EXPECT_NE(status->ftCurrentTime.dwHighDateTime, 0u);
    EXPECT_EQ(taken(status->szVendorInfo), "Tagvista Simulation Server");
    CoTaskMemFree(status);

    LPWSTR text = nullptr;
    ASSERT_EQ(_server->GetErrorString(OPC_E_UNKNOWNITEMID, 0x0409, &text), S_OK);
    EXPECT_EQ(taken(text), "The item is not in the server's address space.");
    text = nullptr;
    EXPECT_EQ(_server->GetErrorString(HR_BITS(0xC0041234), 0x0409, &text), E_INVALIDARG);
    EXPECT_EQ(text, nullptr);

    // A group with a Cyrillic name, its time bias and dead band given.
    LONG bias = -180;
    FLOAT deadband = 2.5f;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(_server->AddGroup(OLESTR("Группа1"), TRUE, 1, 77, &bias, &deadband, 0x0409, &handle, &revised,
                                IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(items.put())),
              OPC_S_UNSUPPORTEDRATE);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(revised, 10u) << "revised up to the server's fastest rate";
    ASSERT_TRUE(items);

    ComPtr<IOPCGroupStateMgt> byName;
    ASSERT_EQ(_server->GetGroupByName(OLESTR("Группа1"), IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(byName.put())),
              S_OK);
    ComPtr<IOPCGroupStateMgt> sameGroup;
    ASSERT_EQ(items.as(sameGroup), S_OK);
    ComPtr<IUnknown> a, b;
    ASSERT_EQ(byName.as(a), S_OK);
    ASSERT_EQ(sameGroup.as(b), S_OK);
    EXPECT_EQ(a.get(), b.get()) << "one group, one identity on this side too";
    ComPtr<IOPCGroupStateMgt> none;
    EXPECT_EQ(_server->GetGroupByName(OLESTR("Нет такой"), IID_IOPCGroupStateMgt, reinterpret_cast<IUnknown**>(none.put())),
              E_INVALIDARG);

    ComPtr<IEnumString> groups;
    ASSERT_EQ(_server->CreateGroupEnumerator(OPC_ENUM_ALL_CONNECTIONS, IID_IEnumString,
                                             reinterpret_cast<IUnknown**>(groups.put())),
              S_OK);
    EXPECT_EQ(drain(groups.get()), Names{OLESTR("Группа1")});

    EXPECT_EQ(_server->RemoveGroup(handle, FALSE), OPC_S_INUSE) << "the client still holds the group";
    EXPECT_EQ(_server->RemoveGroup(handle, FALSE), E_INVALIDARG) << "already removed";
}

TEST_F(RemoteCalls, BrowsingCarriesNamesAndItemIdsIntact)
{
    OPCNAMESPACETYPE organization{};
    ASSERT_EQ(_browse->QueryOrganization(&organization), S_OK);
    EXPECT_EQ(organization, OPC_NS_HIERARCHIAL);

    const Names root = browse(_browse.get(), OPC_BRANCH);
    EXPECT_TRUE(contains(root, OLESTR("Цех1")));
    EXPECT_TRUE(contains(root, OLESTR("Plant")));

    ASSERT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, OLESTR("Цех1")), S_OK);
    const Names leaves = browse(_browse.get(), OPC_LEAF, OLESTR("*"), VT_BSTR, OPC_READABLE);
    EXPECT_EQ(leaves, (Names{OLESTR("Состояние"), OLESTR("Оператор")}));
    EXPECT_EQ(browse(_browse.get(), OPC_BRANCH), Names{OLESTR("Насос1")});

    WCHAR leaf[] = OLESTR("Оператор");
    LPWSTR id = nullptr;
    ASSERT_EQ(_browse->GetItemID(leaf, &id), S_OK);
    EXPECT_EQ(taken(id), "Цех1/Оператор");
    WCHAR unknown[] = OLESTR("Нет");
    id = nullptr;
    EXPECT_EQ(_browse->GetItemID(unknown, &id), E_INVALIDARG);
    EXPECT_EQ(id, nullptr);

    ComPtr<IEnumString> paths;
    EXPECT_EQ(_browse->BrowseAccessPaths(OLESTR("Цех1/Оператор"), paths.put()), E_NOTIMPL);

    ASSERT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_UP, OLESTR("")), S_OK);
    EXPECT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_UP, OLESTR("")), E_FAIL) << "at the root";
    ASSERT_EQ(_browse->ChangeBrowsePosition(OPC_BROWSE_TO, OLESTR("Цех1/Насос1")), S_OK);
    const Names flat = browse(_browse.get(), OPC_FLAT);
    EXPECT_EQ(flat, (Names{OLESTR("Цех1/Насос1/Скорость"), OLESTR("Цех1/Насос1/Работа"), OLESTR("Цех1/Насос1/Задание")}));
}

TEST_F(RemoteCalls, TheCommonInterfaceKeepsLocaleAndClientName)
{
    DWORD count = 0;
    LCID* locales = nullptr;
    ASSERT_EQ(_common->QueryAvailableLocaleIDs(&count, &locales), S_OK);
    ASSERT_NE(locales, nullptr);
    const std::vector<LCID> offered(locales, locales + count);
    CoTaskMemFree(locales);
    EXPECT_EQ(offered.size(), 4u);
    EXPECT_NE(std::find(offered.begin(), offered.end(), LCID(0x0409)), offered.end());

    ASSERT_EQ(_common->SetLocaleID(0x0409), S_OK);
    LCID locale = 0;
    ASSERT_EQ(_common->GetLocaleID(&locale), S_OK);
    EXPECT_EQ(locale, 0x0409u);
    EXPECT_EQ(_common->SetLocaleID(0x0419), E_INVALIDARG);

    LPWSTR text = nullptr;
    ASSERT_EQ(_common->GetErrorString(OPC_E_INVALIDHANDLE, &text), S_OK);
    EXPECT_EQ(taken(text), "The handle is not valid.");
    text = nullptr;
    EXPECT_EQ(_common->GetErrorString(HR_BITS(0xC0041234), &text), E_INVALIDARG);
    EXPECT_EQ(text, nullptr);

    EXPECT_EQ(_common->SetClientName(OLESTR("Клиент Tagvista")), S_OK);
}

TEST_F(RemoteCalls, AGroupManagesItemsAndStateAcrossTheBoundary)
{
    OPCHANDLE handle = 0;
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(addGroup(_server.get(), OLESTR("Насосы"), 1000, items, &handle, nullptr, 5), S_OK);
    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(items.as(state), S_OK);

    // One item that exists, one that does not; a blob goes along with the first.
    platform::WideString path;
    platform::WideString good = OLESTR("Цех1/Насос1/Скорость");
    platform::WideString bad = OLESTR("Цех1/Нет");
    BYTE blob[3] = {1, 2, 3};
    OPCITEMDEF defs[2]{};
    defs[0] = OPCITEMDEF{path.data(), good.data(), TRUE, 11, sizeof blob, blob, VT_EMPTY, 0};
    defs[1] = OPCITEMDEF{path.data(), bad.data(), TRUE, 12, 0, nullptr, VT_EMPTY, 0};

    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(items->ValidateItems(2, defs, FALSE, &results, &errors), S_FALSE);
    ASSERT_TRUE(results && errors);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_R8);
    CoTaskMemFree(results[0].pBlob);
    CoTaskMemFree(results[1].pBlob);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    ASSERT_EQ(items->AddItems(2, defs, &results, &errors), S_FALSE);
    ASSERT_TRUE(results && errors);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_UNKNOWNITEMID);
    const OPCHANDLE server = results[0].hServer;
    EXPECT_NE(server, 0u);
    EXPECT_EQ(results[0].vtCanonicalDataType, VT_R8);
    EXPECT_EQ(results[0].dwAccessRights, DWORD(OPC_READABLE));
    CoTaskMemFree(results[0].pBlob);
    CoTaskMemFree(results[1].pBlob);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    OPCHANDLE handles[2] = {server, 0xDEAD};
    errors = nullptr;
    ASSERT_EQ(items->SetActiveState(2, handles, FALSE, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(errors);
    OPCHANDLE clients[2] = {21, 22};
    ASSERT_EQ(items->SetClientHandles(2, handles, clients, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    CoTaskMemFree(errors);
    VARTYPE types[2] = {VT_BSTR, VT_R4};
    ASSERT_EQ(items->SetDatatypes(2, handles, types, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    CoTaskMemFree(errors);
    ComPtr<IUnknown> attributes;
    EXPECT_EQ(items->CreateEnumerator(IID_IEnumUnknown, attributes.put()), E_NOTIMPL);

    // The group's state, its Cyrillic name the string widl's proxies lose.
    DWORD rate = 0, lcid = 0;
    BOOL active = FALSE;
    LPWSTR name = nullptr;
    LONG bias = 1;
    FLOAT deadband = 1;
    OPCHANDLE clientGroup = 0, serverGroup = 0;
    ASSERT_EQ(state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &clientGroup, &serverGroup), S_OK);
    EXPECT_EQ(taken(name), "Насосы");
    EXPECT_EQ(rate, 1000u);
    EXPECT_TRUE(active);
    EXPECT_EQ(clientGroup, 5u);
    EXPECT_EQ(serverGroup, handle);

    DWORD requested = 250, revised = 0;
    BOOL inactive = FALSE;
    ASSERT_EQ(state->SetState(&requested, &revised, &inactive, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 250u);
    ASSERT_EQ(state->SetName(OLESTR("Насосы цеха")), S_OK);
    name = nullptr;
    ASSERT_EQ(state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &clientGroup, &serverGroup), S_OK);
    EXPECT_EQ(taken(name), "Насосы цеха");
    EXPECT_EQ(rate, 250u);
    EXPECT_FALSE(active);
    ComPtr<IUnknown> clone;
    EXPECT_EQ(state->CloneGroup(OLESTR("Копия"), IID_IOPCItemMgt, clone.put()), E_NOTIMPL);

    ASSERT_EQ(items->RemoveItems(2, handles, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(errors);
}

TEST_F(RemoteCalls, TheSubscriptionDeliversWholeBlocksToTheClientsSink)
{
    ComPtr<IOPCItemMgt> items;
    ASSERT_EQ(addGroup(_server.get(), OLESTR(""), 10, items), S_OK);
    OPCITEMRESULT result{};
    ASSERT_EQ(addItem(items.get(), OLESTR("Цех1/Оператор"), 1, &result), S_OK);
    ASSERT_EQ(addItem(items.get(), OLESTR("Simulation/Static/CyrillicString"), 2, &result), S_OK);
    ComPtr<IDataObject> data;
    ASSERT_EQ(items.as(data), S_OK);

    ComPtr<RecordingSink> sink = makeSink<RecordingSink>();
    FORMATETC format = streamFormat();
    DWORD connection = 0;
    ASSERT_EQ(data->DAdvise(&format, ADVF_PRIMEFIRST, sink.get(), &connection), S_OK);
    ASSERT_TRUE(sink->waitFor(1));
    ASSERT_EQ(data->DUnadvise(connection), S_OK);
    EXPECT_EQ(data->DUnadvise(connection), OLE_E_NOCONNECTION);

    const RecordingSink::Call first = sink->calls().front();
    EXPECT_EQ(first.format, format.cfFormat);
    EXPECT_EQ(first.tymed, DWORD(TYMED_HGLOBAL));
    ASSERT_FALSE(first.nullHandle);
    const BlockReader block(first.block);
    EXPECT_EQ(block.size(), first.block.size());
    ASSERT_EQ(block.count(), 2u);
    EXPECT_EQ(block.status(), S_OK);
    for (DWORD i = 0; i < 2; ++i) {
        EXPECT_EQ(block.vt(i), VT_BSTR);
        EXPECT_EQ(block.quality(i), OPC_QUALITY_GOOD);
        const platform::WideString expected = block.client(i) == 1 ? OLESTR("Иванов И. И.") : OLESTR("Привет, мир");
        EXPECT_EQ(block.text(i), expected);
    }

    // The rest of IDataObject crosses too, with the server's answers.
    STGMEDIUM medium{};
    EXPECT_EQ(data->GetData(&format, &medium), E_NOTIMPL);
    EXPECT_EQ(data->QueryGetData(&format), E_NOTIMPL);
    ComPtr<IEnumFORMATETC> formats;
    EXPECT_EQ(data->EnumFormatEtc(DATADIR_GET, formats.put()), E_NOTIMPL);
    ComPtr<IEnumSTATDATA> advises;
    EXPECT_EQ(data->EnumDAdvise(advises.put()), E_NOTIMPL);
}

} // namespace
