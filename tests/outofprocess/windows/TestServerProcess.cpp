// The server program's life as COM drives it: one process serves every object of its classes,
// it stays while anything it gave out is held (objects, groups, enumerators, a lock on its class
// object) and ends when the last of them goes. Whether the process still serves is asked by
// making another object: a program that is ending answers CO_E_SERVER_STOPPING, or COM starts
// a second process.
#include "OutOfProcessSupport.h"

#include "servers/simulation/ProcessClasses.h"

namespace {

using namespace outofprocess;
using servers::simulation::CLSID_TagvistaScaleProcess;
using servers::simulation::CLSID_TagvistaSimulationProcess;

class ServerProcess : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(waitUntilNoServerProcess()) << "a server process is left from before"; }

    // Makes and drops an object: S_OK only when the running process made it.
    static HRESULT serves(const std::set<DWORD>& process)
    {
        ComPtr<IOPCServer> probe;
        const HRESULT hr = createLocal(CLSID_TagvistaSimulationProcess, probe);
        if (FAILED(hr)) return hr;
        return serverProcesses() == process ? S_OK : E_FAIL;
    }
};

TEST_F(ServerProcess, ServesEveryObjectFromOneProcessAndEndsWithTheLastOneHeld)
{
    ComPtr<IOPCServer> simulation;
    ASSERT_EQ(createLocal(CLSID_TagvistaSimulationProcess, simulation), S_OK);
    const std::set<DWORD> process = serverProcesses();
    ASSERT_EQ(process.size(), 1u);
    ComPtr<IOPCBrowseServerAddressSpace> scale;
    ASSERT_EQ(createLocal(CLSID_TagvistaScaleProcess, scale), S_OK);
    EXPECT_EQ(serverProcesses(), process);

    // What the objects gave out: a group and a browse enumerator.
    ComPtr<IOPCItemMgt> group;
    ASSERT_EQ(addGroup(simulation.get(), OLESTR("Держим"), 1000, group), S_OK);
    ComPtr<IEnumString> names;
    ASSERT_EQ(scale->BrowseOPCItemIDs(OPC_BRANCH, OLESTR(""), VT_EMPTY, 0, names.put()), S_OK);
    simulation.reset();
    scale.reset();

    // They keep the program serving, and still answer.
    EXPECT_EQ(serves(process), S_OK);
    ComPtr<IOPCGroupStateMgt> state;
    ASSERT_EQ(group.as(state), S_OK);
    ASSERT_EQ(state->SetName(OLESTR("Держим ещё")), S_OK);
    EXPECT_EQ(drain(names.get(), 2).size(), 2u);
    group.reset();
    state.reset();
    EXPECT_EQ(serves(process), S_OK);
    names.reset();

    EXPECT_TRUE(waitUntilNoServerProcess());
    // The next client gets a process of its own.
    ComPtr<IOPCServer> again;
    ASSERT_EQ(createLocal(CLSID_TagvistaSimulationProcess, again), S_OK);
    const std::set<DWORD> next = serverProcesses();
    EXPECT_EQ(next.size(), 1u);
    EXPECT_NE(next, process);
    again.reset();
    EXPECT_TRUE(waitUntilNoServerProcess());
}

TEST_F(ServerProcess, ItsClassObjectMakesObjectsInTheRunningProcess)
{
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_TagvistaSimulationProcess, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               factory.putVoid()),
              S_OK);
    ComPtr<IOPCServer> first;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IOPCServer, first.putVoid()), S_OK);
    const std::set<DWORD> process = serverProcesses();
    ASSERT_EQ(process.size(), 1u);
    ComPtr<IOPCServer> second;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IOPCServer, second.putVoid()), S_OK);
    EXPECT_EQ(serverProcesses(), process);
    ComPtr<IUnknown> outer(first.get());
    ComPtr<IUnknown> aggregated;
    EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IUnknown, aggregated.putVoid()), CLASS_E_NOAGGREGATION);
    first.reset();
    second.reset();
    outer.reset();
    factory.reset();
    EXPECT_TRUE(waitUntilNoServerProcess());
}

TEST_F(ServerProcess, ALockOnTheClassObjectKeepsTheProgramUntilItIsTakenBack)
{
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_TagvistaSimulationProcess, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                               factory.putVoid()),
              S_OK);
    ComPtr<IOPCServer> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IOPCServer, object.putVoid()), S_OK);
    const std::set<DWORD> process = serverProcesses();
    ASSERT_EQ(process.size(), 1u);

    // An unlock that no lock preceded is the client's mistake, and ends nothing.
    const HRESULT unlocked = factory->LockServer(FALSE);
    if (unlocked == E_NOTIMPL) GTEST_SKIP() << "the system's class object proxy does not pass LockServer on (Wine's)";
    EXPECT_EQ(unlocked, S_OK);
    EXPECT_EQ(serves(process), S_OK);

    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    object.reset();
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IOPCServer, object.putVoid()), S_OK) << "still serving";
    object.reset();
    EXPECT_EQ(serverProcesses(), process);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.reset();
    EXPECT_TRUE(waitUntilNoServerProcess());
}

} // namespace
