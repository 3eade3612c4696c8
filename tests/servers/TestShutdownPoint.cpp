// The server object's connection point for IOPCShutdown: found by its interface only, sinks
// advised and unadvised by cookie and let go with the server, the kit's shutdown notice reaching
// every sink (one that leaves, or lets go of the server, from inside its call too).
#include "ServerTestSupport.h"

#include "servers/kit/Server.h"
#include "servers/kit/TreeAddressSpace.h"

namespace {

using namespace servertest;
using servers::kit::Server;

class ShutdownPoint : public testing::Test {
protected:
    void SetUp() override
    {
        _server = ComPtr<Server>(new Server({}, std::make_shared<servers::kit::TreeAddressSpace>()));
        ASSERT_EQ(_server.as(_container), S_OK);
        ASSERT_EQ(_container->FindConnectionPoint(IID_IOPCShutdown, _point.put()), S_OK);
    }
    DWORD advise(IUnknown* sink)
    {
        DWORD cookie = 0;
        EXPECT_EQ(_point->Advise(sink, &cookie), S_OK);
        EXPECT_NE(cookie, 0u);
        return cookie;
    }

    ComPtr<Server> _server;
    ComPtr<IConnectionPointContainer> _container;
    ComPtr<IConnectionPoint> _point;
};

TEST_F(ShutdownPoint, IsFoundForIOPCShutdownOnlyAndHoldsTheServer)
{
    IID iid{};
    ASSERT_EQ(_point->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, IID_IOPCShutdown));
    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(_point->GetConnectionPointContainer(back.put()), S_OK);
    EXPECT_EQ(back.get(), _container.get());
    auto* other = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(_container->FindConnectionPoint(IID_IAdviseSink, &other), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(_container->EnumConnectionPoints(nullptr), E_NOTIMPL);
    EXPECT_EQ(_point->EnumConnections(nullptr), E_NOTIMPL);
    ComPtr<IOPCServer> notThePoint;
    EXPECT_EQ(_point.as(notThePoint), E_NOINTERFACE) << "the point is an object of its own";

    // Its references are the server's.
    const LONG held = _server->refCount();
    back.reset();
    EXPECT_EQ(_server->refCount(), held - 1);
}

TEST_F(ShutdownPoint, AdviseKeepsTheSinksIOPCShutdownUntilUnadviseOrTheServerGoes)
{
    auto a = makeSink<ShutdownSink>();
    auto b = makeSink<ShutdownSink>();
    const DWORD ca = advise(a.get());
    EXPECT_NE(advise(b.get()), ca);
    EXPECT_EQ(a->refCount(), 2);
    EXPECT_EQ(_point->Unadvise(ca), S_OK);
    EXPECT_EQ(a->refCount(), 1);
    EXPECT_EQ(_point->Unadvise(ca), CONNECT_E_NOCONNECTION) << "a cookie is taken back once";
    EXPECT_EQ(_point->Unadvise(0xDEADBEEF), CONNECT_E_NOCONNECTION);
    EXPECT_NE(advise(a.get()), ca) << "nor given again";

    auto dataSink = makeSink<RecordingSink>();
    DWORD cookie = 77;
    EXPECT_EQ(_point->Advise(dataSink.get(), &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(dataSink->refCount(), 1);
    EXPECT_EQ(_point->Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(_point->Advise(a.get(), nullptr), E_POINTER);

    // The server lets go of the sinks still advised when it goes, without a notice.
    _point.reset();
    _container.reset();
    _server.reset();
    EXPECT_EQ(a->refCount(), 1);
    EXPECT_EQ(b->refCount(), 1);
    EXPECT_TRUE(b->reasons().empty());
}

TEST_F(ShutdownPoint, RequestReachesEverySinkAndOneMayLeaveInsideItsCall)
{
    auto leaving = makeSink<ShutdownSink>();
    auto staying = makeSink<ShutdownSink>();
    const DWORD cookie = advise(leaving.get());
    advise(staying.get());
    HRESULT unadvised = E_FAIL;
    leaving->onCall = [&] { unadvised = _point->Unadvise(cookie); };
    const platform::WideString reason = u16("Плановая остановка");
    // On the calling thread: the calls have been made when it returns.
    EXPECT_EQ(_server->requestShutdown(reason.c_str()), 2u);
    EXPECT_EQ(leaving->reasons(), std::vector<platform::WideString>{reason});
    EXPECT_EQ(staying->reasons(), std::vector<platform::WideString>{reason});
    EXPECT_EQ(unadvised, S_OK);
    EXPECT_EQ(leaving->refCount(), 1);
    EXPECT_EQ(_server->requestShutdown(nullptr), 1u);
    EXPECT_EQ(staying->reasons().back(), OLESTR(""));
}

TEST_F(ShutdownPoint, ASinkMayLetGoOfTheServerInsideItsCall)
{
    auto first = makeSink<ShutdownSink>();
    auto second = makeSink<ShutdownSink>();
    advise(first.get());
    advise(second.get());
    Server* raw = _server.get();
    _point.reset();
    _container.reset();
    // The server goes while the notice is under way (a sanitizer build sees any touch of it).
    first->onCall = [this] { _server.reset(); };
    EXPECT_EQ(raw->requestShutdown(OLESTR("gone")), 2u);
    EXPECT_EQ(second->reasons().size(), 1u);
    EXPECT_EQ(first->refCount(), 1);
    EXPECT_EQ(second->refCount(), 1);
}

} // namespace
