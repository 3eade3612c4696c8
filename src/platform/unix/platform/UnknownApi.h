// IUnknown and the small COM interfaces every object needs. Objects are free-threaded: any
// thread may call them (one multithreaded apartment).
#pragma once

#include "platform/GuidApi.h"

// Interfaces are plain abstract structs: no virtual destructor, methods in the published slot
// order, so that the vtable matches what the other side of the interface expects. Each carries
// its IID as iid() (a static member takes no vtable slot).
struct IUnknown {
    static const IID& iid() { return IID_IUnknown; }
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
using LPUNKNOWN = IUnknown*;

struct IClassFactory : IUnknown {
    static const IID& iid() { return IID_IClassFactory; }
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};

// Next answers S_OK when it returned all celt strings and S_FALSE when fewer; the callee
// allocates every string with CoTaskMemAlloc and the caller frees each with CoTaskMemFree.
struct IEnumString : IUnknown {
    static const IID& iid() { return IID_IEnumString; }
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG celt) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumString** ppenum) = 0;
};

// Declared for signatures only; nothing here implements or calls them.
struct IMoniker;
struct IDispatch;
struct IRecordInfo;
struct IStream;
struct IStorage;

// A signature such as "the element of type T" (ptd, lindex ...) that we never fill is passed as
// the pointer type of the real platform.
using DVTARGETDEVICE = void;


// Connection points: an object offers outgoing interfaces (a server object's shutdown notice, a
// group's data callback) that a client's sink subscribes to with Advise and leaves with Unadvise.
struct IConnectionPointContainer;
struct IEnumConnections;
struct IEnumConnectionPoints;

struct IConnectionPoint : IUnknown {
    static const IID& iid() { return IID_IConnectionPoint; }
    virtual HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
    virtual HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) = 0;
};

struct IConnectionPointContainer : IUnknown {
    static const IID& iid() { return IID_IConnectionPointContainer; }
    virtual HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;
};
