// Command line of telegate-sim.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SimCodec.h"
#include "SimLink.h"
#include "SimStation.h"

namespace telegate::sim {

struct TSimOptions {
    std::string bind = "127.0.0.1";
    std::vector<int> ports;  // one station per port; 0 = any free port
    std::string config;      // configuration file; empty = generated points
    int station = 1;         // first station of the file (port i serves station + i)
    int points = 10;         // generated mode: two-state and measured points each
    int asdu = 1;            // generated mode: common address
    EPointType type = EPointType::Sp;
    bool typeGiven = false;
    ETimeTag time = ETimeTag::None;
    int perAsdu = 1;
    int giPerAsdu = 0;
    bool sequence = false;
    double durationS = 0;  // 0 = run until told to stop
    bool exitOnCount = false;
    bool exitOnEof = false;
    bool readStdin = true;
    bool quiet = false;
    bool verbose = false;
    bool help = false;
    TSimLinkParams link;
};

// Parses argv[1..]. Returns an error text, empty on success.
std::string ParseSimOptions(const std::vector<std::string>& args, TSimOptions& out);
std::string SimUsage();
// The stations the options ask for, one per port: from the configuration file or
// generated, with the point types, time tag and packing applied. Error text or empty.
std::string BuildSimStations(const TSimOptions& o, std::vector<TSimStation>& out);

}  // namespace telegate::sim
