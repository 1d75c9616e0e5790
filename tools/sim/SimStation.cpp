#include "SimStation.h"

#include <cmath>

namespace telegate::sim {

bool TSimStation::HasCommonAddress(uint16_t ca) const {
    for (const auto& p : points)
        if (p.ca == ca) return true;
    for (const auto& c : commands)
        if (c.ca == ca) return true;
    return false;
}

const TSimCommandPoint* TSimStation::FindCommand(uint16_t ca, uint32_t ioa) const {
    for (const auto& c : commands)
        if (c.ca == ca && c.ioa == ioa) return &c;
    return nullptr;
}

std::vector<size_t> TSimStation::Find(int ca, uint32_t ioa) const {
    std::vector<size_t> r;
    for (size_t i = 0; i < points.size(); ++i)
        if (points[i].ioa == ioa && (ca < 0 || points[i].ca == ca)) r.push_back(i);
    return r;
}

void TSimStation::Set(size_t index, double value, uint8_t quality) {
    if (index >= points.size()) return;
    points[index].value = value;
    points[index].quality = quality;
    if (onChange) onChange(index);
}

void TSimStation::Reindex() {
    twoStateIndex_.clear();
    measuredIndex_.clear();
    for (size_t i = 0; i < points.size(); ++i)
        (points[i].twoState ? twoStateIndex_ : measuredIndex_).push_back(i);
}

TSimStation MakeGeneratedStation(int n, uint16_t ca) {
    TSimStation s;
    s.name = "generated";
    for (int i = 0; i < n; ++i) {
        TSimPoint p;
        p.ca = ca;
        p.ioa = static_cast<uint32_t>(i + 1);
        p.twoState = true;
        s.points.push_back(p);
        s.commands.push_back({ca, p.ioa, i});
    }
    for (int i = 0; i < n; ++i) {
        TSimPoint p;
        p.ca = ca;
        p.ioa = static_cast<uint32_t>(n + i + 1);
        p.twoState = false;
        p.value = 10.0 * i;
        s.points.push_back(p);
    }
    s.Reindex();
    return s;
}

double NextValue(EPointType t, double v) {
    switch (t) {
        case EPointType::Sp:
        case EPointType::Dp:
            return v != 0 ? 0.0 : 1.0;
        case EPointType::St:
            return v >= 63 ? -64.0 : std::round(v) + 1;
        case EPointType::Bo:
            return v >= 4294967295.0 ? 0.0 : std::round(v) + 1;
        case EPointType::Nva: {
            double n = v + 0.125;
            return n >= 1.0 ? -1.0 : n;
        }
        case EPointType::Sva:
            return v >= 32767 ? -32768.0 : std::round(v) + 1;
        case EPointType::Float:
            return v >= 1000.0 ? 0.0 : v + 1.25;
        case EPointType::It:
            return v >= 2147483647.0 ? 0.0 : std::round(v) + 1;
    }
    return v;
}

}  // namespace telegate::sim
