// The operator window's "Statistics" view of one station: the link statistics
// /stations.php shows, as rows of a name and a value, from the statistics image
// the publication pass keeps (refreshed by the view about once a second).
// Main thread.
#pragma once

#include <string>
#include <vector>

#include "iec104/LinkStatistics.h"

namespace telegate {

class TAppContext;

struct TStatisticsRow {
    std::string Name;
    std::string Value;
    bool operator==(const TStatisticsRow&) const = default;
};

// The rows of a station's statistics; english: the captions of the English
// interface. Received ASDUs follow by type identification (those seen only).
std::vector<TStatisticsRow> StatisticsRows(const TLinkStatistics& stats, bool connected,
                                           bool english);

class TStatisticsPresenter {
  public:
    // ctx must outlive the presenter.
    explicit TStatisticsPresenter(const TAppContext& ctx) : FCtx(ctx) {}

    // Station kp (1..Kol_KP) is shown; false (nothing changes) for another number.
    bool Select(int kp);
    int Station() const { return FKp; }
    // "Статистика - <station>" (the station's name, "" before a selection).
    std::string Caption() const;
    // The station's rows now; empty while no station is selected or the selected
    // one is gone from the table.
    std::vector<TStatisticsRow> Rows() const;

  private:
    bool English() const;

    const TAppContext& FCtx;
    int FKp = 0;
};

}  // namespace telegate
