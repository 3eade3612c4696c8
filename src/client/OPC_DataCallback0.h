// The DA 1.0 data-change sink of a connection: the server calls OnDataChange with blocks in the
// stream format, and the sink hands each changed item to its connection. Free-threaded.
#pragma once

#include "ConnectionSink.h"
#include "platform/DataTransfer.h"

class OPC_DataCallback0 final : public ConnectionSink<IAdviseSink> {
public:
    OPC_DataCallback0() : ConnectionSink(IID_IAdviseSink) {}

    void STDMETHODCALLTYPE OnDataChange(FORMATETC* pFormatetc, STGMEDIUM* pStgmed) override;
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

private:
    ~OPC_DataCallback0() override = default;
};
