// telegate-sim: an IEC 60870-5-104 controlled station for the demo, the integration
// tests and the benchmarks. See --help.
#include <cstdio>
#include <string>
#include <vector>

#include "SimNet.h"
#include "SimOptions.h"
#include "SimServer.h"
#include "platform/SystemClock.h"

int main(int argc, char** argv) {
    using namespace telegate;
    using namespace telegate::sim;
    std::string err = net::Startup();
    if (!err.empty()) {
        std::fprintf(stderr, "telegate-sim: %s\n", err.c_str());
        return 1;
    }
    // Before any thread starts: the stop requests are blocked signals on Linux.
    net::TStopRequests stop;
    TSimOptions options;
    err = ParseSimOptions(net::Arguments(argc, argv), options);
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

    TSystemClock clock;
    TStreamLog log(stdout, options.quiet, options.verbose);
    TSimServer server(options, std::move(stations), clock, log);
    err = server.Open();
    if (!err.empty()) {
        std::fprintf(stderr, "telegate-sim: %s\n", err.c_str());
        return 1;
    }
    server.Run(options.readStdin ? net::StandardInput() : net::kNoSocket, &stop);
    return 0;
}
