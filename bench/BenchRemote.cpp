// The scale server here against the same server on "another computer" reached through its agent
// over ssh, in one run: the connect of 100,000 items (to WM_SERVER_CONNECTED and to
// WM_SERVER_READY), the rate at which their data changes arrive while the server changes every
// item at its fastest rate, and the bytes the channel carried per change.
//
//   bench_remote <ssh host> <tagvista-agent> <classes folder> [repetitions] [seconds of delivery]
//
// TAGVISTA_SSH names the ssh command (bench/remote-bench.sh starts an sshd on a loopback port
// and sets it). The agent is started with this run's settings folder, so the server there has
// the same size as the one here.
#include "BenchSupport.h"

#include "platform/remote/AgentHosts.h"

#include <cstdlib>

namespace {

struct Figures {
    double connected = 0;
    double ready = 0;
    double changesPerSecond = 0;
    double bytesPerChange = 0;
};

bool measure(bench::Session& session, Host* host, int repetitions, double deliverySeconds, Figures& figures)
{
    std::vector<double> connected, ready, rate, bytes;
    for (int r = 0; r < repetitions; ++r) {
        auto connection = host ? session.connection(host, servers::simulation::CLSID_TagvistaScale,
                                                    servers::simulation::kScaleProgId)
                               : session.scaleConnection();
        // The channel's bytes over the counted time, per change.
        std::shared_ptr<platform::remote::AgentChannel> channel;
        std::uint64_t bytesBefore = 0;
        auto starts = [&] {
            std::string error;
            if (host) channel = platform::remote::agentFor(host->name(), error);
            bytesBefore = channel ? channel->bytesReceived() : 0;
        };
        auto ends = [&](double changes) {
            if (channel && changes > 0) bytes.push_back(static_cast<double>(channel->bytesReceived() - bytesBefore) / changes);
        };
        bench::Session::Run run;
        if (!session.run(*connection, deliverySeconds, run, starts, ends)) return false;
        connected.push_back(run.connected);
        ready.push_back(run.ready);
        rate.push_back(run.changesPerSecond);
    }
    figures = {bench::median(connected), bench::median(ready), bench::median(rate), bytes.empty() ? 0 : bench::median(bytes)};
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_remote <ssh host> <tagvista-agent> <classes folder> [repetitions] [seconds]\n");
        return 2;
    }
    const std::string hostName = argv[1];
    const int repetitions = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    const double deliverySeconds = argc > 5 ? std::max(1.0, std::atof(argv[5])) : 5.0;
    bench::Session session;
    session.scale(1000, 100, 10, 100);

    // The agent reads the scale server's size from this run's settings folder.
    platform::remote::AgentSettings settings = platform::remote::agentSettingsFromEnvironment();
    const char* config = std::getenv("XDG_CONFIG_HOME");
    settings.agent = std::string("env XDG_CONFIG_HOME=") + (config ? config : "") + " TAGVISTA_CLASSES_PATH=" + argv[3] +
                     " " + argv[2] + " --stdio";
    platform::remote::setAgentSettings(settings);
    Host* remote = session.addHost(hostName);
    if (!remote->lastError().empty()) {
        std::fprintf(stderr, "%s\n", remote->lastError().c_str());
        return 1;
    }

    Figures local, through;
    if (!measure(session, nullptr, repetitions, deliverySeconds, local)) return 1;
    if (!measure(session, remote, repetitions, deliverySeconds, through)) return 1;

    std::printf("%-22s %14s %14s %14s %16s\n", "100,000 items", "connected s", "ready s", "changes/s", "bytes/change");
    std::printf("%-22s %14.3f %14.3f %14.0f %16s\n", "here", local.connected, local.ready, local.changesPerSecond, "-");
    std::printf("%-22s %14.3f %14.3f %14.0f %16.1f\n", "through ssh + agent", through.connected, through.ready,
                through.changesPerSecond, through.bytesPerChange);
    std::printf("(medians of %d runs; changes/s = item records received over %.0f s, server update rate 10 ms)\n",
                repetitions, deliverySeconds);
    return 0;
}
