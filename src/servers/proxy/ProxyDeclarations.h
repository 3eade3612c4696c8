/* Included before every file of the proxy/stub DLL: the IUnknown proxies of rpcrt4, which the
   stubless proxy tables widl writes name, but which MinGW's headers declare for C++ only. */
#pragma once

#include <unknwn.h>

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
