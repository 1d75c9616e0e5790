#include "SimOptions.h"

#include <charconv>
#include <cmath>

namespace telegate::sim {

namespace {

bool ToInt(const std::string& s, int64_t lo, int64_t hi, int64_t& out) {
    int64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool ToDouble(const std::string& s, double lo, double hi, double& out) {
    double v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || !std::isfinite(v) || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

}  // namespace

std::string SimUsage() {
    return R"(telegate-sim: an IEC 60870-5-104 controlled station (outstation) for tests and demos.

Usage: telegate-sim [options]

Where it listens (loopback by default):
  --bind ADDR          IPv4 address to listen on (default 127.0.0.1)
  --port P             listen on port P (0 = any free port; default 2404)
  --ports P1-P2        listen on every port P1..P2, one station each
  --port-count K       listen on K consecutive ports from --port (with port 0: K free ports)

What it serves:
  --config FILE        serve a station of a configuration file: every TS tag is a two-state
                       point at its AdrASDU/AdrIOA (commands accepted at AdrASDU_TU/AdrIOA_TU),
                       every TIT tag a measured point
  --station N          the station of the file (1-based, default 1); with several ports,
                       port i (from 0) serves station N + i
  --points N           without --config: N two-state points at object addresses 1..N and N
                       measured points at N+1..2N (default 10); commands at 1..N
  --asdu CA            without --config: the common address (default 1)
  --type T             sp or dp for the two-state points, st, bo, nva, sva, float or it for the
                       measured points (defaults: sp and float)
  --time T             time tag of spontaneous data: none, cp24 or cp56 (default none);
                       interrogated data never carries one
  --per-asdu N         objects per spontaneous ASDU, 1..127 (capped per type at what fits)
  --gi-per-asdu N      objects per interrogation ASDU, 1..127 (default: as many as fit)
  --sq                 send consecutive object addresses as sequences (SQ=1)

Spontaneous changes (per connection):
  --rate R             changes per second (default 0 = none)
  --count N            stop after N spontaneous objects; prints "count PORT reached N" and,
                       once all are acknowledged, "count PORT acknowledged N"
  --exit-on-count      exit when every port has had its count acknowledged
  --duration S         exit after S seconds

Link parameters:
  --k N (default 12)  --w N (default 8)  --t1 S (15)  --t2 S (10)  --t3 S (20)

Behaviour:
  --negative-confirm   answer commands with a negative confirmation (COT 0x47)
  --end-of-init        send M_EI_NA after the first STARTDT of a connection
  --no-ack             never acknowledge the master's I frames
  --garbage-after N    send garbage octets after N I frames of a connection
  --gap-after N        skip one send sequence number after N I frames
  --badstart-after N   send a frame with a wrong start octet after N I frames
  --drop-after N       close the connection after N I frames
  --silence-after N    go silent after N I frames

Output and control:
  --quiet              do not print received frames
  --verbose            also print sent frames
  --no-stdin           do not read commands from standard input
  --exit-on-eof        exit when standard input ends
  --help               this text

Commands on standard input (one per line; "@PORT command" sends it to one port only):
  set IOA VALUE [Q]    set a point (IOA or CA/IOA; Q = quality octet in hex) and send it
  burst N              send N spontaneous changes now
  rate R               change the spontaneous rate
  gap                  skip one send sequence number in the next I frame
  garbage              send garbage octets
  badstart             send a frame with a wrong start octet
  drop                 close the connections
  silence on|off       stop / resume sending anything
  ack on|off           resume / stop acknowledging
  negative on|off      negative / positive command confirmations
  status               print the state of every connection
  quit                 exit

Output lines (stdout):
  listening ADDR:PORT            once per port, then "ready"
  connected PORT PEER            disconnected PORT PEER REASON
  rx PORT FRAME / tx PORT FRAME  a decoded frame (tx only with --verbose)
  interrogation PORT ...  command PORT ...  count PORT ...  error PORT ...  status PORT ...
  bye                            on exit
)";
}

std::string ParseSimOptions(const std::vector<std::string>& args, TSimOptions& o) {
    int64_t basePort = 2404;
    int64_t portCount = 1;
    int64_t rangeFirst = -1, rangeLast = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) return false;
            v = args[++i];
            return true;
        };
        auto intArg = [&](int64_t lo, int64_t hi, int64_t& out) {
            std::string v;
            return value(v) && ToInt(v, lo, hi, out);
        };
        int64_t n = 0;
        double d = 0;
        std::string v;
        const std::string bad = "bad or missing value for " + a;
        if (a == "--help" || a == "-h")
            o.help = true;
        else if (a == "--bind") {
            if (!value(o.bind)) return bad;
        } else if (a == "--port") {
            if (!intArg(0, 65535, basePort)) return bad;
        } else if (a == "--ports") {
            if (!value(v)) return bad;
            auto dash = v.find('-');
            if (dash == std::string::npos || !ToInt(v.substr(0, dash), 1, 65535, rangeFirst) ||
                !ToInt(v.substr(dash + 1), 1, 65535, rangeLast) || rangeLast < rangeFirst)
                return bad;
        } else if (a == "--port-count") {
            if (!intArg(1, 1024, portCount)) return bad;
        } else if (a == "--config") {
            if (!value(o.config)) return bad;
        } else if (a == "--station") {
            if (!intArg(1, 32, n)) return bad;
            o.station = static_cast<int>(n);
        } else if (a == "--points") {
            if (!intArg(0, 30000, n)) return bad;
            o.points = static_cast<int>(n);
        } else if (a == "--asdu") {
            if (!intArg(0, 65535, n)) return bad;
            o.asdu = static_cast<int>(n);
        } else if (a == "--type") {
            if (!value(v) || !ParsePointType(v, o.type)) return bad;
            o.typeGiven = true;
        } else if (a == "--time") {
            if (!value(v) || !ParseTimeTag(v, o.time)) return bad;
        } else if (a == "--per-asdu") {
            if (!intArg(1, 127, n)) return bad;
            o.perAsdu = static_cast<int>(n);
        } else if (a == "--gi-per-asdu") {
            if (!intArg(1, 127, n)) return bad;
            o.giPerAsdu = static_cast<int>(n);
        } else if (a == "--sq")
            o.sequence = true;
        else if (a == "--rate") {
            if (!value(v) || !ToDouble(v, 0, 1e7, d)) return bad;
            o.link.rate = d;
        } else if (a == "--count") {
            if (!intArg(0, INT64_MAX / 2, o.link.count)) return bad;
        } else if (a == "--exit-on-count")
            o.exitOnCount = true;
        else if (a == "--duration") {
            if (!value(v) || !ToDouble(v, 0, 1e7, o.durationS)) return bad;
        } else if (a == "--k") {
            if (!intArg(1, 32767, n)) return bad;
            o.link.k = static_cast<int>(n);
        } else if (a == "--w") {
            if (!intArg(1, 32767, n)) return bad;
            o.link.w = static_cast<int>(n);
        } else if (a == "--t1" || a == "--t2" || a == "--t3") {
            if (!value(v) || !ToDouble(v, 0.001, 86400, d)) return bad;
            int ms = static_cast<int>(d * 1000);
            (a == "--t1" ? o.link.t1Ms : a == "--t2" ? o.link.t2Ms : o.link.t3Ms) = ms;
        } else if (a == "--negative-confirm")
            o.link.negativeConfirm = true;
        else if (a == "--end-of-init")
            o.link.endOfInit = true;
        else if (a == "--no-ack")
            o.link.acknowledge = false;
        else if (a == "--garbage-after") {
            if (!intArg(0, INT64_MAX / 2, o.link.garbageAfter)) return bad;
        } else if (a == "--gap-after") {
            if (!intArg(0, INT64_MAX / 2, o.link.gapAfter)) return bad;
        } else if (a == "--badstart-after") {
            if (!intArg(0, INT64_MAX / 2, o.link.badStartAfter)) return bad;
        } else if (a == "--drop-after") {
            if (!intArg(0, INT64_MAX / 2, o.link.dropAfter)) return bad;
        } else if (a == "--silence-after") {
            if (!intArg(0, INT64_MAX / 2, o.link.silenceAfter)) return bad;
        } else if (a == "--quiet")
            o.quiet = true;
        else if (a == "--verbose")
            o.verbose = true;
        else if (a == "--no-stdin")
            o.readStdin = false;
        else if (a == "--exit-on-eof")
            o.exitOnEof = true;
        else
            return "unknown option " + a + " (see --help)";
    }
    o.ports.clear();
    if (rangeFirst > 0) {
        if (rangeLast - rangeFirst >= 1024) return "at most 1024 ports";
        for (int64_t p = rangeFirst; p <= rangeLast; ++p) o.ports.push_back(static_cast<int>(p));
    } else {
        if (basePort != 0 && basePort + portCount - 1 > 65535) return "port range beyond 65535";
        for (int64_t k = 0; k < portCount; ++k)
            o.ports.push_back(basePort == 0 ? 0 : static_cast<int>(basePort + k));
    }
    if (o.exitOnCount && o.link.count < 0) return "--exit-on-count needs --count";
    return {};
}

std::string BuildSimStations(const TSimOptions& o, std::vector<TSimStation>& out) {
    out.clear();
    if (!o.config.empty()) {
        std::string err =
            LoadConfigStations(o.config, o.station, static_cast<int>(o.ports.size()), out);
        if (!err.empty()) return err;
    } else {
        for (size_t i = 0; i < o.ports.size(); ++i)
            out.push_back(MakeGeneratedStation(o.points, static_cast<uint16_t>(o.asdu)));
    }
    for (TSimStation& st : out) {
        if (o.typeGiven) (IsTwoStateType(o.type) ? st.twoStateType : st.measuredType) = o.type;
        st.timeTag = o.time;
        st.perAsdu = o.perAsdu;
        st.giPerAsdu = o.giPerAsdu;
        st.sequence = o.sequence;
    }
    return {};
}

}  // namespace telegate::sim
