// The group with every item, the DA 1.0 data-change subscription, and the entry through which
// data changes reach the items.
#include "CallDeadlines.h"
#include "ErrorString.h"
#include "Exception.h"
#include "Host.h"
#include "Logger.h"
#include "OPC_Connection.h"
#include "OPC_DataCallback0.h"

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
        return server->AddGroup(OLESTR(""), TRUE, 100, 1234, &timeBias, &deadband, 0, &serverGroup, &revisedRate,
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
        platform::WideString id = toWide(item->path());
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
            LOGG(2, "%s: AddItems( \"%s\" ) Failed: %s", prefix().c_str(), item->path().c_str(), ErrorString(hr).c_str());
        } else if (errors && errors[0] != S_OK) {
            LOGG(2, "%s: AddItems( \"%s\" ) return error: %s", prefix().c_str(), item->path().c_str(),
                 ErrorString(errors[0]).c_str());
        } else {
            LOGG(5, "%s: AddItems( \"%s\" ) Ok", prefix().c_str(), item->path().c_str());
        }
        if (results && SUCCEEDED(hr)) CoTaskMemFree(results[0].pBlob);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
    }
    return group;
}

void OPC_Connection::advise0()
{
    LOGG(6, "%s: advise0()", prefix().c_str());
    _data->group = registerItems();

    platform::ComPtr<IDataObject> dataObject;
    IUnknown* group = _data->group.get();
    HRESULT hr = connectStep("QueryInterface(IID_IDataObject)",
                             [&] { return group->QueryInterface(IID_IDataObject, dataObject.putVoid()); });
    _data->iDataObject = std::move(dataObject);
    if (hr == S_OK && !_data->iDataObject) hr = E_NOINTERFACE;
    if (hr != S_OK)
        raiseLogged(textf("%s: QueryInterface(IID_IDataObject) Failed: %s", prefix().c_str(), ErrorString(hr).c_str()));

    OPC_DataCallback0* sink = nullptr;
    try {
        sink = new OPC_DataCallback0();
    } catch (const std::exception& e) {
        raiseLogged(textf("%s: new OPC_DataCallback() Failed: %s", prefix().c_str(), e.what()));
    }
    sink->AddRef();  // the reference callback0 holds
    sink->setConnection(this);
    _data->callback0 = sink;

    FORMATETC format{Co::dataTimeFormat(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    IDataObject* subscription = _data->iDataObject.get();
    DWORD cookie = 0;
    hr = connectStep("IDataObject::DAdvise", [&] { return subscription->DAdvise(&format, 0, sink, &cookie); });
    _data->cookie0 = cookie;
    if (hr != S_OK)
        raiseLogged(textf("%s: IDataObject::DAdvise() Failed: %s", prefix().c_str(), ErrorString(hr).c_str()));
}

void OPC_Connection::unadvise()
{
    LOGG(6, "%s: unadvise()", prefix().c_str());
    if (_data->iDataObject && _data->cookie0 && !_data->serverGone && !_data->serverHung) {
        IDataObject* dataObject = _data->iDataObject.get();
        const DWORD cookie = _data->cookie0;
        disconnectStep("IDataObject::DUnadvise", [&] { return dataObject->DUnadvise(cookie); });
    }
    OPC_DataCallback0* sink = std::exchange(_data->callback0, nullptr);
    if (!sink) return;
    // From here on no delivery reaches the connection, whatever the server still does with the
    // sink; a delivery that is running now is waited for.
    sink->detach();
    try {
        // Only our own reference is given back. Releasing the sink to 0 while a careless server
        // still holds it would leave that server calling freed memory; detached, the sink ignores
        // it and goes when the server lets it go.
        const ULONG left = sink->Release();
        if (left != 0)
            LOGG(2, "%s: the server still holds %u references to the data-change sink", prefix().c_str(),
                 static_cast<unsigned>(left));
    } catch (const Exception& e) {
        LOGG(2, "!!! Exception at [%s, line #%d] while( _data->callback0->Release() ): %s", e.file().c_str(), e.line(),
             e.message().c_str());
    }
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
