// The test servers of the suite: in-process OPC DA servers (libtagvista-testservers.so,
// tagvista-testservers.dll; built with the tests, never installed), one class per way of
// misbehaving, so the client's tests can name a server by its fault. On Linux the registration is
// generated into the build tree's tests/classes.d (TestServerPaths.h, generated beside the build,
// names the folder); on Windows the DLL registers itself (regsvr32, the tests' "servers" fixture).
//
// Every class serves the same small address space unless its fault says otherwise (item ids are
// the names joined by "/"):
//
//   a         VT_I4    counts up, a new value every 100 ms          readable, writeable
//   b         VT_BSTR  "Tagvista", never changes                    readable
//   X/        branch
//     x1      VT_R8    a sine over 10 s, a new value every 100 ms   readable
//     x2      VT_BSTR  "one", "two", "three" in turn every 500 ms   readable, writeable
//     Y/      branch
//       y1    VT_I2    42, never changes                            readable
//
// The server's minimum update rate is 10 ms. Faults that fail a call answer kFailure unless
// noted. Hangs last HKEY_CURRENT_USER\Software\Tagvista\TestServer "HangMilliseconds" (DWORD,
// read at each hang), 2000 ms when the value is missing. The end-hangs export ends every hang
// that is running, the waits of ShutdownRequest and Gone (which last as long) too. No thread of
// the library runs anything of an object once the object has gone.
#pragma once

#include "platform/Guid.h"
#include "platform/OpcDa.h"
#include "servers/kit/Registration.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace servers::test {

enum class Fault : BYTE {
    None = 1,               // behaves well
    StatusFails,            // GetStatus fails
    StatusTimesOutOfRange,  // GetStatus times have the top bit set (start, current, last update)
    State0,                 // GetStatus answers state 0
    State7,                 // ... state 7 (past the last published one)
    State255,
    State256,
    NoBrowse,               // the server object has no browser: neither IOPCBrowseServerAddressSpace
                            // nor IOPCBrowse
    BranchBrowseFails,      // BrowseOPCItemIDs(OPC_BRANCH) fails
    LeafBrowseFails,        // BrowseOPCItemIDs(OPC_LEAF) fails
    DescentRefused,         // ChangeBrowsePosition down (and to any branch) fails
    AscentRefused,          // ChangeBrowsePosition up (and to anywhere, the root too) fails
    DuplicateNames,         // the root lists leaf "a" twice and branch "X" twice (the second X
                            // holds x2, the first x1 and Y)
    SlashNames,             // besides the tree: a root leaf "a/b" and a root branch "X/Y" with
                            // leaf "z", whose ids collide with the tree's paths
    NonBmpNames,            // besides the tree: leaves "Smile\U0001F600", "Gothic\U00010348",
                            // "Lone\xD800High" and "Lone\xDC00Low" (unpaired surrogates), and a
                            // branch "Music\U0001D11E" with leaf "Clef\U0001D11E"
    LongNames,              // besides the tree: a leaf named by 10,000 'L's and a branch named
                            // by 10,000 'B's with a leaf "v"
    EndlessTree,            // instead of the tree: every branch, the root too, has a branch
                            // "Deeper" and a VT_I4 leaf "Depth" (its depth), without end
    EndlessEnumerator,      // BrowseOPCItemIDs (any type) gives the real names, then "More<n>"
                            // for ever: Next never answers S_FALSE
    AddGroupFails,          // AddGroup fails
    NoItemMgt,              // groups have no IOPCItemMgt
    AddItemsPartial,        // AddItems adds a and b but refuses the items under X with E_FAIL in
                            // the error array, answering S_FALSE
    NoDataObject,           // groups have no subscription: neither IDataObject nor
                            // IConnectionPointContainer
    AdviseFails,            // DAdvise fails, and so does Advise on a group's callback point
    BlockNegativeStatus,    // blocks carry their items but hrStatus E_FAIL
    BlockNoItems,           // blocks of just the group header: no items, dwSize 20
    BlockUnknownHandles,    // item client handles are the client's plus 0x40000000
    BlockHandleAllOnes,     // item client handles are all 0xFFFFFFFF
    BlockOtherFormat,       // the FORMATETC of each callback names "OPCSTMFORMATWRITECOMPLETE"
    BlockNullHandle,        // the medium's hGlobal is null
    BlockCountPastEnd,      // dwItemCount is 1000 more than the headers in the block
    BlockOffsetPastEnd,     // the first item's dwValueOffset points 64 bytes past the block
    BlockCutString,         // string items go last and the block (dwSize and the memory) is cut
                            // 4 bytes short, inside the last string's tail
    CallbacksAfterUnadvise, // DUnadvise answers S_OK but the sink is called on until the group
                            // is removed or the server released; and when the group goes, it
                            // calls the sink three more times, with client handles 1000 to
                            // 1004 (unknown to the client, so a call that got through is logged)
    ReleaseNeverZero,       // the server object's Release never answers 0; the object stops
                            // its groups and stays (unreachable for the client) when the count
                            // would have reached 0
    HangCreate,             // CreateInstance hangs, then succeeds
    HangStatus,             // GetStatus hangs, then answers
    HangBrowse,             // ChangeBrowsePosition, BrowseOPCItemIDs and Browse hang, then answer
    HangAddItems,           // AddItems hangs, then answers
    FactoryFails,           // the class factory's CreateInstance fails with kFactoryFailure
    MissingLibrary,         // registered with a library that does not exist
    Flat,                   // no branches at all: the five items a, b, x1, x2, y1 at the root
    Empty,                  // no branches and no items
    StatusThrows,           // GetStatus throws std::bad_alloc, as an allocation that failed would
    HangAdvise,             // DAdvise subscribes (values flow), then hangs before it answers
    ShutdownRequest,        // a hang's time after the first Advise on its shutdown point answers,
                            // a thread of the server calls ShutdownRequest(kShutdownReason) on
                            // every sink advised then; once per object
    Gone,                   // a server process that dies, as its proxies show it: well-behaved
                            // until a hang's time after its first GetStatus has answered; from
                            // then on every method of the object, its groups, point and
                            // enumerators answers kServerUnavailable (out pointers cleared), and
                            // no more blocks are sent. QueryInterface, AddRef and Release work on,
                            // as a proxy answers them from what it holds; releasing the object
                            // releases the sinks
    HangUnadvise,           // DUnadvise hangs (values flow on), then unadvises and answers
    HangRelease,            // the server object's last Release hangs (values flow on), then
                            // destroys the object
    BlockShortMemory,       // the memory handle holds only the first half of each block, while
                            // dwSize and dwItemCount still announce all of it
    CallbackOnly,           // groups have no IDataObject; the DA 2.0 callback works
    StreamRefused,          // DAdvise fails; the DA 2.0 callback works
    Da3BrowseOnly,          // the server object has no IOPCBrowseServerAddressSpace; IOPCBrowse
                            // works
    OldInterfacesOnly,      // a DA 2.0 server of the old kind: no IOPCBrowse on the server object
                            // and no IConnectionPointContainer on groups (the stream and the DA 2.0
                            // browser only)
    // The DA 2.0 callback misbehaving. Groups of these have no IDataObject, so that a client
    // reaches the callback on its own.
    CallbackCountPastItems, // dwCount announces 1000 more entries than the items sent; the arrays
                            // hold as many (the extra entries zero, values VT_EMPTY)
    CallbackNullArrays,     // dwCount as sent, but one of the five arrays is null, in turn from
                            // call to call: client handles, values, qualities, time stamps, errors
    CallbackUnknownHandles, // item client handles are the client's plus 0x40000000
    CallbackWrongGroup,     // hGroup is the group's client handle plus 1
    CallbackBadTypes,       // values the DA 1.0 stream cannot carry, quality good: a VT_UNKNOWN and b
                            // VT_DISPATCH (null pointers), x1 VT_BYREF|VT_I4 (a static 1234), x2
                            // VT_ARRAY|VT_VARIANT (one dimension, two VT_I4), y1 VT_ARRAY|VT_I4
                            // (two dimensions, 2 by 2)
    CallbackErrors,         // hrMastererror E_FAIL; the items under X come with the error E_FAIL,
                            // VT_EMPTY and quality bad, the others as usual
    CallbackAfterUnadvise,  // the callback point's Unadvise answers S_OK but the sink is called on
                            // until the group is removed or the server released; and when the group
                            // goes, it calls the sink three more times, with client handles 1000 to
                            // 1004 (as CallbacksAfterUnadvise does with the stream)
    // The DA 3.0 browser misbehaving. These server objects have no IOPCBrowseServerAddressSpace,
    // so that a client reaches IOPCBrowse on its own.
    Da3EndlessContinuation, // Browse gives the real elements, then for ever one item "More<n>" a
                            // call, always with a new continuation point and pbMoreElements TRUE
    Da3DuplicateNames,      // the address space of DuplicateNames
    Da3ItemIdsDiffer,       // every szItemID, of branches and items, is "ns=1;" before the usual
                            // id; Browse and AddItems take those ids, and only those
};

struct TestClass {
    Fault fault;
    const char* progId;
    const char* description;
};

inline constexpr TestClass kTestClasses[] = {
    {Fault::None, "Tagvista.Test.Good", "Well-behaved test server"},
    {Fault::StatusFails, "Tagvista.Test.StatusFails", "GetStatus fails"},
    {Fault::StatusTimesOutOfRange, "Tagvista.Test.StatusTimesOutOfRange", "GetStatus times out of range"},
    {Fault::State0, "Tagvista.Test.State0", "Server state 0"},
    {Fault::State7, "Tagvista.Test.State7", "Server state 7"},
    {Fault::State255, "Tagvista.Test.State255", "Server state 255"},
    {Fault::State256, "Tagvista.Test.State256", "Server state 256"},
    {Fault::NoBrowse, "Tagvista.Test.NoBrowse", "No browse interface"},
    {Fault::BranchBrowseFails, "Tagvista.Test.BranchBrowseFails", "Branch browse fails"},
    {Fault::LeafBrowseFails, "Tagvista.Test.LeafBrowseFails", "Leaf browse fails"},
    {Fault::DescentRefused, "Tagvista.Test.DescentRefused", "Browse descent refused"},
    {Fault::AscentRefused, "Tagvista.Test.AscentRefused", "Browse ascent refused"},
    {Fault::DuplicateNames, "Tagvista.Test.DuplicateNames", "Names listed twice"},
    {Fault::SlashNames, "Tagvista.Test.SlashNames", "Names containing the separator"},
    {Fault::NonBmpNames, "Tagvista.Test.NonBmpNames", "Names outside the BMP and unpaired surrogates"},
    {Fault::LongNames, "Tagvista.Test.LongNames", "10,000-character names"},
    {Fault::EndlessTree, "Tagvista.Test.EndlessTree", "A browse tree without end"},
    {Fault::EndlessEnumerator, "Tagvista.Test.EndlessEnumerator", "An enumerator without end"},
    {Fault::AddGroupFails, "Tagvista.Test.AddGroupFails", "AddGroup fails"},
    {Fault::NoItemMgt, "Tagvista.Test.NoItemMgt", "Groups without IOPCItemMgt"},
    {Fault::AddItemsPartial, "Tagvista.Test.AddItemsPartial", "AddItems refuses some items"},
    {Fault::NoDataObject, "Tagvista.Test.NoDataObject", "Groups without IDataObject"},
    {Fault::AdviseFails, "Tagvista.Test.AdviseFails", "DAdvise fails"},
    {Fault::BlockNegativeStatus, "Tagvista.Test.BlockNegativeStatus", "Blocks with a failed status"},
    {Fault::BlockNoItems, "Tagvista.Test.BlockNoItems", "Blocks without items"},
    {Fault::BlockUnknownHandles, "Tagvista.Test.BlockUnknownHandles", "Blocks with unknown client handles"},
    {Fault::BlockHandleAllOnes, "Tagvista.Test.BlockHandleAllOnes", "Blocks with client handle 0xFFFFFFFF"},
    {Fault::BlockOtherFormat, "Tagvista.Test.BlockOtherFormat", "Blocks of another clipboard format"},
    {Fault::BlockNullHandle, "Tagvista.Test.BlockNullHandle", "Callbacks with a null memory handle"},
    {Fault::BlockCountPastEnd, "Tagvista.Test.BlockCountPastEnd", "Blocks whose item count runs past the end"},
    {Fault::BlockOffsetPastEnd, "Tagvista.Test.BlockOffsetPastEnd", "Blocks with a value offset past the end"},
    {Fault::BlockCutString, "Tagvista.Test.BlockCutString", "Blocks with a cut-off string"},
    {Fault::CallbacksAfterUnadvise, "Tagvista.Test.CallbacksAfterUnadvise", "Callbacks after DUnadvise"},
    {Fault::ReleaseNeverZero, "Tagvista.Test.ReleaseNeverZero", "Release never reaches 0"},
    {Fault::HangCreate, "Tagvista.Test.HangCreate", "CreateInstance hangs"},
    {Fault::HangStatus, "Tagvista.Test.HangStatus", "GetStatus hangs"},
    {Fault::HangBrowse, "Tagvista.Test.HangBrowse", "Browsing hangs"},
    {Fault::HangAddItems, "Tagvista.Test.HangAddItems", "AddItems hangs"},
    {Fault::FactoryFails, "Tagvista.Test.FactoryFails", "The class factory fails"},
    {Fault::MissingLibrary, "Tagvista.Test.MissingLibrary", "Registered library missing"},
    {Fault::Flat, "Tagvista.Test.Flat", "A flat address space"},
    {Fault::Empty, "Tagvista.Test.Empty", "An empty address space"},
    {Fault::StatusThrows, "Tagvista.Test.StatusThrows", "GetStatus throws"},
    {Fault::HangAdvise, "Tagvista.Test.HangAdvise", "DAdvise hangs after subscribing"},
    {Fault::ShutdownRequest, "Tagvista.Test.ShutdownRequest", "Asks its clients to disconnect"},
    {Fault::Gone, "Tagvista.Test.Gone", "A server that has died"},
    {Fault::HangUnadvise, "Tagvista.Test.HangUnadvise", "DUnadvise hangs"},
    {Fault::HangRelease, "Tagvista.Test.HangRelease", "The last Release hangs"},
    {Fault::BlockShortMemory, "Tagvista.Test.BlockShortMemory", "Blocks longer than their memory"},
    {Fault::CallbackOnly, "Tagvista.Test.CallbackOnly", "Groups with the DA 2.0 callback only"},
    {Fault::StreamRefused, "Tagvista.Test.StreamRefused", "DAdvise fails, the DA 2.0 callback works"},
    {Fault::Da3BrowseOnly, "Tagvista.Test.Da3BrowseOnly", "The DA 3.0 browser only"},
    {Fault::OldInterfacesOnly, "Tagvista.Test.OldInterfacesOnly", "The stream and the DA 2.0 browser only"},
    {Fault::CallbackCountPastItems, "Tagvista.Test.CallbackCountPastItems", "Callbacks announcing more items than sent"},
    {Fault::CallbackNullArrays, "Tagvista.Test.CallbackNullArrays", "Callbacks with a null array"},
    {Fault::CallbackUnknownHandles, "Tagvista.Test.CallbackUnknownHandles", "Callbacks with unknown client handles"},
    {Fault::CallbackWrongGroup, "Tagvista.Test.CallbackWrongGroup", "Callbacks naming another group"},
    {Fault::CallbackBadTypes, "Tagvista.Test.CallbackBadTypes", "Callbacks with values the stream cannot carry"},
    {Fault::CallbackErrors, "Tagvista.Test.CallbackErrors", "Callbacks with item errors"},
    {Fault::CallbackAfterUnadvise, "Tagvista.Test.CallbackAfterUnadvise", "Callbacks after Unadvise"},
    {Fault::Da3EndlessContinuation, "Tagvista.Test.Da3EndlessContinuation", "A DA 3.0 browse without end"},
    {Fault::Da3DuplicateNames, "Tagvista.Test.Da3DuplicateNames", "Names listed twice by the DA 3.0 browser"},
    {Fault::Da3ItemIdsDiffer, "Tagvista.Test.Da3ItemIdsDiffer", "DA 3.0 item ids other than the joined names"},
};

// {52EC3FAF-91D5-45CF-95DD-A92F9D1C3Ann}, nn the fault's number.
constexpr CLSID clsidOf(Fault fault)
{
    return CLSID{0x52EC3FAF, 0x91D5, 0x45CF, {0x95, 0xDD, 0xA9, 0x2F, 0x9D, 0x1C, 0x3A, static_cast<BYTE>(fault)}};
}

constexpr const char* progIdOf(Fault fault)
{
    for (const TestClass& c : kTestClasses) {
        if (c.fault == fault) return c.progId;
    }
    return nullptr;
}

// The registration of every class: the .reg file of the Linux build and DllRegisterServer on
// Windows both write these. The MissingLibrary class names missingLibrary, a file name beside the
// library that does not exist.
inline std::vector<kit::ClassRegistration> registrations(const std::string& missingLibrary)
{
    std::vector<kit::ClassRegistration> out;
    for (const TestClass& c : kTestClasses) {
        kit::ClassRegistration r;
        r.clsid = clsidOf(c.fault);
        r.description = std::string("Tagvista test server: ") + c.description;
        r.progId = c.progId;
        if (c.fault == Fault::MissingLibrary) r.library = missingLibrary;
        out.push_back(std::move(r));
    }
    return out;
}

// The same classes out of process: tagvista-testserver.exe (Windows) serves each of them
// (but the one whose library is missing) as {52EC3FAF-91D5-45CF-95DD-A92F9D1C3Bnn} with the
// ProgID "Tagvista.TestProcess.<name>", <name> the in-process ProgID's last part.
constexpr CLSID processClsidOf(Fault fault)
{
    return CLSID{0x52EC3FAF, 0x91D5, 0x45CF, {0x95, 0xDD, 0xA9, 0x2F, 0x9D, 0x1C, 0x3B, static_cast<BYTE>(fault)}};
}

inline std::string processProgIdOf(Fault fault)
{
    const std::string progId = progIdOf(fault);
    return "Tagvista.TestProcess." + progId.substr(progId.rfind('.') + 1);
}

inline std::vector<kit::ClassRegistration> processRegistrations()
{
    std::vector<kit::ClassRegistration> out;
    for (const TestClass& c : kTestClasses) {
        if (c.fault == Fault::MissingLibrary) continue;
        kit::ClassRegistration r;
        r.clsid = processClsidOf(c.fault);
        r.description = std::string("Tagvista test server (out of process): ") + c.description;
        r.progId = processProgIdOf(c.fault);
        r.activation = kit::Activation::Program;
        out.push_back(std::move(r));
    }
    return out;
}

constexpr HRESULT kFailure = E_FAIL;
constexpr HRESULT kFactoryFailure = E_OUTOFMEMORY;
constexpr const char* kHangKey = "Software\\Tagvista\\TestServer";
constexpr const char* kHangValue = "HangMilliseconds";
constexpr DWORD kDefaultHangMs = 2000;
// What a dead server's proxies answer: HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE).
constexpr HRESULT kServerUnavailable = HR_BITS(0x800706BA);
// tagvista-testserver.exe ends every hang running in it when this named event is set (an
// auto-reset event, made by the program).
constexpr const char* kEndHangsEvent = "TagvistaTestServerEndHangs";
// The reason the ShutdownRequest server gives.
constexpr const WCHAR* kShutdownReason = OLESTR("Сервер остановлен оператором");

// The vendor text of every test server's status.
constexpr const WCHAR* kVendorInfo = OLESTR("Tagvista Test Server");

// What the test servers of one fault have seen and done since the library was loaded, so that a
// test can wait for a positive event ("the server has sent a block") instead of a quiet time.
struct AddGroupCall {
    bool nameGiven = false;  // szName was not null
    platform::WideString name;
    BOOL active = FALSE;
    DWORD requestedUpdateRate = 0;
    OPCHANDLE clientGroup = 0;
    bool timeBiasGiven = false;
    LONG timeBias = 0;
    bool deadbandGiven = false;
    FLOAT percentDeadband = 0;
    DWORD lcid = 0;
    IID riid{};
};
struct Journal {
    std::uint64_t blocksDelivered = 0;  // OnDataChange calls (stream and callback) that have returned
    std::uint64_t blocksAfterRelease = 0;  // ... of them by a group the client had let go
    std::uint32_t addGroupCalls = 0;
    std::uint32_t addItemsCalls = 0;
    std::uint32_t adviseCalls = 0;
    std::uint32_t hangsStarted = 0;     // hangs begun: an end-hangs call after the count ends them
    std::uint32_t shutdownNotices = 0;  // ShutdownRequest calls that have returned
    std::uint64_t blocksWithheld = 0;   // blocks a dead server did not send
    AddGroupCall lastAddGroup;
    // New fields go last: the journal is copied across the library's export.
    std::uint32_t callbackAdvises = 0;  // Advise calls on the groups' data callback points
};

// The library's exports for tests: the journal of a fault (JournalFunction, exported as
// kJournalExport), and the end of every hang that is running now (EndHangsFunction, exported as
// kEndHangsExport); a hang that starts later waits again.
using JournalFunction = void (*)(Fault fault, Journal* out);
using EndHangsFunction = void (*)();
constexpr const char* kJournalExport = "TagvistaTestJournal";
constexpr const char* kEndHangsExport = "TagvistaTestEndHangs";

} // namespace servers::test
