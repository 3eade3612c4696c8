// What DllRegisterServer and DllUnregisterServer of a server library do on Windows: the keys of
// Registration.h written into, or removed from, the system's classes root, with InprocServer32
// naming the library's own file. Windows only; the thread regsvr32 calls on.
#pragma once

#include "servers/kit/Registration.h"

#include <span>

namespace servers::kit {

// The full path of the module (DLL or program) this code is linked into; empty when the system
// cannot tell.
platform::WideString thisModulePath();

// Registers every class (a registration left from before is replaced whole), and the category
// descriptions when asked. S_OK, or SELFREG_E_CLASS with nothing of the classes left written.
HRESULT registerServer(std::span<const ClassRegistration> classes, bool describeCategories);

// Removes the keys each class owns; a ProgID that now names another class stays. Keys already
// gone are no failure. S_OK or SELFREG_E_CLASS.
HRESULT unregisterServer(std::span<const ClassRegistration> classes);

} // namespace servers::kit
