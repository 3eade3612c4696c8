// The objects of a server on another computer, as the program holds them: proxies whose calls go
// to the agent there as requests and come back as answers. The server's data-change blocks come
// back as the server wrote them and reach the program's sink like a local server's.
//
// Served: IOPCServer (GetStatus, AddGroup, and QueryInterface for the browsers and the
// connection point container), the DA 2.0 browser (ChangeBrowsePosition, BrowseOPCItemIDs) and
// its name lists, the DA 3.0 browser (Browse), the group's IOPCItemMgt (AddItems), IDataObject
// (DAdvise, DUnadvise of the stream format) and connection point container, and the connection
// points of IOPCShutdown and IOPCDataCallback (Advise, Unadvise), whose calls come back through
// the channel. Other methods answer E_NOTIMPL and other interfaces E_NOINTERFACE, so the program
// takes the paths it takes for a server without them. A call on a channel that has ended answers
// RPC_E_DISCONNECTED.
#pragma once

#include "platform/Platform.h"

#include <string>

namespace platform::remote {

// CoCreateInstanceEx of clsid on host, through its agent: the server's IOPCServer (one
// reference). On failure the code, with the cause kept for the system's text of that code.
HRESULT createRemoteServer(const std::string& host, REFCLSID clsid, IUnknown** server);
// CoCreateInstanceEx of clsid on host, for the system's call of that name: the arguments checked
// as it checks them, then the interfaces results asks for from the created server.
HRESULT createRemoteInstance(const std::string& host, REFCLSID clsid, IUnknown* outer, DWORD context, DWORD count,
                             MULTI_QI* results);

} // namespace platform::remote
