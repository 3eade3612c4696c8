#include "OPC_DataCallback2.h"

#include "DataChangeBlock.h"
#include "ErrorString.h"
#include "Host.h"
#include "Logger.h"
#include "OPC_Connection.h"
#include "OPC_Item.h"

HRESULT OPC_DataCallback2::OnDataChange(DWORD, OPCHANDLE group, HRESULT, HRESULT masterError, DWORD count,
                                        OPCHANDLE* handles, VARIANT* values, WORD* qualities, FILETIME* timeStamps,
                                        HRESULT* errors)
{
    const Delivery delivery(*this);
    OPC_Connection* const connection = delivery.connection();
    if (!connection) return S_OK;
    const char* prefixHost = connection->ownerHost()->name().c_str();
    const char* prefixName = connection->name().c_str();

    if (group != _clientGroup) {
        LOGG(2, "%s|%s: DataCallback: a call for group %u, not this connection's group %u; dropped", prefixHost,
             prefixName, static_cast<unsigned>(group), static_cast<unsigned>(_clientGroup));
        return S_OK;
    }
    if (FAILED(masterError))
        LOGG(2, "%s|%s: DataCallback::hrMastererror Failed: %s", prefixHost, prefixName,
             ErrorString(masterError).c_str());
    if (count == 0) return S_OK;
    // A server reports each item of the group at most once a call: a larger count cannot be
    // matched by its arrays, whose length only the count tells.
    const std::size_t itemCount = connection->subscribedItemCount();
    if (count > itemCount) {
        LOGG(2, "%s|%s: DataCallback: a call announces %u items, the group has %zu; dropped", prefixHost, prefixName,
             static_cast<unsigned>(count), itemCount);
        return S_OK;
    }
    const char* missing = !handles ? "client handles" : !values ? "values" : !qualities ? "qualities"
                        : !timeStamps ? "time stamps" : !errors ? "errors" : nullptr;
    if (missing) {
        LOGG(2, "%s|%s: DataCallback: a call of %u items without its array of %s; dropped", prefixHost, prefixName,
             static_cast<unsigned>(count), missing);
        return S_OK;
    }

    connection->countChangesOffered(count);
    const ItemNotificationBatch batch;  // the call's notifications go out together at its end
    VARIANT empty;
    VariantInit(&empty);
    for (DWORD i = 0; i < count; ++i) {
        if (FAILED(errors[i]))
            LOGG(2, "%s|%s: DataCallback: item #%d Failed: %s", prefixHost, prefixName, static_cast<int>(handles[i]),
                 ErrorString(errors[i]).c_str());
        const VARIANT* value = &values[i];
        if (!DataChangeBlock::carries(*value)) {
            LOGG(2, "%s|%s: DataCallback: the value of item #%d is of a type the stream cannot carry (0x%04X); the "
                    "item gets an empty value",
                 prefixHost, prefixName, static_cast<int>(handles[i]), static_cast<unsigned>(value->vt));
            value = &empty;
        }
        connection->onItemNewValue(handles[i], value, &timeStamps[i], qualities[i]);
    }
    return S_OK;
}
