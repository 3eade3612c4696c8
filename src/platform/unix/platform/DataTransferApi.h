// Uniform data transfer: FORMATETC, STGMEDIUM, IDataObject and IAdviseSink, and the registered
// clipboard formats that name a data format. The data-change stream of a group travels this way.
#pragma once

#include "platform/MemoryApi.h"
#include "platform/UnknownApi.h"

using CLIPFORMAT = WORD;

struct FORMATETC {
    CLIPFORMAT cfFormat;
    DVTARGETDEVICE* ptd;
    DWORD dwAspect;
    LONG lindex;
    DWORD tymed;
};
using LPFORMATETC = FORMATETC*;

constexpr DWORD TYMED_NULL = 0;
constexpr DWORD TYMED_HGLOBAL = 1;
constexpr DWORD TYMED_FILE = 2;
constexpr DWORD TYMED_ISTREAM = 4;
constexpr DWORD TYMED_ISTORAGE = 8;
constexpr DWORD TYMED_GDI = 16;
constexpr DWORD TYMED_MFPICT = 32;
constexpr DWORD TYMED_ENHMF = 64;

constexpr DWORD DVASPECT_CONTENT = 1;
constexpr DWORD DVASPECT_THUMBNAIL = 2;
constexpr DWORD DVASPECT_ICON = 4;
constexpr DWORD DVASPECT_DOCPRINT = 8;

constexpr DWORD ADVF_NODATA = 1;
constexpr DWORD ADVF_PRIMEFIRST = 2;
constexpr DWORD ADVF_ONLYONCE = 4;
constexpr DWORD ADVF_DATAONSTOP = 64;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
struct STGMEDIUM {
    DWORD tymed;
    union {
        void* hBitmap;
        void* hMetaFilePict;
        void* hEnhMetaFile;
        HGLOBAL hGlobal;
        LPOLESTR lpszFileName;
        IStream* pstm;
        IStorage* pstg;
    };
    IUnknown* pUnkForRelease;
};
#pragma GCC diagnostic pop
using LPSTGMEDIUM = STGMEDIUM*;

// Frees the medium's storage (GlobalFree for TYMED_HGLOBAL) unless pUnkForRelease is set, in
// which case that is released instead.
void ReleaseStgMedium(LPSTGMEDIUM medium);

struct IEnumFORMATETC;
struct IEnumSTATDATA;

struct IAdviseSink : IUnknown {
    static const IID& iid() { return IID_IAdviseSink; }
    virtual void STDMETHODCALLTYPE OnDataChange(FORMATETC* pFormatetc, STGMEDIUM* pStgmed) = 0;
    virtual void STDMETHODCALLTYPE OnViewChange(DWORD dwAspect, LONG lindex) = 0;
    virtual void STDMETHODCALLTYPE OnRename(IMoniker* pmk) = 0;
    virtual void STDMETHODCALLTYPE OnSave() = 0;
    virtual void STDMETHODCALLTYPE OnClose() = 0;
};

struct IDataObject : IUnknown {
    static const IID& iid() { return IID_IDataObject; }
    virtual HRESULT STDMETHODCALLTYPE GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* pformatetc) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) = 0;
    virtual HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) = 0;
    virtual HRESULT STDMETHODCALLTYPE DUnadvise(DWORD dwConnection) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** ppenumAdvise) = 0;
};

// Registered formats are numbered from 0xC000 in the order of first registration; the same name,
// compared without regard to case, gives the same number in every module of the process.
// 0 for a null or empty name.
UINT RegisterClipboardFormatA(LPCSTR lpszFormat);
UINT RegisterClipboardFormatW(LPCWSTR lpszFormat);
// The registered name of a format number into the buffer; returns its length, 0 if unknown.
int GetClipboardFormatNameA(UINT format, LPSTR lpszFormatName, int cchMaxCount);
