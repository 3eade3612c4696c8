// The exports of the test servers' library: an in-process COM server of every test class, and
// the journal and end-hangs calls of the tests.
#include "servers/test/TestServerObjects.h"

namespace {

const auto g_classes = servers::test::classEntries(&servers::test::clsidOf);

} // namespace

extern "C" TAGVISTA_SERVER_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    // The class whose library is missing is never served from this one.
    if (IsEqualCLSID(rclsid, servers::test::clsidOf(servers::test::Fault::MissingLibrary))) {
        if (ppv) *ppv = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return servers::kit::getClassObject(g_classes, rclsid, riid, ppv);
}

extern "C" TAGVISTA_SERVER_EXPORT HRESULT DllCanUnloadNow() { return S_FALSE; }

extern "C" TAGVISTA_SERVER_EXPORT void TagvistaTestJournal(servers::test::Fault fault, servers::test::Journal* out)
{
    servers::test::readJournal(fault, out);
}

extern "C" TAGVISTA_SERVER_EXPORT void TagvistaTestEndHangs() { servers::test::endRunningHangs(); }
