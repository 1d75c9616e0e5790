#include "SimLink.h"

#include <algorithm>
#include <cstdio>

namespace telegate::sim {

namespace {

std::string Fmt(const char* fmt, auto... args) {
    char buf[320];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

}  // namespace

TSimLink::TSimLink(TSimStation& station, const TSimLinkParams& params, const IClock& clock,
                   ISimLog& log, std::string tag)
    : station_(station), params_(params), clock_(clock), log_(log), tag_(std::move(tag)) {
    params_.k = std::clamp(params_.k, 1, 32767);
    params_.w = std::clamp(params_.w, 1, 32767);
    lastRxMs_ = clock_.MonotonicMs();
}

void TSimLink::Event(const char* word, const std::string& text) {
    log_.Put(ELineKind::Event, std::string(word) + " " + tag_ + (text.empty() ? "" : " ") + text);
}

void TSimLink::Fail(const std::string& why) {
    if (close_) return;
    Event("error", why);
    close_ = true;
    closeReason_ = why;
}

void TSimLink::Drop(const std::string& why) {
    if (close_) return;
    close_ = true;
    closeReason_ = why;
}

void TSimLink::Consume(size_t n) {
    out_.erase(out_.begin(), out_.begin() + std::min(n, out_.size()));
}

void TSimLink::OnBytes(const uint8_t* data, size_t n) {
    TBytes frame;
    while (!close_) {
        size_t took = reader_.Feed(data, n);
        data += took;
        n -= took;
        for (;;) {
            auto r = reader_.Next(frame);
            if (r == TFrameReader::EResult::NeedMore) break;
            if (r == TFrameReader::EResult::BadStart) {
                Fail("bad start octet");
                return;
            }
            if (r == TFrameReader::EResult::BadLength) {
                Fail("bad APDU length");
                return;
            }
            HandleFrame(frame);
            if (close_) return;
        }
        if (n == 0) break;
    }
}

void TSimLink::HandleFrame(const TBytes& f) {
    if (log_.Wants(ELineKind::Rx))
        log_.Put(ELineKind::Rx, "rx " + tag_ + " " + DescribeApdu(f.data(), f.size()));
    TApci c;
    if (!ParseApci(f.data(), f.size(), c)) {
        Fail("malformed frame " + HexBytes(f.data(), f.size()));
        return;
    }
    lastRxMs_ = clock_.MonotonicMs();
    switch (c.kind) {
        case EFrameKind::U:
            HandleU(c.ucode);
            return;
        case EFrameKind::S:
            Acknowledge(c.nr);
            return;
        case EFrameKind::I:
            break;
    }
    if (!started_) {
        Fail("I frame before STARTDT");
        return;
    }
    if (c.ns != vr_) {
        Fail(Fmt("sequence error: N(S)=%d, expected %d", c.ns, vr_));
        return;
    }
    if (!Acknowledge(c.nr)) return;
    vr_ = SeqNext(vr_);
    if (receivedUnacked_ == 0) firstUnackedRxMs_ = lastRxMs_;
    ++receivedUnacked_;
    HandleAsdu(TBytes(f.begin() + 6, f.end()));
    if (receivedUnacked_ >= params_.w) SendS();
}

bool TSimLink::Acknowledge(uint16_t nr) {
    uint16_t outstanding = SeqForward(ackedUpTo_, vs_);
    uint16_t acked = SeqForward(ackedUpTo_, nr);
    if (acked > outstanding) {
        Fail(Fmt("bad N(R)=%d, unacknowledged %d..%d", nr, ackedUpTo_, vs_));
        return false;
    }
    size_t released = 0;
    while (!sent_.empty() && SeqForward(ackedUpTo_, sent_.front().ns) < acked) {
        sent_.pop_front();
        ++released;
    }
    largestAck_ = std::max<int64_t>(largestAck_, static_cast<int64_t>(released));
    ackedUpTo_ = nr;
    return true;
}

void TSimLink::HandleU(uint8_t code) {
    switch (code) {
        case kStartdtAct:
            EmitU(kStartdtCon);
            if (!started_) {
                rateStartMs_ = clock_.MonotonicMs();
                rateGenerated_ = 0;
            }
            started_ = true;
            if (!everStarted_) {
                everStarted_ = true;
                if (params_.endOfInit) {
                    uint16_t ca = station_.points.empty() ? 1 : station_.points.front().ca;
                    TAsduBuilder b(kM_EI_NA, kCotInitialised, ca, false);
                    uint8_t coi = 0;
                    b.Add(0, &coi);
                    Enqueue(b.Finish());
                }
            }
            return;
        case kStopdtAct:
            if (receivedUnacked_ > 0) SendS();
            EmitU(kStopdtCon);
            started_ = false;
            return;
        case kTestfrAct:
            EmitU(kTestfrCon);
            return;
        case kTestfrCon:
            testfrSentMs_ = -1;
            return;
        default:
            Event("note", "unexpected " + UName(code));
            return;
    }
}

void TSimLink::HandleAsdu(const TBytes& asdu) {
    TAsduHeader h;
    if (!ParseAsduHeader(asdu.data(), asdu.size(), h)) {
        Event("note", "ASDU shorter than its header ignored");
        return;
    }
    const TTypeInfo* t = FindType(h.type);
    if (t == nullptr) {
        Enqueue(MirrorAsdu(asdu, kCotUnknownType, true));
        return;
    }
    if (!AsduBodyFits(h, asdu.size())) {
        Event("note", Fmt("ASDU of type %d with a wrong size ignored", h.type));
        return;
    }
    switch (h.type) {
        case kC_IC_NA:
            HandleInterrogation(asdu, h);
            return;
        case kC_SC_NA:
            HandleSingleCommand(asdu, h);
            return;
        case kC_CS_NA:
        case kC_TS_NA:
        case kC_TS_TA:
            if (h.cot == kCotActivation)
                Enqueue(MirrorAsdu(asdu, kCotActCon, false));
            else
                Enqueue(MirrorAsdu(asdu, kCotUnknownCause, true));
            return;
        default:
            if (h.type >= kC_SC_NA)
                Enqueue(MirrorAsdu(asdu, kCotUnknownType, true));
            else
                Event("note", Fmt("monitoring type %d from the master ignored", h.type));
            return;
    }
}

void TSimLink::HandleInterrogation(const TBytes& asdu, const TAsduHeader& h) {
    const uint8_t* body = asdu.data() + kAsduHeaderLength;
    uint32_t ioa = ReadIoa(body);
    uint8_t qoi = body[kIoaLength];
    if (h.cot != kCotActivation && h.cot != kCotDeactivation) {
        Enqueue(MirrorAsdu(asdu, kCotUnknownCause, true));
        return;
    }
    bool broadcast = h.commonAddress == kBroadcastAddress;
    if (!broadcast && !station_.HasCommonAddress(h.commonAddress)) {
        Enqueue(MirrorAsdu(asdu, kCotUnknownCommonAddress, true));
        return;
    }
    if (ioa != 0) {
        Enqueue(MirrorAsdu(asdu, kCotUnknownObjectAddress, true));
        return;
    }
    if (h.cot == kCotDeactivation) {
        Enqueue(MirrorAsdu(asdu, kCotDeactCon, false));
        return;
    }
    if (qoi < 20 || qoi > 36) {
        Enqueue(MirrorAsdu(asdu, kCotActCon, true));
        return;
    }
    Enqueue(MirrorAsdu(asdu, kCotActCon, false));
    std::vector<size_t> idx;
    if (qoi == 20) {
        for (const auto* list : {&station_.TwoStateIndex(), &station_.MeasuredIndex()})
            for (size_t i : *list)
                if (broadcast || station_.points[i].ca == h.commonAddress) idx.push_back(i);
        QueuePoints(idx, kCotInterrogated, false);
    }
    Enqueue(MirrorAsdu(asdu, kCotActTerm, false));
    Event("interrogation", Fmt("ca=%d qoi=%d objects=%zu", h.commonAddress, qoi, idx.size()));
}

void TSimLink::HandleSingleCommand(const TBytes& asdu, const TAsduHeader& h) {
    const uint8_t* body = asdu.data() + kAsduHeaderLength;
    uint32_t ioa = ReadIoa(body);
    uint8_t sco = body[kIoaLength];
    bool select = (sco & 0x80) != 0;
    int state = sco & 1;
    const char* what = select ? "select" : "execute";
    auto report = [&](const char* result) {
        Event("command",
              Fmt("%s ca=%d ioa=%u state=%s sco=%02X cot=%d result=%s", what, h.commonAddress,
                  static_cast<unsigned>(ioa), state ? "on" : "off", sco, h.cot, result));
    };
    if (h.count != 1 || h.sq) {
        Enqueue(MirrorAsdu(asdu, kCotActCon, true));
        report("negative");
        return;
    }
    if (h.cot != kCotActivation && h.cot != kCotDeactivation) {
        Enqueue(MirrorAsdu(asdu, kCotUnknownCause, true));
        report("unknown-cause");
        return;
    }
    if (!station_.HasCommonAddress(h.commonAddress)) {
        Enqueue(MirrorAsdu(asdu, kCotUnknownCommonAddress, true));
        report("unknown-common-address");
        return;
    }
    const TSimCommandPoint* cmd = station_.FindCommand(h.commonAddress, ioa);
    if (cmd == nullptr) {
        Enqueue(MirrorAsdu(asdu, kCotUnknownObjectAddress, true));
        report("unknown-object-address");
        return;
    }
    if (h.cot == kCotDeactivation) {
        Enqueue(MirrorAsdu(asdu, kCotDeactCon, false));
        what = "deactivate";
        report("positive");
        return;
    }
    if (params_.negativeConfirm) {
        Enqueue(MirrorAsdu(asdu, kCotActCon, true));
        report("negative");
        return;
    }
    Enqueue(MirrorAsdu(asdu, kCotActCon, false));
    report("positive");
    if (!select) {
        int point = cmd->point;
        if (point >= 0 && static_cast<size_t>(point) < station_.points.size()) {
            const TSimPoint& p = station_.points[static_cast<size_t>(point)];
            station_.Set(static_cast<size_t>(point), state, p.quality);
        }
        Enqueue(MirrorAsdu(asdu, kCotActTerm, false));
    }
}

void TSimLink::EmitRaw(const TBytes& bytes) {
    if (silent_) return;
    out_.insert(out_.end(), bytes.begin(), bytes.end());
}

void TSimLink::Emit(const TBytes& frame) {
    if (silent_) return;
    out_.insert(out_.end(), frame.begin(), frame.end());
    if (log_.Wants(ELineKind::Tx))
        log_.Put(ELineKind::Tx, "tx " + tag_ + " " + DescribeApdu(frame.data(), frame.size()));
}

void TSimLink::EmitU(uint8_t code) {
    Emit(MakeUFrame(code));
}

void TSimLink::SendS() {
    if (!params_.acknowledge || silent_) return;
    Emit(MakeSFrame(vr_));
    receivedUnacked_ = 0;
    reportedVr_ = vr_;
}

void TSimLink::SendI(const TBytes& asdu) {
    if (gapPending_) {
        gapPending_ = false;
        Event("gap", Fmt("skipped N(S)=%d", vs_));
        vs_ = SeqNext(vs_);
    }
    uint16_t nr = params_.acknowledge ? vr_ : reportedVr_;
    Emit(MakeIFrame(vs_, nr, asdu));
    if (params_.acknowledge) {
        receivedUnacked_ = 0;
        reportedVr_ = vr_;
    }
    sent_.push_back({vs_, clock_.MonotonicMs()});
    vs_ = SeqNext(vs_);
    ++iSent_;
    AfterISent();
}

void TSimLink::AfterISent() {
    if (iSent_ == params_.garbageAfter) SendGarbage();
    if (iSent_ == params_.gapAfter) MakeGap();
    if (iSent_ == params_.badStartAfter) SendBadStart();
    if (iSent_ == params_.silenceAfter) SetSilence(true);
    if (iSent_ == params_.dropAfter) {
        Event("drop", Fmt("after %lld I frames", static_cast<long long>(iSent_)));
        Drop("dropped on request");
    }
}

void TSimLink::Enqueue(TBytes asdu) {
    if (queue_.size() >= params_.maxQueue) {
        Event("error", "send queue full, ASDU dropped");
        return;
    }
    queue_.push_back(std::move(asdu));
}

void TSimLink::QueuePoints(const std::vector<size_t>& idx, uint8_t cot, bool withTime) {
    uint8_t time[7] = {};
    ETimeTag tt = withTime ? station_.timeTag : ETimeTag::None;
    if (tt == ETimeTag::Cp56) EncodeCp56(clock_.Now(), time);
    if (tt == ETimeTag::Cp24) EncodeCp24(clock_.Now(), time);
    size_t i = 0;
    while (i < idx.size()) {
        const TSimPoint& first = station_.points[idx[i]];
        EPointType type = station_.TypeOf(first);
        TAsduBuilder b(MonitorTypeCode(type, tt), cot, first.ca, station_.sequence);
        uint32_t prev = 0;
        while (i < idx.size()) {
            const TSimPoint& p = station_.points[idx[i]];
            if (b.Count() > 0 && (p.twoState != first.twoState || p.ca != first.ca ||
                                  (station_.sequence && p.ioa != prev + 1)))
                break;
            if (station_.giPerAsdu > 0 && static_cast<int>(b.Count()) >= station_.giPerAsdu) break;
            uint8_t el[8];
            EncodeElement(type, p.value, p.quality, el);
            if (!b.Add(p.ioa, el, time)) break;
            prev = p.ioa;
            ++i;
        }
        Enqueue(b.Finish());
    }
}

void TSimLink::QueueChange(size_t pointIndex) {
    if (!started_ || pointIndex >= station_.points.size()) return;
    QueuePoints({pointIndex}, kCotSpontaneous, true);
}

int64_t TSimLink::Generate(int64_t maxObjects) {
    const auto& ts = station_.TwoStateIndex();
    const auto& ti = station_.MeasuredIndex();
    if (ts.empty() && ti.empty()) return 0;
    bool measured = nextMeasured_;
    if (measured && ti.empty()) measured = false;
    if (!measured && ts.empty()) measured = true;
    nextMeasured_ = !measured;
    const auto& list = measured ? ti : ts;
    size_t& cursor = measured ? cursorMeasured_ : cursorTwoState_;
    EPointType type = measured ? station_.measuredType : station_.twoStateType;
    uint8_t code = MonitorTypeCode(type, station_.timeTag);
    int64_t n = std::min<int64_t>({maxObjects, std::max(1, station_.perAsdu),
                                   TAsduBuilder::Capacity(code, station_.sequence),
                                   static_cast<int64_t>(list.size())});
    uint8_t time[7] = {};
    if (station_.timeTag == ETimeTag::Cp56) EncodeCp56(clock_.Now(), time);
    if (station_.timeTag == ETimeTag::Cp24) EncodeCp24(clock_.Now(), time);
    cursor %= list.size();
    const TSimPoint& first = station_.points[list[cursor]];
    TAsduBuilder b(code, kCotSpontaneous, first.ca, station_.sequence);
    uint32_t prev = 0;
    for (int64_t i = 0; i < n; ++i) {
        TSimPoint& p = station_.points[list[cursor]];
        if (i > 0 && (p.ca != first.ca || (station_.sequence && p.ioa != prev + 1))) break;
        p.value = NextValue(type, p.value);
        uint8_t el[8];
        EncodeElement(type, p.value, p.quality, el);
        if (!b.Add(p.ioa, el, time)) break;
        prev = p.ioa;
        cursor = (cursor + 1) % list.size();
    }
    Enqueue(b.Finish());
    spontaneous_ += b.Count();
    return b.Count();
}

void TSimLink::Service() {
    if (close_) return;
    const int64_t now = clock_.MonotonicMs();
    if (!silent_) {
        if (!sent_.empty() && now - sent_.front().ms >= params_.t1Ms) {
            Fail(Fmt("t1 expired: N(S)=%d not acknowledged", sent_.front().ns));
            return;
        }
        if (testfrSentMs_ >= 0 && now - testfrSentMs_ >= params_.t1Ms) {
            Fail("t1 expired: no TESTFR con");
            return;
        }
        if (receivedUnacked_ > 0 && now - firstUnackedRxMs_ >= params_.t2Ms) SendS();
        if (testfrSentMs_ < 0 && now - lastRxMs_ >= params_.t3Ms) {
            EmitU(kTestfrAct);
            testfrSentMs_ = now;
        }
    }
    if (started_ && !silent_) {
        // Objects still allowed by --count.
        auto remaining = [&] {
            return params_.count < 0 ? INT64_MAX : params_.count - spontaneous_;
        };
        const auto window = static_cast<size_t>(params_.k);
        if (params_.rate > 0) {
            auto total = static_cast<int64_t>(static_cast<double>(now - rateStartMs_) *
                                              params_.rate / 1000.0);
            // A master that cannot keep up does not build an unbounded backlog.
            const int64_t cap = std::max<int64_t>(static_cast<int64_t>(params_.rate), 1000);
            if (total - rateGenerated_ > cap) rateGenerated_ = total - cap;
            int64_t due = total - rateGenerated_;
            while (due > 0 && remaining() > 0 && queue_.size() < window) {
                int64_t g = Generate(std::min(due, remaining()));
                if (g == 0) break;
                rateGenerated_ += g;
                due -= g;
            }
        }
        while (burst_ > 0 && remaining() > 0 && queue_.size() < window) {
            int64_t g = Generate(std::min(burst_, remaining()));
            if (g == 0) {
                burst_ = 0;
                break;
            }
            burst_ -= g;
        }
        while (!queue_.empty() && sent_.size() < static_cast<size_t>(params_.k) && !close_ &&
               !silent_) {
            TBytes asdu = std::move(queue_.front());
            queue_.pop_front();
            SendI(asdu);
        }
    }
    if (params_.count >= 0 && spontaneous_ >= params_.count) {
        if (!countReported_) {
            countReported_ = true;
            Event("count", Fmt("reached %lld", static_cast<long long>(spontaneous_)));
        }
        if (!ackedReported_ && queue_.empty() && sent_.empty() && started_) {
            ackedReported_ = true;
            Event("count", Fmt("acknowledged %lld", static_cast<long long>(spontaneous_)));
        }
    }
}

void TSimLink::SendGarbage() {
    static constexpr uint8_t kGarbage[] = {0xFF, 0x00, 0x13, 0x37, 0xA5, 0x5A, 0x68};
    if (silent_) return;
    EmitRaw(TBytes(std::begin(kGarbage), std::end(kGarbage)));
    Event("garbage", "sent FF 00 13 37 A5 5A 68");
}

void TSimLink::MakeGap() {
    gapPending_ = true;
}

void TSimLink::SendBadStart() {
    if (silent_) return;
    TBytes f = MakeUFrame(kTestfrAct);
    f[0] = 0x67;
    EmitRaw(f);
    Event("badstart", "sent 67 04 43 00 00 00");
}

void TSimLink::SetSilence(bool on) {
    if (silent_ == on) return;
    silent_ = on;
    if (!on) {
        const int64_t now = clock_.MonotonicMs();
        for (auto& s : sent_) s.ms = now;
        lastRxMs_ = now;
        if (testfrSentMs_ >= 0) testfrSentMs_ = now;
        if (receivedUnacked_ > 0) firstUnackedRxMs_ = now;
    }
    Event("silence", on ? "on" : "off");
}

void TSimLink::SetAcknowledge(bool on) {
    params_.acknowledge = on;
    Event("ack", on ? "on" : "off");
}

void TSimLink::SetRate(double perSecond) {
    params_.rate = perSecond < 0 ? 0 : perSecond;
    rateStartMs_ = clock_.MonotonicMs();
    rateGenerated_ = 0;
}

void TSimLink::AddBurst(int64_t n) {
    if (n > 0) burst_ = std::min<int64_t>(burst_ + n, int64_t{1} << 40);
}

std::string TSimLink::Status() const {
    return Fmt(
        "status %s started=%d silent=%d ack=%d vs=%d vr=%d unacked=%zu queued=%zu "
        "iframes=%lld spontaneous=%lld largest-ack=%lld",
        tag_.c_str(), started_ ? 1 : 0, silent_ ? 1 : 0, params_.acknowledge ? 1 : 0, vs_, vr_,
        sent_.size(), queue_.size(), static_cast<long long>(iSent_),
        static_cast<long long>(spontaneous_), static_cast<long long>(largestAck_));
}

}  // namespace telegate::sim
