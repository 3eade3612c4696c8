// This computer's name, and what the COM runtime can tell beyond its result codes.
#pragma once

#include "platform/Unknown.h"

#include <string>

namespace platform {
// This computer's name as the network knows it (the host name). Any thread.
std::string computerName();
// True for a name that means this computer: null or empty, "localhost", the loopback addresses
// 127.0.0.1 and ::1, or computerName() (also its first label when it is a full domain name),
// with or without leading backslashes, compared without regard to case. Any thread.
bool isThisComputer(const char* name);
// Why the last in-process server library that failed to load on the calling thread did not
// load, in the loader's words (for the log: the result code alone cannot tell a missing file
// from a missing dependency); empty when none failed.
std::string activationDiagnostic();
// Whether CoInitializeEx has succeeded in this process and not been balanced by as many
// CoUninitialize calls. Any thread.
bool comInitialized();
// Asks the system to cancel the call the given thread is making into another process now
// (CoCancelCall with no wait). A failure means it cannot be cancelled: there is none, the call
// is in process, or the system cannot cancel calls at all (Wine, whose CoCancelCall is a stub
// that ends the process, answers E_NOTIMPL here without calling it). Any thread.
HRESULT cancelOutgoingCall(DWORD threadId);
// The interfaces a CoCreateInstanceEx's MULTI_QI asks for, from the object it created, whose
// reference it then lets go: S_OK for all, CO_S_NOTALLINTERFACES for some, E_NOINTERFACE for none.
HRESULT answerQueries(IUnknown* object, DWORD count, MULTI_QI* results);
} // namespace platform
