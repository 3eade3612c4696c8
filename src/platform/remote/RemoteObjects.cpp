#include "RemoteObjects.h"

#include "AgentHosts.h"
#include "ValueCoding.h"
#include "platform/ComRuntime.h"

#include <cstring>
#include <deque>

namespace platform::remote {

using namespace tagvista::agent;
namespace fb = flatbuffers;

namespace {

// Names asked of the agent at once while the program takes them one by one.
constexpr std::uint32_t kNamesPerRequest = 1000;

std::vector<std::uint8_t> guidBytes(const GUID& guid)
{
    std::vector<std::uint8_t> bytes(sizeof(GUID));
    std::memcpy(bytes.data(), &guid, sizeof(GUID));
    return bytes;
}

std::string utf8Of(LPCWSTR text)
{
    return text ? utf16ToUtf8(WideStringView(text)) : std::string();
}

// A copy of text in task memory, as an [out] string of COM is handed over.
LPWSTR taskString(WideStringView text)
{
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (!copy) return nullptr;
    std::memcpy(copy, text.data(), text.size() * sizeof(WCHAR));
    copy[text.size()] = 0;
    return copy;
}

// One request and its answer of the expected kind, with the code the program sees for what went
// wrong: RPC_E_DISCONNECTED when the channel has gone, the agent's code for a Failure.
template <class Answer>
HRESULT ask(AgentChannel& channel, const AgentChannel::BodyBuilder& build, const Answer*& answer,
            std::optional<AgentChannel::Answer>& holder)
{
    std::string error;
    holder = channel.call(build, error);
    if (!holder) {
        setFailureDetail(static_cast<std::uint32_t>(RPC_E_DISCONNECTED), error);
        return RPC_E_DISCONNECTED;
    }
    if (const Failure* failure = holder->envelope->body_as_Failure()) {
        if (failure->text()) setFailureDetail(static_cast<std::uint32_t>(failure->code()), failure->text()->str());
        return FAILED(failure->code()) ? failure->code() : E_FAIL;
    }
    answer = holder->envelope->body_as<Answer>();
    if (!answer) {
        setFailureDetail(static_cast<std::uint32_t>(RPC_E_INVALID_DATA),
                         channel.host() + ": the agent answered with " + bodyName(holder->envelope->body_type()));
        return RPC_E_INVALID_DATA;
    }
    return S_OK;
}

// The sinks of a proxy's advises by connection number, one reference each. Any thread.
class AdviseSinks {
public:
    // Takes the reference.
    void add(std::uint32_t connection, IUnknown* sink)
    {
        std::lock_guard lock(_mutex);
        _sinks[connection] = sink;
    }
    // The sink with its reference, for the caller to let go; null when there is none.
    IUnknown* take(std::uint32_t connection)
    {
        std::lock_guard lock(_mutex);
        const auto found = _sinks.find(connection);
        if (found == _sinks.end()) return nullptr;
        IUnknown* sink = found->second;
        _sinks.erase(found);
        return sink;
    }
    std::vector<std::uint32_t> connections() const
    {
        std::lock_guard lock(_mutex);
        std::vector<std::uint32_t> numbers;
        for (const auto& [connection, sink] : _sinks) numbers.push_back(connection);
        return numbers;
    }

private:
    mutable std::mutex _mutex;
    std::map<std::uint32_t, IUnknown*> _sinks;  // guarded by _mutex
};

// What every proxy holds: the channel and the agent's number for the object, released there
// when the proxy goes.
class RemoteObject {
protected:
    RemoteObject(std::shared_ptr<AgentChannel> channel, std::uint64_t object)
        : _channel(std::move(channel)), _object(object)
    {
    }
    ~RemoteObject()
    {
        if (_channel->ended()) return;
        std::optional<AgentChannel::Answer> holder;
        const Result* result = nullptr;
        const std::uint64_t object = _object;
        ask(*_channel,
            [object](fb::FlatBufferBuilder& builder) {
                return std::make_pair(Body::ReleaseObject, CreateReleaseObject(builder, object).Union());
            },
            result, holder);
    }

    // QueryInterface of the remote object: the new object's number, 0 when it has none.
    HRESULT queryRemote(REFIID iid, std::uint64_t& object)
    {
        std::optional<AgentChannel::Answer> holder;
        const ObjectAnswer* answer = nullptr;
        const std::uint64_t self = _object;
        const std::vector<std::uint8_t> bytes = guidBytes(iid);
        HRESULT hr = ask(*_channel,
                         [&](fb::FlatBufferBuilder& builder) {
                             return std::make_pair(Body::Query, CreateQuery(builder, self, builder.CreateVector(bytes)).Union());
                         },
                         answer, holder);
        if (FAILED(hr)) return hr;
        if (FAILED(answer->hr())) return answer->hr();
        if (answer->object() == 0) return E_NOINTERFACE;
        object = answer->object();
        return S_OK;
    }

    // The object's connection point container, as a proxy of its own.
    HRESULT queryContainer(void** ppv);

    // Ends an advise made through this object: no notice reaches the sink (whose reference it
    // takes) after this, then the agent ends its own advise.
    HRESULT endAdvise(std::uint32_t connection, IUnknown* sink)
    {
        _channel->removeNoticeHandler(connection);
        sink->Release();
        if (_channel->ended()) return S_OK;
        std::optional<AgentChannel::Answer> holder;
        const Result* answer = nullptr;
        const std::uint64_t object = _object;
        const HRESULT hr = ask(*_channel,
                               [&](fb::FlatBufferBuilder& builder) {
                                   return std::make_pair(Body::Unadvise, CreateUnadvise(builder, object, connection).Union());
                               },
                               answer, holder);
        return FAILED(hr) ? hr : answer->hr();
    }

    std::shared_ptr<AgentChannel> _channel;
    const std::uint64_t _object;
};

// A name list of the browser: asks for names a thousand at a time and hands them out as asked.
class RemoteEnumString final : public ComObject<IEnumString>, RemoteObject {
public:
    RemoteEnumString(std::shared_ptr<AgentChannel> channel, std::uint64_t object) : RemoteObject(std::move(channel), object) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override
    {
        if (!rgelt || (celt > 1 && !pceltFetched)) return E_INVALIDARG;
        ULONG fetched = 0;
        while (fetched < celt) {
            if (_names.empty()) {
                if (_ended) break;
                const HRESULT hr = fill(std::max<std::uint32_t>(celt - fetched, kNamesPerRequest));
                if (FAILED(hr)) {
                    for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(rgelt[i]);
                    if (pceltFetched) *pceltFetched = 0;
                    return hr;
                }
                if (_names.empty()) break;
            }
            LPWSTR copy = taskString(_names.front());
            if (!copy) return E_OUTOFMEMORY;
            rgelt[fetched++] = copy;
            _names.pop_front();
        }
        if (pceltFetched) *pceltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumString** ppenum) override
    {
        if (ppenum) *ppenum = nullptr;
        return E_NOTIMPL;
    }

private:
    HRESULT fill(std::uint32_t count)
    {
        std::optional<AgentChannel::Answer> holder;
        const NamesAnswer* answer = nullptr;
        const std::uint64_t object = _object;
        const HRESULT hr = ask(*_channel,
                               [&](fb::FlatBufferBuilder& builder) {
                                   return std::make_pair(Body::NextNames, CreateNextNames(builder, object, count).Union());
                               },
                               answer, holder);
        if (FAILED(hr)) return hr;
        if (FAILED(answer->hr())) return answer->hr();
        if (answer->names()) {
            // An agent that sends more than asked is not believed past the count.
            std::uint32_t taken = 0;
            for (const fb::String* name : *answer->names()) {
                if (taken++ == count) break;
                _names.push_back(utf8ToUtf16(name ? name->string_view() : std::string_view()));
            }
        }
        // Fewer than asked (S_FALSE): the list has ended.
        if (answer->hr() != S_OK || _names.size() < count) _ended = true;
        return S_OK;
    }

    std::deque<WideString> _names;
    bool _ended = false;
};

class RemoteBrowser final : public ComObject<IOPCBrowseServerAddressSpace>, RemoteObject {
public:
    RemoteBrowser(std::shared_ptr<AgentChannel> channel, std::uint64_t object) : RemoteObject(std::move(channel), object) {}

    HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION direction, LPCWSTR name) override
    {
        std::optional<AgentChannel::Answer> holder;
        const Result* answer = nullptr;
        const std::uint64_t object = _object;
        const std::string text = utf8Of(name);
        const HRESULT hr = ask(*_channel,
                               [&](fb::FlatBufferBuilder& builder) {
                                   return std::make_pair(Body::ChangeBrowsePosition,
                                                         CreateChangeBrowsePosition(builder, object, direction,
                                                                                    builder.CreateString(text))
                                                             .Union());
                               },
                               answer, holder);
        return FAILED(hr) ? hr : answer->hr();
    }
    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE dataType, DWORD accessRights,
                                               IEnumString** names) override
    {
        if (!names) return E_INVALIDARG;
        *names = nullptr;
        std::optional<AgentChannel::Answer> holder;
        const ObjectAnswer* answer = nullptr;
        const std::uint64_t object = _object;
        const std::string text = utf8Of(filter);
        HRESULT hr = ask(*_channel,
                         [&](fb::FlatBufferBuilder& builder) {
                             return std::make_pair(Body::BrowseItemIds,
                                                   CreateBrowseItemIds(builder, object, type, builder.CreateString(text),
                                                                       dataType, accessRights)
                                                       .Union());
                         },
                         answer, holder);
        if (FAILED(hr)) return hr;
        if (FAILED(answer->hr())) return answer->hr();
        if (answer->object() == 0) return answer->hr();  // S_FALSE without a list is the server's
        auto* list = new RemoteEnumString(_channel, answer->object());
        list->AddRef();
        *names = list;
        return answer->hr();
    }
    HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR, LPWSTR* itemId) override
    {
        if (itemId) *itemId = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR, IEnumString** names) override
    {
        if (names) *names = nullptr;
        return E_NOTIMPL;
    }
};

// A connection point of the server (IOPCShutdown) or of a group (IOPCDataCallback): each
// advise is made there with a sink of the agent's, whose calls come back through the channel
// and are made on the program's sink, on the channel's reader thread.
class RemoteConnectionPoint final : public ComObject<IConnectionPoint>, RemoteObject {
public:
    RemoteConnectionPoint(std::shared_ptr<AgentChannel> channel, std::uint64_t object, const IID& iid)
        : RemoteObject(std::move(channel), object), _iid(iid)
    {
    }
    ~RemoteConnectionPoint() override
    {
        for (std::uint32_t connection : _sinks.connections()) Unadvise(connection);
    }

    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override
    {
        if (!iid) return E_POINTER;
        *iid = _iid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override
    {
        if (container) *container = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override
    {
        if (!sink || !cookie) return E_POINTER;
        *cookie = 0;
        IUnknown* typed = nullptr;
        if (FAILED(sink->QueryInterface(_iid, reinterpret_cast<void**>(&typed))) || !typed) return CONNECT_E_CANNOTCONNECT;
        std::optional<AgentChannel::Answer> holder;
        const AdviseAnswer* answer = nullptr;
        const std::uint64_t object = _object;
        HRESULT hr = ask(*_channel,
                         [&](fb::FlatBufferBuilder& builder) {
                             return std::make_pair(Body::AdviseConnection, CreateAdviseConnection(builder, object).Union());
                         },
                         answer, holder);
        if (SUCCEEDED(hr)) hr = answer->hr();
        if (FAILED(hr) || answer->connection() == 0) {
            typed->Release();
            return FAILED(hr) ? hr : CONNECT_E_CANNOTCONNECT;
        }
        const std::uint32_t connection = answer->connection();
        _sinks.add(connection, typed);  // the reference QueryInterface gave
        if (IsEqualIID(_iid, IID_IOPCShutdown))
            _channel->setNoticeHandler(connection, [sink = static_cast<IOPCShutdown*>(typed)](const Envelope& notice) {
                deliverShutdown(*sink, notice);
            });
        else
            _channel->setNoticeHandler(connection, [sink = static_cast<IOPCDataCallback*>(typed)](const Envelope& notice) {
                deliverCallback(*sink, notice);
            });
        *cookie = connection;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override
    {
        IUnknown* sink = _sinks.take(cookie);
        return sink ? endAdvise(cookie, sink) : CONNECT_E_NOCONNECTION;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override
    {
        if (connections) *connections = nullptr;
        return E_NOTIMPL;
    }

private:
    static void deliverShutdown(IOPCShutdown& sink, const Envelope& notice)
    {
        const Shutdown* shutdown = notice.body_as_Shutdown();
        if (!shutdown) return;
        const WideString reason = utf8ToUtf16(shutdown->reason() ? shutdown->reason()->string_view() : std::string_view());
        sink.ShutdownRequest(shutdown->reason() ? reason.c_str() : nullptr);
    }

    static void deliverCallback(IOPCDataCallback& sink, const Envelope& notice)
    {
        const Callback* callback = notice.body_as_Callback();
        if (!callback) return;
        const DWORD count = callback->items() ? callback->items()->size() : 0;
        std::vector<OPCHANDLE> handles(count);
        std::vector<VARIANT> values(count);
        std::vector<WORD> qualities(count);
        std::vector<FILETIME> times(count);
        std::vector<HRESULT> errors(count);
        for (DWORD i = 0; i < count; ++i) {
            const CallbackItem* item = callback->items()->Get(i);
            VariantInit(&values[i]);
            if (!item) {
                errors[i] = RPC_E_INVALID_DATA;
                continue;
            }
            handles[i] = item->client();
            qualities[i] = item->quality();
            times[i] = FILETIME{static_cast<DWORD>(item->time() & 0xFFFFFFFFu), static_cast<DWORD>(item->time() >> 32)};
            errors[i] = item->error();
            // A value this end cannot make is the item's error, not the call's.
            if (!decodeValue(item->value(), values[i])) {
                errors[i] = DISP_E_BADVARTYPE;
                qualities[i] = OPC_QUALITY_BAD;
            }
        }
        sink.OnDataChange(callback->transaction(), callback->group(), callback->master_quality(),
                          callback->master_error(), count, handles.data(), values.data(), qualities.data(), times.data(),
                          errors.data());
        for (VARIANT& value : values) VariantClear(&value);
    }

    const IID _iid;
    AdviseSinks _sinks;  // of the point's interface
};

// A connection point container of the server or of a group.
class RemoteConnectionPointContainer final : public ComObject<IConnectionPointContainer>, RemoteObject {
public:
    RemoteConnectionPointContainer(std::shared_ptr<AgentChannel> channel, std::uint64_t object)
        : RemoteObject(std::move(channel), object)
    {
    }

    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** points) override
    {
        if (points) *points = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override
    {
        if (!point) return E_POINTER;
        *point = nullptr;
        // Only these two have sinks the agent can stand in for.
        if (!IsEqualIID(iid, IID_IOPCShutdown) && !IsEqualIID(iid, IID_IOPCDataCallback)) return CONNECT_E_NOCONNECTION;
        std::optional<AgentChannel::Answer> holder;
        const ObjectAnswer* answer = nullptr;
        const std::uint64_t object = _object;
        const std::vector<std::uint8_t> bytes = guidBytes(iid);
        HRESULT hr = ask(*_channel,
                         [&](fb::FlatBufferBuilder& builder) {
                             return std::make_pair(Body::FindConnectionPoint,
                                                   CreateFindConnectionPoint(builder, object, builder.CreateVector(bytes)).Union());
                         },
                         answer, holder);
        if (FAILED(hr)) return hr;
        if (FAILED(answer->hr())) return answer->hr();
        if (answer->object() == 0) return CONNECT_E_NOCONNECTION;
        auto* proxy = new RemoteConnectionPoint(_channel, answer->object(), iid);
        proxy->AddRef();
        *point = proxy;
        return S_OK;
    }
};

// The DA 3.0 browser.
class RemoteBrowse final : public ComObject<IOPCBrowse>, RemoteObject {
public:
    RemoteBrowse(std::shared_ptr<AgentChannel> channel, std::uint64_t object) : RemoteObject(std::move(channel), object) {}

    HRESULT STDMETHODCALLTYPE GetProperties(DWORD, LPWSTR*, BOOL, DWORD, DWORD*, OPCITEMPROPERTIES** properties) override
    {
        if (properties) *properties = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Browse(LPWSTR itemId, LPWSTR* continuation, DWORD maxElements, OPCBROWSEFILTER filter,
                                     LPWSTR nameFilter, LPWSTR vendorFilter, BOOL allProperties, BOOL propertyValues,
                                     DWORD propertyCount, DWORD* propertyIds, BOOL* more, DWORD* count,
                                     OPCBROWSEELEMENT** elements) override
    {
        if (!continuation || !more || !count || !elements || (propertyCount > 0 && !propertyIds)) return E_INVALIDARG;
        *more = FALSE;
        *count = 0;
        *elements = nullptr;
        std::optional<AgentChannel::Answer> holder;
        const BrowseAnswer* answer = nullptr;
        const std::uint64_t object = _object;
        const bool hasPoint = *continuation != nullptr;
        const std::string point = utf8Of(*continuation);
        const std::vector<std::uint32_t> ids(propertyIds, propertyIds + propertyCount);
        HRESULT hr = ask(*_channel,
                         [&](fb::FlatBufferBuilder& builder) {
                             const auto pointText = hasPoint ? builder.CreateString(point) : fb::Offset<fb::String>();
                             return std::make_pair(
                                 Body::Browse,
                                 CreateBrowse(builder, object, builder.CreateString(utf8Of(itemId)), pointText, maxElements,
                                              filter, builder.CreateString(utf8Of(nameFilter)),
                                              builder.CreateString(utf8Of(vendorFilter)), allProperties != FALSE,
                                              propertyValues != FALSE, builder.CreateVector(ids))
                                     .Union());
                         },
                         answer, holder);
        if (FAILED(hr)) return hr;
        // The point given in is the callee's to free; the one it hands out, the caller's.
        CoTaskMemFree(*continuation);
        *continuation = answer->continuation() ? taskString(utf8ToUtf16(answer->continuation()->string_view())) : nullptr;
        if (FAILED(answer->hr())) return answer->hr();
        const DWORD received = answer->elements() ? answer->elements()->size() : 0;
        if (received > 0) {
            auto* out = static_cast<OPCBROWSEELEMENT*>(CoTaskMemAlloc(sizeof(OPCBROWSEELEMENT) * received));
            if (!out) return E_OUTOFMEMORY;
            for (DWORD i = 0; i < received; ++i) out[i] = elementOf(answer->elements()->Get(i));
            *elements = out;
        }
        *count = received;
        *more = answer->more() ? TRUE : FALSE;
        return answer->hr();
    }

private:
    static LPWSTR taskText(const fb::String* text)
    {
        return taskString(utf8ToUtf16(text ? text->string_view() : std::string_view()));
    }

    static OPCBROWSEELEMENT elementOf(const BrowseElement* element)
    {
        OPCBROWSEELEMENT out{};
        if (!element) return out;
        out.szName = taskText(element->name());
        out.szItemID = taskText(element->item_id());
        out.dwFlagValue = element->flags();
        out.ItemProperties.hrErrorID = element->properties_error();
        const DWORD count = element->properties() ? element->properties()->size() : 0;
        if (count == 0) return out;
        auto* properties = static_cast<OPCITEMPROPERTY*>(CoTaskMemAlloc(sizeof(OPCITEMPROPERTY) * count));
        if (!properties) {
            out.ItemProperties.hrErrorID = E_OUTOFMEMORY;
            return out;
        }
        for (DWORD i = 0; i < count; ++i) {
            const ItemProperty* property = element->properties()->Get(i);
            OPCITEMPROPERTY& target = properties[i];
            target = OPCITEMPROPERTY{};
            VariantInit(&target.vValue);
            if (!property) {
                target.hrErrorID = RPC_E_INVALID_DATA;
                continue;
            }
            target.dwPropertyID = property->id();
            target.szItemID = taskText(property->item_id());
            target.szDescription = taskText(property->description());
            target.vtDataType = property->data_type();
            target.hrErrorID = property->error();
            if (!decodeValue(property->value(), target.vValue)) target.hrErrorID = DISP_E_BADVARTYPE;
        }
        out.ItemProperties.dwNumProperties = count;
        out.ItemProperties.pItemProperties = properties;
        return out;
    }
};

HRESULT RemoteObject::queryContainer(void** ppv)
{
    std::uint64_t object = 0;
    const HRESULT hr = queryRemote(IID_IConnectionPointContainer, object);
    if (FAILED(hr)) return hr;
    auto* container = new RemoteConnectionPointContainer(_channel, object);
    container->AddRef();
    *ppv = static_cast<IConnectionPointContainer*>(container);
    return S_OK;
}

// The group: its items and its stream. Each advise is received through the channel and handed
// to the program's sink as a block in global memory, as a local server would hand it.
class RemoteGroup final : public ComObject<IOPCItemMgt, IDataObject>, RemoteObject {
public:
    RemoteGroup(std::shared_ptr<AgentChannel> channel, std::uint64_t object, bool itemMgt, bool dataObject)
        : RemoteObject(std::move(channel), object), _hasItemMgt(itemMgt), _hasDataObject(dataObject)
    {
    }
    ~RemoteGroup() override
    {
        for (std::uint32_t connection : _sinks.connections()) DUnadvise(connection);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if ((IsEqualIID(riid, IID_IOPCItemMgt) && !_hasItemMgt) || (IsEqualIID(riid, IID_IDataObject) && !_hasDataObject))
            return E_NOINTERFACE;
        if (IsEqualIID(riid, IID_IConnectionPointContainer)) return queryContainer(ppv);
        return ComObject::QueryInterface(riid, ppv);
    }

    // --- IOPCItemMgt
    HRESULT STDMETHODCALLTYPE AddItems(DWORD count, OPCITEMDEF* items, OPCITEMRESULT** results, HRESULT** errors) override
    {
        if (!items || !results || !errors || count == 0) return E_INVALIDARG;
        *results = nullptr;
        *errors = nullptr;
        std::optional<AgentChannel::Answer> holder;
        const ItemsAnswer* answer = nullptr;
        const std::uint64_t object = _object;
        HRESULT hr = ask(*_channel,
                         [&](fb::FlatBufferBuilder& builder) {
                             std::vector<fb::Offset<ItemDefinition>> definitions;
                             for (DWORD i = 0; i < count; ++i)
                                 definitions.push_back(CreateItemDefinition(
                                     builder, builder.CreateString(utf8Of(items[i].szAccessPath)),
                                     builder.CreateString(utf8Of(items[i].szItemID)), items[i].bActive != FALSE,
                                     items[i].hClient, items[i].vtRequestedDataType));
                             return std::make_pair(Body::AddItems,
                                                   CreateAddItems(builder, object, builder.CreateVector(definitions)).Union());
                         },
                         answer, holder);
        if (FAILED(hr)) return hr;
        if (FAILED(answer->hr())) return answer->hr();
        if (!answer->results() || answer->results()->size() != count) {
            setFailureDetail(static_cast<std::uint32_t>(RPC_E_INVALID_DATA),
                             _channel->host() + ": the agent answered AddItems with another count of results");
            return RPC_E_INVALID_DATA;
        }
        auto* out = static_cast<OPCITEMRESULT*>(CoTaskMemAlloc(sizeof(OPCITEMRESULT) * count));
        auto* codes = static_cast<HRESULT*>(CoTaskMemAlloc(sizeof(HRESULT) * count));
        if (!out || !codes) {
            CoTaskMemFree(out);
            CoTaskMemFree(codes);
            return E_OUTOFMEMORY;
        }
        for (DWORD i = 0; i < count; ++i) {
            const ItemResult* result = answer->results()->Get(i);
            out[i] = OPCITEMRESULT{};
            codes[i] = result ? result->error() : E_FAIL;
            if (!result) continue;
            out[i].hServer = result->server();
            out[i].vtCanonicalDataType = result->canonical_type();
            out[i].dwAccessRights = result->access_rights();
        }
        *results = out;
        *errors = codes;
        return answer->hr();
    }
    HRESULT STDMETHODCALLTYPE ValidateItems(DWORD, OPCITEMDEF*, BOOL, OPCITEMRESULT**, HRESULT**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RemoveItems(DWORD, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetActiveState(DWORD, OPCHANDLE*, BOOL, HRESULT**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD, OPCHANDLE*, OPCHANDLE*, HRESULT**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD, OPCHANDLE*, VARTYPE*, HRESULT**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID, IUnknown** ppUnk) override
    {
        if (ppUnk) *ppUnk = nullptr;
        return E_NOTIMPL;
    }

    // --- IDataObject
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC** ppenum) override
    {
        if (ppenum) *ppenum = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* format, DWORD, IAdviseSink* sink, DWORD* connection) override
    {
        if (!format || !sink || !connection) return E_INVALIDARG;
        *connection = 0;
        if (format->tymed != TYMED_HGLOBAL) return DV_E_TYMED;
        std::optional<AgentChannel::Answer> holder;
        const AdviseAnswer* answer = nullptr;
        const std::uint64_t object = _object;
        // The format's name is what both computers agree on; its number is each one's own. The
        // agent registers "OPCSTMFORMATDATATIME" there.
        const std::uint32_t clipboardFormat = format->cfFormat;
        HRESULT hr = ask(*_channel,
                         [&](fb::FlatBufferBuilder& builder) {
                             return std::make_pair(Body::Advise, CreateAdvise(builder, object, clipboardFormat).Union());
                         },
                         answer, holder);
        if (FAILED(hr)) return hr;
        if (FAILED(answer->hr())) return answer->hr();
        const FORMATETC delivered = *format;
        sink->AddRef();
        _sinks.add(answer->connection(), sink);
        _channel->setDataChangeHandler(answer->connection(), [sink, delivered](const std::uint8_t* block, std::size_t size) {
            HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, size);
            if (!memory) return;
            if (void* bytes = GlobalLock(memory)) {
                std::memcpy(bytes, block, size);
                GlobalUnlock(memory);
            }
            FORMATETC format = delivered;
            STGMEDIUM medium{};
            medium.tymed = TYMED_HGLOBAL;
            medium.hGlobal = memory;
            sink->OnDataChange(&format, &medium);
            GlobalFree(memory);
        });
        *connection = answer->connection();
        return answer->hr();
    }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD connection) override
    {
        IUnknown* sink = _sinks.take(connection);
        return sink ? endAdvise(connection, sink) : OLE_E_NOCONNECTION;
    }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** ppenum) override
    {
        if (ppenum) *ppenum = nullptr;
        return E_NOTIMPL;
    }

private:
    const bool _hasItemMgt;
    const bool _hasDataObject;
    AdviseSinks _sinks;  // IAdviseSinks
};

class RemoteServer final : public ComObject<IOPCServer>, RemoteObject {
public:
    RemoteServer(std::shared_ptr<AgentChannel> channel, std::uint64_t object) : RemoteObject(std::move(channel), object) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCServer)) return ComObject::QueryInterface(riid, ppv);
        if (IsEqualIID(riid, IID_IConnectionPointContainer)) return queryContainer(ppv);
        if (!IsEqualIID(riid, IID_IOPCBrowseServerAddressSpace) && !IsEqualIID(riid, IID_IOPCBrowse)) return E_NOINTERFACE;
        std::uint64_t object = 0;
        const HRESULT hr = queryRemote(riid, object);
        if (FAILED(hr)) return hr;
        if (IsEqualIID(riid, IID_IOPCBrowse)) {
            auto* browser = new RemoteBrowse(_channel, object);
            browser->AddRef();
            *ppv = static_cast<IOPCBrowse*>(browser);
            return S_OK;
        }
        auto* browser = new RemoteBrowser(_channel, object);
        browser->AddRef();
        *ppv = static_cast<IOPCBrowseServerAddressSpace*>(browser);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR name, BOOL active, DWORD requestedRate, OPCHANDLE clientGroup, LONG* timeBias,
                                       FLOAT* deadband, DWORD locale, OPCHANDLE* serverGroup, DWORD* revisedRate,
                                       REFIID riid, IUnknown** group) override
    {
        if (!serverGroup || !revisedRate || !group) return E_INVALIDARG;
        *group = nullptr;
        std::optional<AgentChannel::Answer> holder;
        const GroupAnswer* answer = nullptr;
        const std::uint64_t object = _object;
        const std::string text = utf8Of(name);
        HRESULT hr = ask(*_channel,
                         [&](fb::FlatBufferBuilder& builder) {
                             return std::make_pair(
                                 Body::AddGroup,
                                 CreateAddGroup(builder, object, builder.CreateString(text), active != FALSE, requestedRate,
                                                clientGroup, timeBias ? *timeBias : 0, timeBias != nullptr,
                                                deadband ? *deadband : 0.0f, deadband != nullptr, locale)
                                     .Union());
                         },
                         answer, holder);
        if (FAILED(hr)) return hr;
        if (FAILED(answer->hr())) return answer->hr();
        if (answer->object() == 0) return E_NOINTERFACE;
        auto* proxy = new RemoteGroup(_channel, answer->object(), answer->has_item_mgt(), answer->has_data_object());
        proxy->AddRef();
        hr = proxy->QueryInterface(riid, reinterpret_cast<void**>(group));
        proxy->Release();
        if (FAILED(hr)) return hr;
        *serverGroup = answer->server_group();
        *revisedRate = answer->revised_rate();
        return answer->hr();
    }
    HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT, LCID, LPWSTR* text) override
    {
        if (text) *text = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR, REFIID, IUnknown** group) override
    {
        if (group) *group = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** status) override
    {
        if (!status) return E_INVALIDARG;
        *status = nullptr;
        std::optional<AgentChannel::Answer> holder;
        const StatusAnswer* answer = nullptr;
        const std::uint64_t object = _object;
        HRESULT hr = ask(*_channel,
                         [&](fb::FlatBufferBuilder& builder) {
                             return std::make_pair(Body::GetStatus, CreateGetStatus(builder, object).Union());
                         },
                         answer, holder);
        if (FAILED(hr)) return hr;
        if (FAILED(answer->hr()) || !answer->has_status()) return answer->hr();
        auto* out = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
        if (!out) return E_OUTOFMEMORY;
        *out = OPCSERVERSTATUS{};
        auto fileTime = [](std::uint64_t value) {
            return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
        };
        out->ftStartTime = fileTime(answer->start_time());
        out->ftCurrentTime = fileTime(answer->current_time());
        out->ftLastUpdateTime = fileTime(answer->last_update_time());
        out->dwServerState = static_cast<OPCSERVERSTATE>(answer->server_state());
        out->dwGroupCount = answer->group_count();
        out->dwBandWidth = answer->band_width();
        out->wMajorVersion = answer->major_version();
        out->wMinorVersion = answer->minor_version();
        out->wBuildNumber = answer->build_number();
        out->szVendorInfo = answer->vendor_info() ? taskString(utf8ToUtf16(answer->vendor_info()->string_view())) : nullptr;
        *status = out;
        return answer->hr();
    }
    HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE, REFIID, IUnknown** groups) override
    {
        if (groups) *groups = nullptr;
        return E_NOTIMPL;
    }
};

} // namespace

HRESULT createRemoteServer(const std::string& host, REFCLSID clsid, IUnknown** server)
{
    *server = nullptr;
    std::string error;
    const std::shared_ptr<AgentChannel> channel = agentFor(host, error);
    const HRESULT unavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
    if (!channel) {
        setFailureDetail(static_cast<std::uint32_t>(unavailable), causeWithoutHost(host, error));
        return unavailable;
    }
    std::optional<AgentChannel::Answer> holder;
    const ObjectAnswer* answer = nullptr;
    const std::vector<std::uint8_t> bytes = guidBytes(clsid);
    HRESULT hr = ask(*channel,
                     [&](fb::FlatBufferBuilder& builder) {
                         return std::make_pair(Body::CreateServer, CreateCreateServer(builder, builder.CreateVector(bytes)).Union());
                     },
                     answer, holder);
    if (FAILED(hr)) return hr;
    if (FAILED(answer->hr())) return answer->hr();
    if (answer->object() == 0) return E_NOINTERFACE;
    clearFailureDetail();
    auto* proxy = new RemoteServer(channel, answer->object());
    proxy->AddRef();
    *server = static_cast<IOPCServer*>(proxy);
    return S_OK;
}

HRESULT createRemoteInstance(const std::string& host, REFCLSID clsid, IUnknown* outer, DWORD context, DWORD count,
                             MULTI_QI* results)
{
    if (count == 0 || !results) return E_INVALIDARG;
    for (DWORD i = 0; i < count; ++i) {
        if (!results[i].pIID) return E_INVALIDARG;
        results[i].pItf = nullptr;
    }
    HRESULT hr = S_OK;
    if (!platform::comInitialized())
        hr = CO_E_NOTINITIALIZED;
    else if (!(context & CLSCTX_REMOTE_SERVER))
        hr = REGDB_E_CLASSNOTREG;
    else if (outer)
        hr = CLASS_E_NOAGGREGATION;
    IUnknown* object = nullptr;
    if (SUCCEEDED(hr)) hr = createRemoteServer(host, clsid, &object);
    if (FAILED(hr)) {
        for (DWORD i = 0; i < count; ++i) results[i].hr = hr;
        return hr;
    }
    // The proxy answers the interfaces asked for like a local object.
    return platform::answerQueries(object, count, results);
}

} // namespace platform::remote
