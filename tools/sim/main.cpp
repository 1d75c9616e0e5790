// telegate-sim: an IEC 60870-5-104 controlled station for the demo, the integration
// tests and the benchmarks. See --help.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "SimOptions.h"
#include "SimServer.h"
#include "platform/SystemClock.h"

int main(int argc, char** argv) {
    using namespace telegate;
    using namespace telegate::sim;
    std::vector<std::string> args(argv + 1, argv + argc);
    TSimOptions options;
    std::string err = ParseSimOptions(args, options);
    if (!err.empty()) {
        std::fprintf(stderr, "telegate-sim: %s\n", err.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(SimUsage().c_str(), stdout);
        return 0;
    }
    std::vector<TSimStation> stations;
    err = BuildSimStations(options, stations);
    if (!err.empty()) {
        std::fprintf(stderr, "telegate-sim: %s\n", err.c_str());
        return 2;
    }

    // SIGINT and SIGTERM arrive as readable data in the poll loop.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int signalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);

    TSystemClock clock;
    TStreamLog log(stdout, options.quiet, options.verbose);
    TSimServer server(options, std::move(stations), clock, log);
    err = server.Open();
    if (!err.empty()) {
        std::fprintf(stderr, "telegate-sim: %s\n", err.c_str());
        return 1;
    }
    server.Run(options.readStdin ? STDIN_FILENO : -1, signalFd);
    if (signalFd >= 0) close(signalFd);
    return 0;
}
