// The DA 2.0 data-change sink of a connection: the server calls OnDataChange through the
// connection point of the group with arrays of client handles, values, qualities, time stamps
// and errors, and the sink hands each item to its connection. The arrays are checked before any
// is read: a call for another group, with more entries than the group has items, or without one
// of its arrays is dropped whole, and a value of a kind the DA 1.0 stream could not carry reaches
// the item as an empty value. Free-threaded.
#pragma once

#include "ConnectionSink.h"
#include "platform/OpcDa.h"

class OPC_DataCallback2 final : public ConnectionSink<IOPCDataCallback> {
public:
    // clientGroup is the handle the group was added with: calls naming another are not ours.
    explicit OPC_DataCallback2(OPCHANDLE clientGroup) : ConnectionSink(IID_IOPCDataCallback), _clientGroup(clientGroup) {}

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                           HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                           VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                           HRESULT* pErrors) override;
    // The client never reads, writes or cancels asynchronously: these have nothing to do.
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
    ~OPC_DataCallback2() override = default;

    const OPCHANDLE _clientGroup;
};
