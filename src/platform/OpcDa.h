// The OPC Data Access custom interfaces (1.0 and 2.0), their structures, enumerations, quality
// bits, result codes and the data-change stream layout, with the published IIDs and method order.
#pragma once

#include "DataTransfer.h"
#include "Time.h"
#include "Variant.h"

using OPCHANDLE = DWORD;

// --- Enumerations ----------------------------------------------------------------------------

enum OPCDATASOURCE : DWORD { OPC_DS_CACHE = 1, OPC_DS_DEVICE = 2 };
enum OPCBROWSETYPE : DWORD { OPC_BRANCH = 1, OPC_LEAF = 2, OPC_FLAT = 3 };
// The misspelling is the published name.
enum OPCNAMESPACETYPE : DWORD { OPC_NS_HIERARCHIAL = 1, OPC_NS_FLAT = 2 };
enum OPCBROWSEDIRECTION : DWORD { OPC_BROWSE_UP = 1, OPC_BROWSE_DOWN = 2, OPC_BROWSE_TO = 3 };
enum OPCEUTYPE : DWORD { OPC_NOENUM = 0, OPC_ANALOG = 1, OPC_ENUMERATED = 2 };
enum OPCSERVERSTATE : DWORD {
    OPC_STATUS_RUNNING = 1,
    OPC_STATUS_FAILED = 2,
    OPC_STATUS_NOCONFIG = 3,
    OPC_STATUS_SUSPENDED = 4,
    OPC_STATUS_TEST = 5,
    OPC_STATUS_COMM_FAULT = 6,
};
enum OPCENUMSCOPE : DWORD {
    OPC_ENUM_PRIVATE_CONNECTIONS = 1,
    OPC_ENUM_PUBLIC_CONNECTIONS = 2,
    OPC_ENUM_ALL_CONNECTIONS = 3,
    OPC_ENUM_PRIVATE = 4,
    OPC_ENUM_PUBLIC = 5,
    OPC_ENUM_ALL = 6,
};

constexpr DWORD OPC_READABLE = 0x01;
constexpr DWORD OPC_WRITEABLE = 0x02;

// --- Quality word: low byte QQSSSSLL, high byte vendor-specific -------------------------------

constexpr WORD OPC_QUALITY_MASK = 0xC0;
constexpr WORD OPC_STATUS_MASK = 0xFC;
constexpr WORD OPC_LIMIT_MASK = 0x03;

constexpr WORD OPC_QUALITY_BAD = 0x00;
constexpr WORD OPC_QUALITY_UNCERTAIN = 0x40;
constexpr WORD OPC_QUALITY_GOOD = 0xC0;

constexpr WORD OPC_QUALITY_CONFIG_ERROR = 0x04;
constexpr WORD OPC_QUALITY_NOT_CONNECTED = 0x08;
constexpr WORD OPC_QUALITY_DEVICE_FAILURE = 0x0C;
constexpr WORD OPC_QUALITY_SENSOR_FAILURE = 0x10;
constexpr WORD OPC_QUALITY_LAST_KNOWN = 0x14;
constexpr WORD OPC_QUALITY_COMM_FAILURE = 0x18;
constexpr WORD OPC_QUALITY_OUT_OF_SERVICE = 0x1C;
constexpr WORD OPC_QUALITY_WAITING_FOR_INITIAL_DATA = 0x20;
constexpr WORD OPC_QUALITY_LAST_USABLE = 0x44;
constexpr WORD OPC_QUALITY_SENSOR_CAL = 0x50;
constexpr WORD OPC_QUALITY_EGU_EXCEEDED = 0x54;
constexpr WORD OPC_QUALITY_SUB_NORMAL = 0x58;
constexpr WORD OPC_QUALITY_LOCAL_OVERRIDE = 0xD8;

constexpr WORD OPC_LIMIT_OK = 0x00;
constexpr WORD OPC_LIMIT_LOW = 0x01;
constexpr WORD OPC_LIMIT_HIGH = 0x02;
constexpr WORD OPC_LIMIT_CONST = 0x03;

// --- Result codes (FACILITY_ITF) -------------------------------------------------------------

constexpr HRESULT OPC_E_INVALIDHANDLE = HR_BITS(0xC0040001);
constexpr HRESULT OPC_E_BADTYPE = HR_BITS(0xC0040004);
constexpr HRESULT OPC_E_PUBLIC = HR_BITS(0xC0040005);
constexpr HRESULT OPC_E_BADRIGHTS = HR_BITS(0xC0040006);
constexpr HRESULT OPC_E_UNKNOWNITEMID = HR_BITS(0xC0040007);
constexpr HRESULT OPC_E_INVALIDITEMID = HR_BITS(0xC0040008);
constexpr HRESULT OPC_E_INVALIDFILTER = HR_BITS(0xC0040009);
constexpr HRESULT OPC_E_UNKNOWNPATH = HR_BITS(0xC004000A);
constexpr HRESULT OPC_E_RANGE = HR_BITS(0xC004000B);
constexpr HRESULT OPC_E_DUPLICATENAME = HR_BITS(0xC004000C);
constexpr HRESULT OPC_S_UNSUPPORTEDRATE = HR_BITS(0x0004000D);
constexpr HRESULT OPC_S_CLAMP = HR_BITS(0x0004000E);
constexpr HRESULT OPC_S_INUSE = HR_BITS(0x0004000F);
constexpr HRESULT OPC_E_INVALIDCONFIGFILE = HR_BITS(0xC0040010);
constexpr HRESULT OPC_E_NOTFOUND = HR_BITS(0xC0040011);
constexpr HRESULT OPC_E_INVALID_PID = HR_BITS(0xC0040203);

// --- Structures (natural alignment gives the Win64 offsets) -----------------------------------

struct OPCSERVERSTATUS {
    FILETIME ftStartTime;
    FILETIME ftCurrentTime;
    FILETIME ftLastUpdateTime;
    OPCSERVERSTATE dwServerState;
    DWORD dwGroupCount;
    DWORD dwBandWidth;
    WORD wMajorVersion;
    WORD wMinorVersion;
    WORD wBuildNumber;
    WORD wReserved;
    LPWSTR szVendorInfo;
};
static_assert(offsetof(OPCSERVERSTATUS, dwServerState) == 24 && offsetof(OPCSERVERSTATUS, wMajorVersion) == 36);
static_assert(offsetof(OPCSERVERSTATUS, szVendorInfo) == 48 && sizeof(OPCSERVERSTATUS) == 56);

struct OPCITEMDEF {
    LPWSTR szAccessPath;
    LPWSTR szItemID;
    BOOL bActive;
    OPCHANDLE hClient;
    DWORD dwBlobSize;
    BYTE* pBlob;
    VARTYPE vtRequestedDataType;
    WORD wReserved;
};
static_assert(offsetof(OPCITEMDEF, bActive) == 16 && offsetof(OPCITEMDEF, pBlob) == 32 && sizeof(OPCITEMDEF) == 48);

struct OPCITEMRESULT {
    OPCHANDLE hServer;
    VARTYPE vtCanonicalDataType;
    WORD wReserved;
    DWORD dwAccessRights;
    DWORD dwBlobSize;
    BYTE* pBlob;
};
static_assert(offsetof(OPCITEMRESULT, pBlob) == 16 && sizeof(OPCITEMRESULT) == 24);

struct OPCITEMSTATE {
    OPCHANDLE hClient;
    FILETIME ftTimeStamp;
    WORD wQuality;
    WORD wReserved;
    VARIANT vDataValue;
};

// --- The DA 1.0 data-change stream ("OPCSTMFORMATDATATIME") ------------------------------------
// The block is little-endian and packed without padding; readers must take every field with
// bounds checks and byte copies, never by casting the block to these structures (they are given
// for the field names and sizes; the stream's VARIANT image is the 16-byte 32-bit layout).

constexpr const char* OPCSTMFORMATDATA = "OPCSTMFORMATDATA";
constexpr const char* OPCSTMFORMATDATATIME = "OPCSTMFORMATDATATIME";
constexpr const char* OPCSTMFORMATWRITECOMPLETE = "OPCSTMFORMATWRITECOMPLETE";

namespace opcstream {
// OPCGROUPHEADER: dwSize @0, dwItemCount @4, hClientGroup @8, dwTransactionID @12, hrStatus @16.
constexpr std::size_t kGroupHeaderSize = 20;
// OPCITEMHEADER1 (with time): hClient @0, dwValueOffset @4, wQuality @8, wReserved @10,
// ftTimeStampItem @12.
constexpr std::size_t kItemHeader1Size = 20;
// OPCITEMHEADER2 (without time): hClient @0, dwValueOffset @4, wQuality @8, wReserved @10.
constexpr std::size_t kItemHeader2Size = 12;
// A value record starts with a VARIANT image: type tag @0, value @8.
constexpr std::size_t kVariantImageSize = 16;
// A VT_BSTR record continues with a 4-byte byte count (terminator excluded), the UTF-16LE
// characters and two zero bytes.
// A one-dimensional VT_ARRAY record continues with a SAFEARRAY image: cDims @0 (2 bytes),
// fFeatures @2, cbElements @4, cLocks @8, pvData @12 (zero), cElements @16, lLbound @20; then
// the elements, string elements packed as above.
constexpr std::size_t kSafeArrayImageSize = 24;
} // namespace opcstream

// --- Interfaces ------------------------------------------------------------------------------

constexpr IID IID_IOPCServer = {0x39C13A4D, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
constexpr IID IID_IOPCServerPublicGroups = {0x39C13A4E, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
constexpr IID IID_IOPCBrowseServerAddressSpace = {0x39C13A4F, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
constexpr IID IID_IOPCGroupStateMgt = {0x39C13A50, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
constexpr IID IID_IOPCPublicGroupStateMgt = {0x39C13A51, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
constexpr IID IID_IOPCSyncIO = {0x39C13A52, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
constexpr IID IID_IOPCAsyncIO = {0x39C13A53, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
constexpr IID IID_IOPCItemMgt = {0x39C13A54, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
constexpr IID IID_IEnumOPCItemAttributes = {0x39C13A55, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
constexpr IID IID_IOPCDataCallback = {0x39C13A70, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
constexpr IID IID_IOPCAsyncIO2 = {0x39C13A71, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
constexpr IID IID_IOPCItemProperties = {0x39C13A72, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
constexpr IID IID_IOPCCommon = {0xF31DFDE2, 0x07B6, 0x11D2, {0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
constexpr IID IID_IOPCShutdown = {0xF31DFDE1, 0x07B6, 0x11D2, {0xB2, 0xD8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};

// Component categories a DA server registers under Implemented Categories.
constexpr CATID CATID_OPCDAServer10 = {0x63D5F430, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
constexpr CATID CATID_OPCDAServer20 = {0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};

struct IOPCServer : IUnknown {
    static const IID& iid() { return IID_IOPCServer; }
    // pTimeBias and pPercentDeadband may be null.
    virtual HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                               OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                               DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                               REFIID riid, IUnknown** ppUnk) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) = 0;
    // The server allocates the record and its vendor text with CoTaskMemAlloc; the caller frees both.
    virtual HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) = 0;
};

struct IOPCBrowseServerAddressSpace : IUnknown {
    static const IID& iid() { return IID_IOPCBrowseServerAddressSpace; }
    virtual HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) = 0;
    virtual HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) = 0;
    virtual HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                                       VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                                       IEnumString** ppIEnumString) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) = 0;
    virtual HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) = 0;
};

struct IOPCGroupStateMgt : IUnknown {
    static const IID& iid() { return IID_IOPCGroupStateMgt; }
    virtual HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                               FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                               OPCHANDLE* phServerGroup) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                                               LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                               OPCHANDLE* phClientGroup) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetName(LPCWSTR szName) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) = 0;
};

struct IEnumOPCItemAttributes;

struct IOPCItemMgt : IUnknown {
    static const IID& iid() { return IID_IOPCItemMgt; }
    // The server allocates both arrays (and any blob) with CoTaskMemAlloc; the caller frees them.
    virtual HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                                               HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                                    OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                                     HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                                       HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                                   HRESULT** ppErrors) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, IUnknown** ppUnk) = 0;
};

struct IOPCCommon : IUnknown {
    static const IID& iid() { return IID_IOPCCommon; }
    virtual HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) = 0;
};
