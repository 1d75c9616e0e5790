// The process image of one simulated controlled station: its points (two-state and
// measured), the command addresses it accepts, and how it sends them on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "SimCodec.h"

namespace telegate::sim {

struct TSimPoint {
    uint16_t ca = 0;
    uint32_t ioa = 0;
    bool twoState = true;
    double value = 0.0;
    uint8_t quality = 0;  // IV/NT/SB/BL/OV bits of the quality octet
};

// A command address; `point` is the index of the two-state point the command switches
// (its state comes back as spontaneous information), or -1.
struct TSimCommandPoint {
    uint16_t ca = 0;
    uint32_t ioa = 0;
    int point = -1;
};

class TSimStation {
  public:
    std::vector<TSimPoint> points;
    std::vector<TSimCommandPoint> commands;
    EPointType twoStateType = EPointType::Sp;
    EPointType measuredType = EPointType::Float;
    ETimeTag timeTag = ETimeTag::None;
    int perAsdu = 1;    // objects per spontaneous ASDU (capped by what fits)
    int giPerAsdu = 0;  // objects per interrogation ASDU; 0 = as many as fit
    bool sequence = false;
    std::string name;  // for messages
    // Called for every point whose value changed by `set` or by a command, so that
    // every started connection of the station sends it.
    std::function<void(size_t pointIndex)> onChange;

    EPointType TypeOf(const TSimPoint& p) const { return p.twoState ? twoStateType : measuredType; }
    bool HasCommonAddress(uint16_t ca) const;
    const TSimCommandPoint* FindCommand(uint16_t ca, uint32_t ioa) const;
    // Indices of the points with this object address (any common address when ca < 0).
    std::vector<size_t> Find(int ca, uint32_t ioa) const;
    // Sets a value (and quality) and reports the change through onChange.
    void Set(size_t index, double value, uint8_t quality);
    // Indices of the two-state points, then of the measured points, in table order.
    const std::vector<size_t>& TwoStateIndex() const { return twoStateIndex_; }
    const std::vector<size_t>& MeasuredIndex() const { return measuredIndex_; }
    // Rebuilds the two indices; call after filling `points`.
    void Reindex();

  private:
    std::vector<size_t> twoStateIndex_;
    std::vector<size_t> measuredIndex_;
};

// n two-state points at object addresses 1..n and n measured points at n+1..2n,
// all at common address ca; every two-state point also accepts commands at its own
// address.
TSimStation MakeGeneratedStation(int n, uint16_t ca);

// Stations first..first+count-1 (1-based) of a configuration file: each two-state tag
// becomes a two-state point at (AdrASDU, AdrIOA), each measured tag a measured point;
// a two-state tag with a non-zero command address (AdrASDU_TU, AdrIOA_TU) accepts
// commands there and its state follows them. Returns an error text, empty on success.
std::string LoadConfigStations(const std::string& path, int first, int count,
                               std::vector<TSimStation>& out);

// The next value of a point in a stream of spontaneous changes: two-state points
// toggle, measured points step through a range that suits the point type.
double NextValue(EPointType t, double v);

}  // namespace telegate::sim
