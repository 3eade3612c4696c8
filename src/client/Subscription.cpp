// The group with every item, the data-change subscription (the DA 1.0 stream or the DA 2.0
// callback), and the entry through which data changes reach the items.
#include "CallDeadlines.h"
#include "ErrorString.h"
#include "Exception.h"
#include "Host.h"
#include "Logger.h"
#include "OPC_Connection.h"
#include "OPC_DataCallback0.h"
#include "OPC_DataCallback2.h"

using platform::ComPtr;

ComPtr<IUnknown> OPC_Connection::registerItems()
{
    ComPtr<IUnknown> group;
    OPCHANDLE serverGroup = 0;
    DWORD revisedRate = 0;
    LONG timeBias = 0;
    FLOAT deadband = 0.0f;
    IOPCServer* server = _data->iServer.get();
    HRESULT hr = connectStep("AddGroup", [&] {
        return server->AddGroup(OLESTR(""), TRUE, 100, kClientGroup, &timeBias, &deadband, 0, &serverGroup, &revisedRate,
                                IID_IUnknown, group.put());
    });
    if (SUCCEEDED(hr) && !group) hr = E_NOINTERFACE;
    if (FAILED(hr)) raiseLogged(textf("%s: AddGroup() Failed: %s", prefix().c_str(), ErrorString(hr).c_str()));

    platform::ComPtr<IOPCItemMgt> itemMgt;
    hr = connectStep("QueryInterface(IID_IOPCItemMgt)", [&] { return group.as(itemMgt); });
    _data->itemMgt = std::move(itemMgt);
    if (SUCCEEDED(hr) && !_data->itemMgt) hr = E_NOINTERFACE;
    if (FAILED(hr))
        raiseLogged(textf("%s: QueryInterface(IID_IOPCItemMgt) Failed: %s", prefix().c_str(), ErrorString(hr).c_str()));

    IOPCItemMgt* items = _data->itemMgt.get();
    platform::WideString accessPath;
    for (std::size_t i = 0; i < _data->items.size(); ++i) {
        OPC_Item* item = _data->items[i];
        platform::WideString id = toWide(item->itemId());
        OPCITEMDEF definition{};
        definition.szAccessPath = accessPath.data();
        definition.szItemID = id.data();
        definition.bActive = TRUE;
        definition.hClient = static_cast<OPCHANDLE>(i);
        definition.dwBlobSize = 0;
        definition.pBlob = nullptr;
        definition.vtRequestedDataType = VT_EMPTY;

        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        HRESULT answered = E_FAIL;
        hr = connectStep(
            "AddItems",
            [&] {
                answered = items->AddItems(1, &definition, &results, &errors);
                return answered;
            },
            [&] {
                if (results && SUCCEEDED(answered)) CoTaskMemFree(results[0].pBlob);
                CoTaskMemFree(results);
                CoTaskMemFree(errors);
            });
        if (hr != S_OK) {
            LOGG(2, "%s: AddItems( \"%s\" ) Failed: %s", prefix().c_str(), item->itemId().c_str(), ErrorString(hr).c_str());
        } else if (errors && errors[0] != S_OK) {
            LOGG(2, "%s: AddItems( \"%s\" ) return error: %s", prefix().c_str(), item->itemId().c_str(),
                 ErrorString(errors[0]).c_str());
        } else {
            LOGG(5, "%s: AddItems( \"%s\" ) Ok", prefix().c_str(), item->itemId().c_str());
        }
        if (results && SUCCEEDED(hr)) CoTaskMemFree(results[0].pBlob);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
    }
    return group;
}

void OPC_Connection::subscribe()
{
    _data->group = registerItems();
    const Subscription way = _interfaces.subscription;
    std::string failure = way == Subscription::Callback ? advise2() : advise0();
    const char* path = way == Subscription::Callback ? "the DA 2.0 callback (IOPCDataCallback)"
                                                     : "the DA 1.0 stream (IDataObject)";
    if (!failure.empty() && way == Subscription::Auto) {
        LOGG(5, "%s; trying the DA 2.0 callback", failure.c_str());
        // What the refused stream left is let go first: a group need not take both.
        unadvise0();
        releaseInterface(_data->iDataObject, "IDataObject::Release");
        const std::string callbackFailure = advise2();
        if (callbackFailure.empty()) {
            failure.clear();
            path = "the DA 2.0 callback (IOPCDataCallback)";
        } else {
            // The stream is the path the server should have had: its failure is the one shown.
            LOGG(2, "%s", callbackFailure.c_str());
        }
    }
    if (!failure.empty()) raiseLogged(failure);
    LOGG(5, "%s: data changes come through %s", prefix().c_str(), path);
}

std::string OPC_Connection::advise0()
{
    LOGG(6, "%s: advise0()", prefix().c_str());
    platform::ComPtr<IDataObject> dataObject;
    IUnknown* group = _data->group.get();
    HRESULT hr = connectStep("QueryInterface(IID_IDataObject)",
                             [&] { return group->QueryInterface(IID_IDataObject, dataObject.putVoid()); });
    _data->iDataObject = std::move(dataObject);
    if (hr == S_OK && !_data->iDataObject) hr = E_NOINTERFACE;
    if (hr != S_OK) return textf("%s: QueryInterface(IID_IDataObject) Failed: %s", prefix().c_str(), ErrorString(hr).c_str());

    OPC_DataCallback0* sink = nullptr;
    try {
        sink = new OPC_DataCallback0();
    } catch (const std::exception& e) {
        return textf("%s: new OPC_DataCallback() Failed: %s", prefix().c_str(), e.what());
    }
    sink->AddRef();  // the reference callback0 holds
    sink->setConnection(this);
    _data->callback0 = sink;

    FORMATETC format{Co::dataTimeFormat(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    IDataObject* subscription = _data->iDataObject.get();
    DWORD cookie = 0;
    hr = connectStep("IDataObject::DAdvise", [&] { return subscription->DAdvise(&format, 0, sink, &cookie); });
    _data->cookie0 = hr == S_OK ? cookie : 0;
    if (hr != S_OK) return textf("%s: IDataObject::DAdvise() Failed: %s", prefix().c_str(), ErrorString(hr).c_str());
    return {};
}

std::string OPC_Connection::advise2()
{
    LOGG(6, "%s: advise2()", prefix().c_str());
    platform::ComPtr<IConnectionPointContainer> container;
    IUnknown* group = _data->group.get();
    HRESULT hr = connectStep("QueryInterface(IID_IConnectionPointContainer)", [&] {
        return group->QueryInterface(IID_IConnectionPointContainer, container.putVoid());
    });
    if (SUCCEEDED(hr) && !container) hr = E_NOINTERFACE;
    if (FAILED(hr))
        return textf("%s: QueryInterface(IID_IConnectionPointContainer) Failed: %s", prefix().c_str(),
                     ErrorString(hr).c_str());
    platform::ComPtr<IConnectionPoint> point;
    hr = connectStep("FindConnectionPoint(IID_IOPCDataCallback)",
                     [&] { return container->FindConnectionPoint(IID_IOPCDataCallback, point.put()); });
    if (SUCCEEDED(hr) && !point) hr = E_NOINTERFACE;
    if (FAILED(hr))
        return textf("%s: FindConnectionPoint(IID_IOPCDataCallback) Failed: %s", prefix().c_str(),
                     ErrorString(hr).c_str());

    auto* sink = new OPC_DataCallback2(kClientGroup);
    sink->AddRef();  // the reference callback2 holds
    sink->setConnection(this);
    _data->callback2 = sink;
    _data->callbackPoint = std::move(point);
    IConnectionPoint* callbackPoint = _data->callbackPoint.get();
    DWORD cookie = 0;
    hr = connectStep("IConnectionPoint::Advise", [&] { return callbackPoint->Advise(sink, &cookie); });
    _data->cookie2 = SUCCEEDED(hr) ? cookie : 0;
    if (FAILED(hr))
        return textf("%s: IConnectionPoint::Advise(IOPCDataCallback) Failed: %s", prefix().c_str(),
                     ErrorString(hr).c_str());
    return {};
}

void OPC_Connection::unadvise()
{
    LOGG(6, "%s: unadvise()", prefix().c_str());
    unadvise0();
    unadvise2();
}

namespace {

// Gives back the connection's own reference to a sink it has detached. Releasing the sink to 0
// while a careless server still holds it would leave that server calling freed memory; detached,
// the sink ignores it and goes when the server lets it go.
template <class Sink>
void releaseSink(Sink* sink, const std::string& prefix, const char* name)
{
    if (!sink) return;
    // From here on no delivery reaches the connection, whatever the server still does with the
    // sink; a delivery that is running now is waited for.
    sink->detach();
    try {
        const ULONG left = sink->Release();
        if (left != 0)
            LOGG(2, "%s: the server still holds %u references to the data-change sink", prefix.c_str(),
                 static_cast<unsigned>(left));
    } catch (const Exception& e) {
        LOGG(2, "!!! Exception at [%s, line #%d] while( _data->%s->Release() ): %s", e.file().c_str(), e.line(), name,
             e.message().c_str());
    }
}

} // namespace

void OPC_Connection::unadvise0()
{
    if (_data->iDataObject && _data->cookie0 && !_data->serverGone && !_data->serverHung) {
        IDataObject* dataObject = _data->iDataObject.get();
        const DWORD cookie = std::exchange(_data->cookie0, 0);
        disconnectStep("IDataObject::DUnadvise", [&] { return dataObject->DUnadvise(cookie); });
    }
    releaseSink(std::exchange(_data->callback0, nullptr), prefix(), "callback0");
}

void OPC_Connection::unadvise2()
{
    if (_data->callbackPoint && _data->cookie2 && !_data->serverGone && !_data->serverHung) {
        IConnectionPoint* point = _data->callbackPoint.get();
        const DWORD cookie = std::exchange(_data->cookie2, 0);
        const HRESULT hr =
            disconnectStep("IConnectionPoint::Unadvise", [&] { return point->Unadvise(cookie); });
        if (FAILED(hr))
            LOGG(7, "%s: IConnectionPoint::Unadvise(IOPCDataCallback): %s", prefix().c_str(), ErrorString(hr).c_str());
    }
    releaseSink(std::exchange(_data->callback2, nullptr), prefix(), "callback2");
}

void OPC_Connection::onItemNewValue(DWORD handle, const VARIANT* value, const FILETIME* timeStamp, WORD quality)
{
    const auto& items = _data->items;
    if (handle < items.size()) {
        items[handle]->setValue(value, quality, timeStamp);
    } else {
        LOGG(2, "%s: onItemNewValue: unknown item #%d", prefix().c_str(), static_cast<int>(handle));
    }
}
