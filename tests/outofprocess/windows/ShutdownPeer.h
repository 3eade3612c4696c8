// What the shutdown peer (ShutdownPeer.cpp) and the test that runs it agree on: the peer is a
// server process of its own that offers a connection point for IOPCShutdown, writes its object
// (IConnectionPointContainer, marshalled for another process) to its standard output as one line
// of hex digits, calls ShutdownRequest(kPeerReason) on the first sink advised, and ends when its
// standard input closes, with one of the exit codes below.
#pragma once

namespace outofprocess {

constexpr const wchar_t* kPeerReason = L"Цех1: остановка на обслуживание";

enum PeerExit : int {
    kPeerDone = 0,           // a sink was advised and its ShutdownRequest answered S_OK
    kPeerNoCom = 1,          // COM did not start, or the object could not be marshalled
    kPeerNotIOPCShutdown = 3,  // the sink did not answer IOPCShutdown (no proxy for it?)
    kPeerRequestFailed = 4,  // ShutdownRequest failed
    kPeerNoSink = 5,         // the input closed before a sink was advised
};

} // namespace outofprocess
