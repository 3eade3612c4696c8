// The host of an out-of-process server (a LocalServer32 program): its command line, the
// registration of its classes, and their class objects, served from the multithreaded apartment
// until the last object and the last lock are gone. Windows only.
//
// A program is its class table and a few lines:
//
//     HRESULT createThing(REFIID riid, void** ppv)
//     {
//         // Everything the object hands out shares its address space: tying that to the
//         // program keeps the program serving until the last of them is released.
//         auto space = servers::kit::holdingProgram(buildThingSpace());
//         return servers::kit::createObject<servers::kit::Server>(riid, ppv, thingIdentity(), space);
//     }
//     constexpr servers::kit::ClassEntry kClasses[] = {{CLSID_Thing, &createThing}};
//
//     int wmain(int argc, wchar_t** argv)
//     {
//         return servers::kit::runServerProgram({argv, argv + argc}, kClasses, thingRegistrations());
//     }
//
// (linked with -municode, as a WIN32 executable: a console would open a window whenever COM
// starts the program). The registrations are the classes' table entries with
// Activation::Program, in the same order as the class entries or any other.
//
// Command line, switches starting with - or / in any case:
//   -Embedding    COM starts the program so: serve the classes, end when nothing is held any
//                 more (or when nothing was asked of it within kFirstUseWait).
//   -RegServer    write the classes' keys, LocalServer32 naming this program, and the
//                 descriptions of the OPC categories; then end.
//   -UnregServer  remove the keys the classes own; then end.
// Exit code 0, 1 when registration or COM failed (the reason goes to the standard error, or to
// the console the program was started from), 2 for a command line it does not know.
#pragma once

#include "servers/kit/ClassFactory.h"
#include "servers/kit/Registration.h"

#include <chrono>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace servers::kit {

// How long a program started by COM waits for its first object or lock before it ends: COM
// asks at once, so a program still unused then was started by a client that has gone.
constexpr std::chrono::seconds kFirstUseWait{60};

// The whole of the program's main: what its command line asks, done; returns the exit code.
// Main thread. classes and registrations must outlive the call.
int runServerProgram(std::span<const wchar_t* const> arguments, std::span<const ClassEntry> classes,
                     std::span<const ClassRegistration> registrations);

// One reference to the program (CoAddRefServerProcess): the program serves while any exists,
// and ends when the last one goes. Once it is ending, a new reference holds nothing (false),
// and the class objects answer CO_E_SERVER_STOPPING. Any thread.
class ProgramReference {
public:
    ProgramReference();
    ProgramReference(const ProgramReference& other);
    ProgramReference& operator=(const ProgramReference& other);
    ~ProgramReference();
    explicit operator bool() const { return _held; }

private:
    bool _held;
};

// p, shared with a reference to the program: the program serves at least as long as any copy
// of the result lives. Meant for the address space a server object is made with, which the
// object, its groups and its browse enumerators all hold. Any thread.
template <class T>
std::shared_ptr<T> holdingProgram(std::shared_ptr<T> p)
{
    // The deleter owns the original and the reference, and lets both go when the last copy does.
    struct Holder {
        std::shared_ptr<T> object;
        std::shared_ptr<ProgramReference> reference;
        void operator()(T*)
        {
            object.reset();
            reference.reset();
        }
    };
    T* raw = p.get();
    return std::shared_ptr<T>(raw, Holder{std::move(p), std::make_shared<ProgramReference>()});
}

} // namespace servers::kit
