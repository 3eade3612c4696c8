// tagvista-testserver.exe: every misbehaving test server again, out of process (LocalServer32),
// so that the client's tests can meet hangs, deaths, shutdown notices and bad blocks across the
// process boundary. Built with the tests only, never installed.
//
// A hang here cannot be ended by the library's export: a test sets the named event
// kEndHangsEvent instead, and every hang running in the program then ends.
#include "servers/kit/windows/ServerProgram.h"
#include "servers/test/TestServerObjects.h"

#include <thread>

namespace {

using namespace servers;

std::shared_ptr<const kit::AddressSpace> holdProgram(std::shared_ptr<const kit::AddressSpace> space)
{
    return kit::holdingProgram(std::move(space));
}

// Waits for the event for the rest of the process; the thread ends with it.
void listenForEndHangs()
{
    const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, test::kEndHangsEvent);
    if (!event) return;
    std::thread([event] {
        while (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0) test::endRunningHangs();
    }).detach();
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    test::setSpaceHolder(&holdProgram);
    listenForEndHangs();
    const auto classes = test::classEntries(&test::processClsidOf);
    const auto registrations = test::processRegistrations();
    return kit::runServerProgram({argv, argv + argc}, classes, registrations);
}
