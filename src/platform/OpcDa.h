// The OPC Data Access interfaces (from the platform's declarations), and what goes with them
// outside any IDL: access rights, quality bits, result codes, the data-change stream layout and
// the server categories.
#pragma once

#include "platform/DataTransfer.h"
#include "platform/Time.h"
#include "platform/Variant.h"

#include <cstddef>

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
constexpr HRESULT OPC_E_INVALIDCONTINUATIONPOINT = HR_BITS(0xC0040403);

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

// --- The DA 3.0 browser: the flags of a browse element --------------------------------------

constexpr DWORD OPC_BROWSE_HASCHILDREN = 0x01;
constexpr DWORD OPC_BROWSE_ISITEM = 0x02;

// Component categories a DA server registers under Implemented Categories.
constexpr CATID CATID_OPCDAServer10 = {0x63D5F430, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
constexpr CATID CATID_OPCDAServer20 = {0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};

