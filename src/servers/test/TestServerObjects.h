// The test servers' objects as their two hosts use them: the library (the COM exports of an
// in-process server, and the journal and end-hangs exports of the tests) and the server program
// (tagvista-testserver.exe, the same classes out of process). Any thread.
#pragma once

#include "servers/kit/AddressSpace.h"
#include "servers/test/TestServers.h"

#include <memory>

namespace servers::test {

// What the class factory of the fault does: fails, hangs, or makes the server object.
HRESULT createTestServer(Fault fault, REFIID riid, void** ppv);

// How every address space is held from now on: a host that must live as long as its objects
// wraps them (the server program holds itself through each). Unset, they are used as built.
// Set once, before the first object is made.
using SpaceHolder = std::shared_ptr<const kit::AddressSpace> (*)(std::shared_ptr<const kit::AddressSpace>);
void setSpaceHolder(SpaceHolder holder);

// The fault's journal, copied out.
void readJournal(Fault fault, Journal* out);
// Ends every hang that is running now.
void endRunningHangs();

} // namespace servers::test

#include "servers/kit/ClassFactory.h"

#include <array>
#include <utility>

namespace servers::test {

template <Fault F>
HRESULT createTestServerOf(REFIID riid, void** ppv)
{
    return createTestServer(F, riid, ppv);
}

template <std::size_t... I>
std::array<kit::ClassEntry, sizeof...(I)> classEntriesOf(CLSID (*clsidFor)(Fault), std::index_sequence<I...>)
{
    return {kit::ClassEntry{clsidFor(kTestClasses[I].fault), &createTestServerOf<kTestClasses[I].fault>}...};
}

// Every test class, under the CLSIDs that clsidFor gives the faults.
inline std::array<kit::ClassEntry, std::size(kTestClasses)> classEntries(CLSID (*clsidFor)(Fault))
{
    return classEntriesOf(clsidFor, std::make_index_sequence<std::size(kTestClasses)>());
}

} // namespace servers::test
