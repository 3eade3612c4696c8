#include "AgentService.h"

#include "StandardStreams.h"
#include "platform/remote/ValueCoding.h"

#include <cstring>
#include <chrono>
#include <thread>
#include <condition_variable>

namespace agent {

using namespace tagvista::agent;
namespace fb = flatbuffers;

namespace {

// The keys of the classes root that carry the "OPC" marker, with the default value of their
// "CLSID" subkey as RegQueryValueExA reads it: what a walk of the root looks at, in one answer.
fb::Offset<ServerList> listServers(fb::FlatBufferBuilder& builder)
{
    std::vector<fb::Offset<ServerKey>> keys;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        const LONG enumerated = RegEnumKeyExA(HKEY_CLASSES_ROOT, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (enumerated == ERROR_MORE_DATA) continue;  // no server has such a name
        if (enumerated != ERROR_SUCCESS) break;
        const std::string key(name, nameSize);
        HKEY marker = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, (key + "\\OPC").c_str(), 0, KEY_READ, &marker) != ERROR_SUCCESS) continue;
        RegCloseKey(marker);

        bool hasClsid = false;
        DWORD type = 0;
        std::vector<BYTE> data;
        HKEY clsid = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, (key + "\\CLSID").c_str(), 0, KEY_READ, &clsid) == ERROR_SUCCESS) {
            hasClsid = true;
            DWORD size = 0;
            if (RegQueryValueExA(clsid, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size <= 4096) {
                data.resize(size);
                if (RegQueryValueExA(clsid, nullptr, nullptr, &type, data.data(), &size) == ERROR_SUCCESS)
                    data.resize(size);
                else
                    type = 0, data.clear();
            } else {
                type = 0;
            }
            RegCloseKey(clsid);
        }
        keys.push_back(CreateServerKey(builder, builder.CreateString(key), hasClsid, type, builder.CreateVector(data)));
    }
    return CreateServerList(builder, builder.CreateVector(keys));
}

bool guidOf(const fb::Vector<std::uint8_t>* bytes, GUID& guid)
{
    if (!bytes || bytes->size() != sizeof(GUID)) return false;
    std::memcpy(&guid, bytes->data(), sizeof(GUID));
    return true;
}

platform::WideString wideOf(const fb::String* text)
{
    return platform::utf8ToUtf16(text ? text->string_view() : std::string_view());
}

fb::Offset<fb::String> utf8String(fb::FlatBufferBuilder& builder, LPCWSTR text)
{
    return builder.CreateString(text ? platform::utf16ToUtf8(platform::WideStringView(text)) : std::string());
}

std::uint64_t fileTimeBits(const FILETIME& time)
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The sink the agent advises on a group's stream: each block goes to the program as it came.
class StreamForwarder final : public platform::ComObject<IAdviseSink> {
public:
    StreamForwarder(FrameWriter& writer, std::uint32_t connection) : _writer(writer), _connection(connection) {}

    void STDMETHODCALLTYPE OnDataChange(FORMATETC*, STGMEDIUM* medium) override
    {
        if (!medium || medium->tymed != TYMED_HGLOBAL || !medium->hGlobal) return;
        const SIZE_T size = GlobalSize(medium->hGlobal);
        const void* bytes = GlobalLock(medium->hGlobal);
        if (!bytes) return;
        fb::FlatBufferBuilder builder(size + 64);
        const auto block = builder.CreateVector(static_cast<const std::uint8_t*>(bytes), size);
        GlobalUnlock(medium->hGlobal);
        builder.Finish(CreateEnvelope(builder, 0, Body::DataChange, CreateDataChange(builder, _connection, block).Union()));
        _writer.write(platform::remote::frameOf(builder));
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

private:
    FrameWriter& _writer;
    const std::uint32_t _connection;
};

// The sink the agent advises on a server's shutdown connection point.
class ShutdownForwarder final : public platform::ComObject<IOPCShutdown> {
public:
    ShutdownForwarder(FrameWriter& writer, std::uint32_t connection) : _writer(writer), _connection(connection) {}

    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override
    {
        fb::FlatBufferBuilder builder;
        const auto text = reason ? utf8String(builder, reason) : fb::Offset<fb::String>();
        builder.Finish(CreateEnvelope(builder, 0, Body::Shutdown, CreateShutdown(builder, _connection, text).Union()));
        _writer.write(platform::remote::frameOf(builder));
        return S_OK;
    }

private:
    FrameWriter& _writer;
    const std::uint32_t _connection;
};

// The sink the agent advises on a group's DA 2.0 callback connection point: each OnDataChange
// goes to the program with its values; the completions of asynchronous calls the program never
// makes are taken and dropped.
class CallbackForwarder final : public platform::ComObject<IOPCDataCallback> {
public:
    CallbackForwarder(FrameWriter& writer, std::uint32_t connection) : _writer(writer), _connection(connection) {}

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT masterQuality, HRESULT masterError,
                                           DWORD count, OPCHANDLE* handles, VARIANT* values, WORD* qualities,
                                           FILETIME* times, HRESULT* errors) override
    {
        // Arrays the server left out cannot be read; the program sees an empty call.
        if (!handles || !values || !qualities || !times || !errors) count = 0;
        fb::FlatBufferBuilder builder;
        std::vector<fb::Offset<CallbackItem>> items;
        items.reserve(count);
        for (DWORD i = 0; i < count; ++i) {
            bool travelled = true;
            const auto value = platform::remote::encodeValue(builder, values[i], travelled);
            items.push_back(CreateCallbackItem(builder, handles[i], value, qualities[i], fileTimeBits(times[i]),
                                               travelled ? errors[i] : DISP_E_BADVARTYPE));
        }
        const auto list = builder.CreateVector(items);
        builder.Finish(CreateEnvelope(builder, 0, Body::Callback,
                                      CreateCallback(builder, _connection, transaction, group, masterQuality,
                                                     masterError, list)
                                          .Union()));
        _writer.write(platform::remote::frameOf(builder));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                             FILETIME*, HRESULT*) override
    {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override
    {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

private:
    FrameWriter& _writer;
    const std::uint32_t _connection;
};

} // namespace

bool FrameWriter::write(const std::vector<std::uint8_t>& frame)
{
    std::lock_guard lock(_mutex);
    if (_gone) return false;
    if (!writeOutput(frame.data(), frame.size())) _gone = true;
    return !_gone;
}

AgentService::AgentService(std::string programText, FrameWriter& writer)
    : _programText(std::move(programText)), _writer(writer)
{
}

AgentService::~AgentService()
{
    unadviseAll();
    std::lock_guard lock(_tableMutex);
    for (auto& [number, object] : _objects) object.pointer->Release();
}

HRESULT AgentService::endAdvise(const Advised& advised)
{
    const HRESULT hr = advised.connectionPoint ? static_cast<IConnectionPoint*>(advised.source)->Unadvise(advised.cookie)
                                               : static_cast<IDataObject*>(advised.source)->DUnadvise(advised.cookie);
    advised.source->Release();
    return hr;
}

void AgentService::unadviseAll()
{
    std::map<std::uint32_t, Advised> all;
    {
        std::lock_guard lock(_advisedMutex);
        all.swap(_advised);
    }
    for (auto& [connection, advised] : all) endAdvise(advised);
}

void AgentService::unadviseOf(std::uint64_t object)
{
    std::vector<Advised> ended;
    {
        std::lock_guard lock(_advisedMutex);
        for (auto advised = _advised.begin(); advised != _advised.end();) {
            if (advised->second.object != object) {
                ++advised;
                continue;
            }
            ended.push_back(advised->second);
            advised = _advised.erase(advised);
        }
    }
    // Outside the lock: a server may call its sink while it ends the advise.
    for (const Advised& advised : ended) endAdvise(advised);
}

void AgentService::answerAdviseConnection(fb::FlatBufferBuilder& builder, const AdviseConnection& advise, Body& type,
                                          fb::Offset<void>& body)
{
    type = Body::AdviseAnswer;
    const Borrowed pointHeld = held(advise.object(), IID_IConnectionPoint);
    auto* point = pointHeld.as<IConnectionPoint>();
    IID iid{};
    if (!point || FAILED(point->GetConnectionInterface(&iid))) {
        body = CreateAdviseAnswer(builder, E_INVALIDARG).Union();
        return;
    }
    const std::uint32_t connection = _nextConnection++;  // atomic: numbers are never reused
    IUnknown* sink = nullptr;
    if (IsEqualIID(iid, IID_IOPCShutdown))
        sink = static_cast<IOPCShutdown*>(new ShutdownForwarder(_writer, connection));
    else if (IsEqualIID(iid, IID_IOPCDataCallback))
        sink = static_cast<IOPCDataCallback*>(new CallbackForwarder(_writer, connection));
    if (!sink) {
        // A connection point of another interface: nothing here could receive its calls.
        body = CreateAdviseAnswer(builder, CONNECT_E_CANNOTCONNECT).Union();
        return;
    }
    sink->AddRef();
    DWORD cookie = 0;
    const HRESULT hr = point->Advise(sink, &cookie);
    sink->Release();
    if (SUCCEEDED(hr)) {
        point->AddRef();
        std::lock_guard lock(_advisedMutex);
        _advised[connection] = Advised{advise.object(), point, true, cookie};
    }
    body = CreateAdviseAnswer(builder, hr, SUCCEEDED(hr) ? connection : 0).Union();
}

void AgentService::answerBrowse(fb::FlatBufferBuilder& builder, const Browse& browse, Body& type, fb::Offset<void>& body)
{
    type = Body::BrowseAnswer;
    const Borrowed browserHeld = held(browse.object(), IID_IOPCBrowse);
    auto* browser = browserHeld.as<IOPCBrowse>();
    if (!browser) {
        body = CreateBrowseAnswer(builder, E_INVALIDARG).Union();
        return;
    }
    platform::WideString itemId = wideOf(browse.item_id());
    platform::WideString nameFilter = wideOf(browse.name_filter());
    platform::WideString vendorFilter = wideOf(browse.vendor_filter());
    LPWSTR continuation = nullptr;
    if (browse.continuation()) {
        const platform::WideString point = wideOf(browse.continuation());
        continuation = static_cast<LPWSTR>(CoTaskMemAlloc((point.size() + 1) * sizeof(WCHAR)));
        if (!continuation) {
            body = CreateBrowseAnswer(builder, E_OUTOFMEMORY).Union();
            return;
        }
        std::memcpy(continuation, point.c_str(), (point.size() + 1) * sizeof(WCHAR));
    }
    std::vector<DWORD> propertyIds;
    if (browse.property_ids()) propertyIds.assign(browse.property_ids()->begin(), browse.property_ids()->end());
    // The list is a reference pointer: never null, even when empty.
    DWORD none = 0;
    BOOL more = FALSE;
    DWORD count = 0;
    OPCBROWSEELEMENT* elements = nullptr;
    const HRESULT hr = browser->Browse(itemId.data(), &continuation, browse.max_elements(),
                                       static_cast<OPCBROWSEFILTER>(browse.filter()), nameFilter.data(),
                                       vendorFilter.data(), browse.all_properties(), browse.property_values(),
                                       static_cast<DWORD>(propertyIds.size()), propertyIds.empty() ? &none : propertyIds.data(),
                                       &more, &count, &elements);
    std::vector<fb::Offset<BrowseElement>> answers;
    for (DWORD i = 0; elements && i < count; ++i) {
        OPCBROWSEELEMENT& element = elements[i];
        std::vector<fb::Offset<ItemProperty>> properties;
        OPCITEMPROPERTIES& itemProperties = element.ItemProperties;
        for (DWORD p = 0; itemProperties.pItemProperties && p < itemProperties.dwNumProperties; ++p) {
            OPCITEMPROPERTY& property = itemProperties.pItemProperties[p];
            bool travelled = true;
            const auto value = platform::remote::encodeValue(builder, property.vValue, travelled);
            properties.push_back(CreateItemProperty(builder, property.dwPropertyID, utf8String(builder, property.szItemID),
                                                    utf8String(builder, property.szDescription), property.vtDataType,
                                                    value, travelled ? property.hrErrorID : DISP_E_BADVARTYPE));
            CoTaskMemFree(property.szItemID);
            CoTaskMemFree(property.szDescription);
            VariantClear(&property.vValue);
        }
        CoTaskMemFree(itemProperties.pItemProperties);
        const auto propertyList = builder.CreateVector(properties);
        answers.push_back(CreateBrowseElement(builder, utf8String(builder, element.szName),
                                              utf8String(builder, element.szItemID), element.dwFlagValue,
                                              itemProperties.hrErrorID, propertyList));
        CoTaskMemFree(element.szName);
        CoTaskMemFree(element.szItemID);
    }
    CoTaskMemFree(elements);
    const auto point = continuation ? utf8String(builder, continuation) : fb::Offset<fb::String>();
    CoTaskMemFree(continuation);
    const auto list = builder.CreateVector(answers);
    body = CreateBrowseAnswer(builder, hr, more != FALSE, point, list).Union();
}

std::uint64_t AgentService::hold(IUnknown* pointer, const IID& iid)
{
    std::lock_guard lock(_tableMutex);
    const std::uint64_t number = _nextObject++;
    _objects[number] = Held{pointer, iid};
    return number;
}

AgentService::Borrowed AgentService::held(std::uint64_t object, const IID& iid) const
{
    std::lock_guard lock(_tableMutex);
    const auto found = _objects.find(object);
    if (found == _objects.end() || !IsEqualIID(found->second.iid, iid)) return Borrowed();
    found->second.pointer->AddRef();
    return Borrowed(found->second.pointer);
}

std::vector<std::uint8_t> AgentService::answer(const Envelope& request)
{
    fb::FlatBufferBuilder builder;
    Body type = Body::Failure;
    fb::Offset<void> body;
    auto failure = [&](HRESULT code, const std::string& text) {
        type = Body::Failure;
        body = CreateFailure(builder, static_cast<int>(code), builder.CreateString(text)).Union();
    };
    auto result = [&](HRESULT hr) {
        type = Body::Result;
        body = CreateResult(builder, hr).Union();
    };
    auto noObject = [&](std::uint64_t object, const char* what) {
        failure(E_INVALIDARG, "object " + std::to_string(object) + " is no " + what + " of this agent");
    };

    switch (request.body_type()) {
    case Body::Hello:
        type = Body::Hello;
        body = CreateHello(builder, platform::remote::kProtocolVersion, builder.CreateString(_programText)).Union();
        break;
    case Body::ListServers:
        type = Body::ServerList;
        body = listServers(builder).Union();
        break;
    case Body::CreateServer: {
        GUID clsid;
        if (!guidOf(request.body_as_CreateServer()->clsid(), clsid)) {
            failure(E_INVALIDARG, "a class identifier is 16 bytes");
            break;
        }
        MULTI_QI query{&IID_IOPCServer, nullptr, S_OK};
        HRESULT hr = CoCreateInstanceEx(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, nullptr, 1, &query);
        if (SUCCEEDED(hr) && !query.pItf) hr = FAILED(query.hr) ? query.hr : E_NOINTERFACE;
        type = Body::ObjectAnswer;
        body = CreateObjectAnswer(builder, hr, SUCCEEDED(hr) ? hold(query.pItf, IID_IOPCServer) : 0).Union();
        break;
    }
    case Body::Query: {
        const Query* query = request.body_as_Query();
        Borrowed object;
        {
            std::lock_guard lock(_tableMutex);
            const auto found = _objects.find(query->object());
            if (found != _objects.end()) {
                found->second.pointer->AddRef();
                object = Borrowed(found->second.pointer);
            }
        }
        GUID iid;
        if (!object) {
            noObject(query->object(), "object");
            break;
        }
        if (!guidOf(query->iid(), iid)) {
            failure(E_INVALIDARG, "an interface identifier is 16 bytes");
            break;
        }
        IUnknown* pointer = nullptr;
        HRESULT hr = object.get()->QueryInterface(iid, reinterpret_cast<void**>(&pointer));
        if (SUCCEEDED(hr) && !pointer) hr = E_NOINTERFACE;
        type = Body::ObjectAnswer;
        body = CreateObjectAnswer(builder, hr, SUCCEEDED(hr) ? hold(pointer, iid) : 0).Union();
        break;
    }
    case Body::ReleaseObject: {
        const std::uint64_t object = request.body_as_ReleaseObject()->object();
        IUnknown* pointer = nullptr;
        {
            std::lock_guard lock(_tableMutex);
            const auto found = _objects.find(object);
            if (found != _objects.end()) {
                pointer = found->second.pointer;
                _objects.erase(found);
            }
        }
        if (!pointer) {
            noObject(object, "object");
            break;
        }
        // A group's or a connection point's advises end with it.
        unadviseOf(object);
        pointer->Release();
        result(S_OK);
        break;
    }
    case Body::GetStatus: {
        const std::uint64_t object = request.body_as_GetStatus()->object();
        const Borrowed serverHeld = held(object, IID_IOPCServer);
        auto* server = serverHeld.as<IOPCServer>();
        if (!server) {
            noObject(object, "server");
            break;
        }
        OPCSERVERSTATUS* status = nullptr;
        const HRESULT hr = server->GetStatus(&status);
        type = Body::StatusAnswer;
        if (SUCCEEDED(hr) && status) {
            const auto vendor = status->szVendorInfo ? utf8String(builder, status->szVendorInfo) : fb::Offset<fb::String>();
            body = CreateStatusAnswer(builder, hr, true, fileTimeBits(status->ftStartTime), fileTimeBits(status->ftCurrentTime),
                                      fileTimeBits(status->ftLastUpdateTime), status->dwServerState, status->dwGroupCount,
                                      status->dwBandWidth, status->wMajorVersion, status->wMinorVersion,
                                      status->wBuildNumber, vendor)
                       .Union();
        } else {
            body = CreateStatusAnswer(builder, hr).Union();
        }
        if (status) {
            CoTaskMemFree(status->szVendorInfo);
            CoTaskMemFree(status);
        }
        break;
    }
    case Body::AddGroup: {
        const AddGroup* add = request.body_as_AddGroup();
        const Borrowed serverHeld = held(add->object(), IID_IOPCServer);
        auto* server = serverHeld.as<IOPCServer>();
        if (!server) {
            noObject(add->object(), "server");
            break;
        }
        const platform::WideString name = wideOf(add->name());
        LONG timeBias = add->time_bias();
        FLOAT deadband = add->deadband();
        OPCHANDLE serverGroup = 0;
        DWORD revisedRate = 0;
        IUnknown* group = nullptr;
        HRESULT hr = server->AddGroup(name.c_str(), add->active(), add->requested_rate(), add->client_group(),
                                      add->has_time_bias() ? &timeBias : nullptr, add->has_deadband() ? &deadband : nullptr,
                                      add->locale(), &serverGroup, &revisedRate, IID_IUnknown, &group);
        if (SUCCEEDED(hr) && !group) hr = E_NOINTERFACE;
        bool itemMgt = false, dataObject = false;
        std::uint64_t number = 0;
        if (SUCCEEDED(hr)) {
            IUnknown* probe = nullptr;
            if (SUCCEEDED(group->QueryInterface(IID_IOPCItemMgt, reinterpret_cast<void**>(&probe))) && probe) {
                itemMgt = true;
                probe->Release();
            }
            probe = nullptr;
            if (SUCCEEDED(group->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&probe))) && probe) {
                dataObject = true;
                probe->Release();
            }
            number = hold(group, IID_IUnknown);
        }
        type = Body::GroupAnswer;
        body = CreateGroupAnswer(builder, hr, number, serverGroup, revisedRate, itemMgt, dataObject).Union();
        break;
    }
    case Body::ChangeBrowsePosition: {
        const ChangeBrowsePosition* change = request.body_as_ChangeBrowsePosition();
        const Borrowed browserHeld = held(change->object(), IID_IOPCBrowseServerAddressSpace);
        auto* browser = browserHeld.as<IOPCBrowseServerAddressSpace>();
        if (!browser) {
            noObject(change->object(), "browser");
            break;
        }
        const platform::WideString name = wideOf(change->name());
        result(browser->ChangeBrowsePosition(static_cast<OPCBROWSEDIRECTION>(change->direction()), name.c_str()));
        break;
    }
    case Body::BrowseItemIds: {
        const BrowseItemIds* browse = request.body_as_BrowseItemIds();
        const Borrowed browserHeld = held(browse->object(), IID_IOPCBrowseServerAddressSpace);
        auto* browser = browserHeld.as<IOPCBrowseServerAddressSpace>();
        if (!browser) {
            noObject(browse->object(), "browser");
            break;
        }
        const platform::WideString filter = wideOf(browse->filter());
        IEnumString* names = nullptr;
        const HRESULT hr = browser->BrowseOPCItemIDs(static_cast<OPCBROWSETYPE>(browse->browse_type()), filter.c_str(),
                                                     browse->data_type(), browse->access_rights(), &names);
        type = Body::ObjectAnswer;
        body = CreateObjectAnswer(builder, hr, SUCCEEDED(hr) && names ? hold(names, IID_IEnumString) : 0).Union();
        break;
    }
    case Body::NextNames: {
        const NextNames* next = request.body_as_NextNames();
        const Borrowed namesHeld = held(next->object(), IID_IEnumString);
        auto* names = namesHeld.as<IEnumString>();
        if (!names) {
            noObject(next->object(), "name list");
            break;
        }
        // As the program asks, one name per Next: a server's list need not hand out more at once.
        const std::uint32_t count = std::min<std::uint32_t>(next->count(), 10000);
        std::vector<fb::Offset<fb::String>> taken;
        HRESULT hr = S_OK;
        while (taken.size() < count) {
            LPOLESTR name = nullptr;
            ULONG fetched = 0;
            hr = names->Next(1, &name, &fetched);
            if (FAILED(hr) || hr == S_FALSE || fetched != 1 || !name) {
                CoTaskMemFree(name);
                if (SUCCEEDED(hr)) hr = S_FALSE;
                break;
            }
            taken.push_back(utf8String(builder, name));
            CoTaskMemFree(name);
        }
        if (SUCCEEDED(hr) && taken.size() < count) hr = S_FALSE;
        type = Body::NamesAnswer;
        body = CreateNamesAnswer(builder, hr, builder.CreateVector(taken)).Union();
        break;
    }
    case Body::AddItems: {
        const AddItems* add = request.body_as_AddItems();
        const Borrowed groupHeld = held(add->object(), IID_IUnknown);
        IUnknown* group = groupHeld.get();
        IOPCItemMgt* items = nullptr;
        if (!group || FAILED(group->QueryInterface(IID_IOPCItemMgt, reinterpret_cast<void**>(&items))) || !items) {
            noObject(add->object(), "group with items");
            break;
        }
        const auto* definitions = add->items();
        const DWORD count = definitions ? definitions->size() : 0;
        std::vector<platform::WideString> texts;
        texts.reserve(count * 2);
        std::vector<OPCITEMDEF> defs(count);
        for (DWORD i = 0; i < count; ++i) {
            const ItemDefinition* definition = definitions->Get(i);
            texts.push_back(wideOf(definition->access_path()));
            defs[i].szAccessPath = texts.back().data();
            texts.push_back(wideOf(definition->item_id()));
            defs[i].szItemID = texts.back().data();
            defs[i].bActive = definition->active();
            defs[i].hClient = definition->client();
            defs[i].vtRequestedDataType = definition->requested_type();
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT hr = count ? items->AddItems(count, defs.data(), &results, &errors) : E_INVALIDARG;
        items->Release();
        std::vector<fb::Offset<ItemResult>> answers;
        if (SUCCEEDED(hr) && results && errors) {
            for (DWORD i = 0; i < count; ++i) {
                answers.push_back(CreateItemResult(builder, errors[i], results[i].hServer, results[i].vtCanonicalDataType,
                                                   results[i].dwAccessRights));
                CoTaskMemFree(results[i].pBlob);
            }
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        type = Body::ItemsAnswer;
        body = CreateItemsAnswer(builder, SUCCEEDED(hr) && answers.size() != count ? E_FAIL : hr, builder.CreateVector(answers))
                   .Union();
        break;
    }
    case Body::Advise: {
        const Advise* advise = request.body_as_Advise();
        const Borrowed groupHeld = held(advise->object(), IID_IUnknown);
        IUnknown* group = groupHeld.get();
        IDataObject* dataObject = nullptr;
        if (!group || FAILED(group->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&dataObject))) || !dataObject) {
            noObject(advise->object(), "group with a stream");
            break;
        }
        // This computer's number of the stream format; the program's own means nothing here.
        FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatA("OPCSTMFORMATDATATIME")), nullptr,
                         DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        const std::uint32_t connection = _nextConnection++;  // atomic: numbers are never reused
        auto* forwarder = new StreamForwarder(_writer, connection);
        forwarder->AddRef();
        DWORD cookie = 0;
        const HRESULT hr = dataObject->DAdvise(&format, 0, forwarder, &cookie);
        forwarder->Release();
        if (SUCCEEDED(hr)) {
            std::lock_guard lock(_advisedMutex);
            _advised[connection] = Advised{advise->object(), dataObject, false, cookie};
        } else {
            dataObject->Release();
        }
        type = Body::AdviseAnswer;
        body = CreateAdviseAnswer(builder, hr, SUCCEEDED(hr) ? connection : 0).Union();
        break;
    }
    case Body::Unadvise: {
        const Unadvise* unadvise = request.body_as_Unadvise();
        std::optional<Advised> ended;
        {
            std::lock_guard lock(_advisedMutex);
            const auto found = _advised.find(unadvise->connection());
            if (found != _advised.end() && found->second.object == unadvise->object()) {
                ended = found->second;
                _advised.erase(found);
            }
        }
        if (!ended) {
            result(held(unadvise->object(), IID_IConnectionPoint) ? CONNECT_E_NOCONNECTION : OLE_E_NOCONNECTION);
            break;
        }
        result(endAdvise(*ended));
        break;
    }
    case Body::FindConnectionPoint: {
        const FindConnectionPoint* find = request.body_as_FindConnectionPoint();
        const Borrowed containerHeld = held(find->object(), IID_IConnectionPointContainer);
        auto* container = containerHeld.as<IConnectionPointContainer>();
        GUID iid;
        if (!container) {
            noObject(find->object(), "connection point container");
            break;
        }
        if (!guidOf(find->iid(), iid)) {
            failure(E_INVALIDARG, "an interface identifier is 16 bytes");
            break;
        }
        IConnectionPoint* point = nullptr;
        HRESULT hr = container->FindConnectionPoint(iid, &point);
        if (SUCCEEDED(hr) && !point) hr = CONNECT_E_NOCONNECTION;
        type = Body::ObjectAnswer;
        body = CreateObjectAnswer(builder, hr, SUCCEEDED(hr) ? hold(point, IID_IConnectionPoint) : 0).Union();
        break;
    }
    case Body::AdviseConnection:
        answerAdviseConnection(builder, *request.body_as_AdviseConnection(), type, body);
        break;
    case Body::Browse:
        answerBrowse(builder, *request.body_as_Browse(), type, body);
        break;
    default:
        failure(E_INVALIDARG, std::string(platform::remote::bodyName(request.body_type())) + " is no request");
        break;
    }
    builder.Finish(CreateEnvelope(builder, request.id(), type, body));
    return platform::remote::frameOf(builder);
}

namespace {

// Requests answered side by side: how many at most. A worker whose server call hangs holds up
// only itself; the program's deadline ends the channel when it matters.
constexpr unsigned kWorkers = 8;
// How long the end of the input waits for the requests still being served.
constexpr std::chrono::seconds kEndGrace{5};

// Each worker in turn reads the input until it holds a whole request, leaves the reading to the
// next worker and answers its request. No request waits for a hand-over: while one worker
// answers, the next one already waits for the program's next request.
class RequestWorkers {
public:
    RequestWorkers(AgentService& service, FrameWriter& writer) : _service(service), _writer(writer)
    {
        for (unsigned i = 0; i < kWorkers; ++i) _threads.emplace_back([this] { work(); });
    }
    ~RequestWorkers()
    {
        for (std::thread& thread : _threads) {
            if (_finished) thread.join();
            else thread.detach();  // a hung call: the process ends right after, without the service
        }
    }

    // Serves until the input ends (0) or brings what is not the protocol (2, with the reason);
    // then waits for the requests under way, at most the grace. stuck when some still run.
    int run(std::string& reason, bool& stuck)
    {
        std::unique_lock lock(_stateMutex);
        _changed.wait(lock, [this] { return _inputEnded; });
        _finished = _changed.wait_for(lock, kEndGrace, [this] { return _running == 0; });
        stuck = !_finished;
        reason = _reason;
        return _result;
    }

private:
    void work()
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (;;) {
            std::optional<std::vector<std::uint8_t>> frame;
            {
                std::lock_guard reading(_readMutex);
                frame = nextRequest();
            }
            if (!frame) break;
            // Verified when it was read.
            _writer.write(_service.answer(*flatbuffers::GetRoot<Envelope>(frame->data())));
        }
        CoUninitialize();
        std::lock_guard lock(_stateMutex);
        --_running;
        _changed.notify_all();
    }

    // The next verified request; none once the input has ended. Under _readMutex.
    std::optional<std::vector<std::uint8_t>> nextRequest()
    {
        if (_readEnded) return std::nullopt;
        for (;;) {
            if (std::optional<std::vector<std::uint8_t>> frame = _reader.next()) {
                std::string error;
                if (platform::remote::messageOf(*frame, error)) return frame;
                endInput(2, error);
                return std::nullopt;
            }
            const long got = readInput(_buffer.data(), _buffer.size());
            if (got <= 0) {
                endInput(0, {});
                return std::nullopt;
            }
            if (!_reader.feed(_buffer.data(), static_cast<std::size_t>(got))) {
                endInput(2, _reader.error());
                return std::nullopt;
            }
        }
    }

    // Under _readMutex.
    void endInput(int result, const std::string& reason)
    {
        _readEnded = true;
        std::lock_guard lock(_stateMutex);
        _inputEnded = true;
        _result = result;
        _reason = reason;
        _changed.notify_all();
    }

    AgentService& _service;
    FrameWriter& _writer;
    std::mutex _readMutex;
    platform::remote::FrameReader _reader;           // guarded by _readMutex
    std::vector<std::uint8_t> _buffer = std::vector<std::uint8_t>(64 * 1024);  // guarded by _readMutex
    bool _readEnded = false;                         // guarded by _readMutex
    std::mutex _stateMutex;
    std::condition_variable _changed;
    bool _inputEnded = false;    // guarded by _stateMutex
    int _result = 0;             // guarded by _stateMutex
    std::string _reason;         // guarded by _stateMutex
    unsigned _running = kWorkers;  // guarded by _stateMutex
    bool _finished = false;
    std::vector<std::thread> _threads;  // last: its threads use the members above
};

} // namespace

int serveStream(AgentService& service, FrameWriter& writer, std::string& reason, bool& stuck)
{
    RequestWorkers workers(service, writer);
    return workers.run(reason, stuck);
}

} // namespace agent
