#include "SimServer.h"

#include <charconv>
#include <cstring>
#include <sstream>

namespace telegate::sim {

namespace {

constexpr size_t kMaxOutput = 8u << 20;   // unsent octets of one connection
constexpr size_t kMaxCommandLine = 4096;  // longer stdin lines are dropped

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    std::string s;
    while (in >> s) w.push_back(s);
    return w;
}

bool ParseInt(const std::string& s, long long lo, long long hi, long long& out) {
    long long v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool ParseReal(const std::string& s, double& out) {
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

}  // namespace

void TStreamLog::Put(ELineKind kind, const std::string& line) {
    if (!Wants(kind)) return;
    std::fwrite(line.data(), 1, line.size(), f_);
    std::fputc('\n', f_);
    std::fflush(f_);
}

bool TStreamLog::Wants(ELineKind kind) const {
    switch (kind) {
        case ELineKind::Rx:
            return !quiet_;
        case ELineKind::Tx:
            return verbose_;
        case ELineKind::Event:
            return true;
    }
    return true;
}

TSimServer::TSimServer(const TSimOptions& options, std::vector<TSimStation> stations,
                       const IClock& clock, ISimLog& log)
    : options_(options), clock_(clock), log_(log) {
    for (size_t i = 0; i < stations.size(); ++i) {
        TStationSlot s;
        s.station = std::make_unique<TSimStation>(std::move(stations[i]));
        s.params = options.link;
        s.port = i < options.ports.size() ? options.ports[i] : 0;
        slots_.push_back(std::move(s));
    }
    for (size_t i = 0; i < slots_.size(); ++i) {
        slots_[i].station->onChange = [this, i](size_t point) {
            for (auto& c : conns_)
                if (c->slot == i) c->link->QueueChange(point);
        };
    }
}

TSimServer::~TSimServer() {
    for (auto& c : conns_) net::Close(c->socket);
    for (auto& s : slots_) net::Close(s.listener);
}

void TSimServer::Event(const std::string& line) {
    log_.Put(ELineKind::Event, line);
}

std::string TSimServer::Open() {
    for (auto& s : slots_) {
        std::string err;
        s.listener = net::Listen(options_.bind, s.port, err);
        if (s.listener == net::kNoSocket) return err;
        Event("listening " + options_.bind + ":" + std::to_string(s.port));
    }
    Event("ready");
    return {};
}

std::vector<int> TSimServer::Ports() const {
    std::vector<int> r;
    for (const auto& s : slots_) r.push_back(s.port);
    return r;
}

void TSimServer::Accept(size_t slot) {
    for (;;) {
        auto c = std::make_unique<TConn>();
        c->socket = net::Accept(slots_[slot].listener, c->peer);
        if (c->socket == net::kNoSocket) return;
        c->slot = slot;
        const std::string tag = std::to_string(slots_[slot].port);
        c->link = std::make_unique<TSimLink>(*slots_[slot].station, slots_[slot].params, clock_,
                                             log_, tag);
        Event("connected " + tag + " " + c->peer);
        conns_.push_back(std::move(c));
    }
}

void TSimServer::CloseConn(TConn& c, const std::string& reason) {
    if (c.socket == net::kNoSocket) return;
    net::Close(c.socket);
    c.socket = net::kNoSocket;
    Event("disconnected " + std::to_string(slots_[c.slot].port) + " " + c.peer + " " + reason);
}

void TSimServer::ReadConn(TConn& c) {
    uint8_t buf[16384];
    const net::TIo r = net::Receive(c.socket, buf, sizeof buf);
    if (r.status == net::EIo::Done)
        c.link->OnBytes(buf, r.count);
    else if (r.status == net::EIo::Closed)
        CloseConn(c, "closed by peer");
    else if (r.status == net::EIo::Failed)
        CloseConn(c, "receive error: " + r.error);
}

void TSimServer::Flush(TConn& c) {
    const TBytes& out = c.link->Output();
    if (c.socket == net::kNoSocket || out.empty()) return;
    const net::TIo r = net::Send(c.socket, out.data(), out.size());
    if (r.status == net::EIo::Done && r.count > 0)
        c.link->Consume(r.count);
    else if (r.status == net::EIo::Failed)
        CloseConn(c, "send error: " + r.error);
    if (c.socket != net::kNoSocket && c.link->Output().size() > kMaxOutput)
        CloseConn(c, "peer does not read");
}

void TSimServer::ReadStdin(net::TSocket input) {
    char buf[4096];
    const net::TIo r = net::Receive(input, buf, sizeof buf);
    if (r.status == net::EIo::WouldBlock) return;
    if (r.status != net::EIo::Done) {
        stdinOpen_ = false;
        if (options_.exitOnEof) stop_ = true;
        return;
    }
    stdinBuf_.append(buf, r.count);
    size_t pos;
    while ((pos = stdinBuf_.find('\n')) != std::string::npos) {
        std::string line = stdinBuf_.substr(0, pos);
        stdinBuf_.erase(0, pos + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!Command(line)) stop_ = true;
    }
    if (stdinBuf_.size() > kMaxCommandLine) {
        stdinBuf_.clear();
        Event("error cmd line too long, dropped");
    }
}

bool TSimServer::Command(const std::string& line) {
    std::vector<std::string> w = Words(line);
    if (w.empty() || w[0][0] == '#') return true;
    long long onlyPort = -1;
    if (w[0][0] == '@') {
        if (!ParseInt(w[0].substr(1), 0, 65535, onlyPort)) {
            Event("error cmd bad port in: " + line);
            return true;
        }
        w.erase(w.begin());
        if (w.empty()) {
            Event("error cmd missing command: " + line);
            return true;
        }
    }
    const std::string& cmd = w[0];
    auto selected = [&](size_t slot) { return onlyPort < 0 || slots_[slot].port == onlyPort; };
    auto forLinks = [&](auto fn) {
        for (auto& c : conns_)
            if (c->socket != net::kNoSocket && selected(c->slot)) fn(*c->link);
    };
    auto onOff = [&](bool& out) {
        if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return false;
        out = w[1] == "on";
        return true;
    };
    auto bad = [&] {
        Event("error cmd bad command: " + line);
        return true;
    };
    bool flag = false;
    long long n = 0;
    double d = 0;
    if (cmd == "quit" || cmd == "exit") {
        Event("ok " + line);
        return false;
    } else if (cmd == "set") {
        if (w.size() < 3 || w.size() > 4) return bad();
        long long ca = -1, ioa = 0;
        std::string a = w[1];
        auto slash = a.find('/');
        if (slash != std::string::npos) {
            if (!ParseInt(a.substr(0, slash), 0, 65535, ca)) return bad();
            a = a.substr(slash + 1);
        }
        if (!ParseInt(a, 0, 0xFFFFFF, ioa) || !ParseReal(w[2], d)) return bad();
        long long q = -1;
        if (w.size() == 4) {
            auto [p, ec] = std::from_chars(w[3].data(), w[3].data() + w[3].size(), q, 16);
            if (ec != std::errc() || p != w[3].data() + w[3].size() || q < 0 || q > 255)
                return bad();
        }
        int found = 0;
        for (size_t s = 0; s < slots_.size(); ++s) {
            if (!selected(s)) continue;
            TSimStation& st = *slots_[s].station;
            for (size_t i : st.Find(static_cast<int>(ca), static_cast<uint32_t>(ioa))) {
                st.Set(i, d, q < 0 ? st.points[i].quality : static_cast<uint8_t>(q));
                ++found;
            }
        }
        if (found == 0) {
            Event("error cmd no point " + w[1]);
            return true;
        }
    } else if (cmd == "burst") {
        if (w.size() != 2 || !ParseInt(w[1], 0, 1LL << 40, n)) return bad();
        forLinks([&](TSimLink& l) { l.AddBurst(n); });
    } else if (cmd == "rate") {
        if (w.size() != 2 || !ParseReal(w[1], d) || d < 0 || d > 1e7) return bad();
        for (size_t s = 0; s < slots_.size(); ++s)
            if (selected(s)) slots_[s].params.rate = d;
        forLinks([&](TSimLink& l) { l.SetRate(d); });
    } else if (cmd == "gap") {
        forLinks([](TSimLink& l) { l.MakeGap(); });
    } else if (cmd == "garbage") {
        forLinks([](TSimLink& l) { l.SendGarbage(); });
    } else if (cmd == "badstart") {
        forLinks([](TSimLink& l) { l.SendBadStart(); });
    } else if (cmd == "drop") {
        forLinks([](TSimLink& l) { l.Drop("dropped on request"); });
    } else if (cmd == "silence") {
        if (!onOff(flag)) return bad();
        forLinks([&](TSimLink& l) { l.SetSilence(flag); });
    } else if (cmd == "ack") {
        if (!onOff(flag)) return bad();
        for (size_t s = 0; s < slots_.size(); ++s)
            if (selected(s)) slots_[s].params.acknowledge = flag;
        forLinks([&](TSimLink& l) { l.SetAcknowledge(flag); });
    } else if (cmd == "negative") {
        if (!onOff(flag)) return bad();
        for (size_t s = 0; s < slots_.size(); ++s)
            if (selected(s)) slots_[s].params.negativeConfirm = flag;
        forLinks([&](TSimLink& l) { l.SetNegativeConfirm(flag); });
    } else if (cmd == "status") {
        forLinks([&](TSimLink& l) { Event(l.Status()); });
    } else {
        Event("error cmd unknown command: " + line);
        return true;
    }
    Event("ok " + line);
    return true;
}

void TSimServer::Run(net::TSocket input, net::TStopRequests* stop) {
    const int64_t start = clock_.MonotonicMs();
    const net::TSocket stopSocket = stop != nullptr ? stop->Socket() : net::kNoSocket;
    std::vector<net::TWaitItem> items;
    while (!stop_) {
        items.clear();
        for (const auto& s : slots_) items.push_back({s.listener});
        const size_t inputAt = items.size();
        items.push_back({stdinOpen_ ? input : net::kNoSocket});
        items.push_back({stopSocket});
        const size_t connAt = items.size();
        bool busy = false;
        for (const auto& c : conns_) {
            items.push_back({c->socket, !c->link->Output().empty()});
            if (c->link->Started() && (c->link->Queued() > 0 || slots_[c->slot].params.rate > 0))
                busy = true;
        }
        const int timeout = conns_.empty() ? 200 : busy ? 2 : 20;
        std::string err;
        if (!net::Wait(items, timeout, err)) {
            Event("error poll: " + err);
            break;
        }
        if (items[inputAt + 1].readable) {
            const std::string what = stop->Take();
            if (!what.empty()) Event(what);
            stop_ = true;
        }
        if (items[inputAt].readable || items[inputAt].broken) ReadStdin(input);
        for (size_t i = 0; i < conns_.size() && connAt + i < items.size(); ++i) {
            TConn& c = *conns_[i];
            const net::TWaitItem& it = items[connAt + i];
            if (c.socket == net::kNoSocket) continue;
            if (it.readable)
                ReadConn(c);
            else if (it.broken)
                CloseConn(c, "connection error");
        }
        for (size_t s = 0; s < slots_.size(); ++s)
            if (items[s].readable) Accept(s);
        for (auto& cp : conns_) {
            TConn& c = *cp;
            if (c.socket == net::kNoSocket) continue;
            c.link->Service();
            Flush(c);
            if (c.link->CountAcknowledged()) slots_[c.slot].countDone = true;
            if (c.socket != net::kNoSocket && c.link->WantsClose())
                CloseConn(c, c.link->CloseReason());
        }
        std::erase_if(conns_,
                      [](const std::unique_ptr<TConn>& c) { return c->socket == net::kNoSocket; });
        if (options_.durationS > 0 &&
            clock_.MonotonicMs() - start >= static_cast<int64_t>(options_.durationS * 1000)) {
            Event("duration elapsed");
            stop_ = true;
        }
        if (options_.exitOnCount) {
            bool all = !slots_.empty();
            for (const auto& s : slots_) all = all && s.countDone;
            if (all) stop_ = true;
        }
    }
    for (auto& c : conns_) {
        Flush(*c);
        CloseConn(*c, "shutdown");
    }
    conns_.clear();
    Event("bye");
}

}  // namespace telegate::sim
