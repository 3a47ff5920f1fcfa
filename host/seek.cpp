#include "seek.h"

#include <cmath>
#include <memory>
#include <vector>

#include "../discwell/discwell.h"

namespace quorvex {
namespace {

// Which unit of `whole` the first unit a seek to `ms` delivers is, or -1, told by the payloads of
// the first units delivered (a reader may number its frames afresh after a seek): of the places
// where they match (steady sound repeats), the one nearest to where `ms` lies in the plug-in's
// own length.
int64_t probe(const PlaybackRequest& request, const StreamDelivery& whole, uint32_t ms, std::string& error) {
    constexpr size_t kLook = 4;
    PlaybackRequest at = request;
    at.seek_ms = ms;
    at.skip_units = 0;
    std::vector<uint64_t> prints;
    const auto take = [&](const Unit& unit, std::string& why) {
        prints.push_back(payload_print(unit.frame));
        if (prints.size() < kLook) return true;
        why = "enough";
        return false;
    };
    PlaybackCounts counts;
    std::string why;
    if (!play_stream(at, take, counts, why) && why != "enough") {
        error = why;
        return -1;
    }
    if (prints.empty()) return -1;
    const auto& units = whole.units;
    const double expected =
        request.info.duration_ms ? static_cast<double>(ms) / request.info.duration_ms * static_cast<double>(units.size()) : 0;
    int64_t best = -1;
    for (size_t i = 0; i + prints.size() <= units.size(); ++i) {
        bool match = true;
        for (size_t k = 0; k < prints.size() && match; ++k) match = units[i + k].print == prints[k];
        if (match && (best < 0 || std::abs(static_cast<double>(i) - expected) < std::abs(static_cast<double>(best) - expected))) {
            best = static_cast<int64_t>(i);
        }
    }
    return best;
}

}  // namespace

size_t unit_at(const StreamDelivery& whole, const Timeline& timeline, uint32_t ms) {
    const Rational at = Rational::of(ms, 1000);
    if (!timeline.frames.empty()) {
        // The last frame that starts by then.
        size_t frame = 0;
        for (size_t k = 1; k < timeline.frames.size() && !(at < timeline.frames[k].start); ++k) frame = k;
        size_t seen = 0;
        for (size_t i = 0; i < whole.units.size(); ++i) {
            if (whole.units[i].video && seen++ == frame) return i;
        }
        return 0;
    }
    // Sound alone: the unit whose sound is playing then.
    Rational played;
    for (size_t i = 0; i < whole.units.size(); ++i) {
        const SurveyUnit& u = whole.units[i];
        Rational length;
        for (uint32_t s = 0; s < u.sector_count; ++s) length = length + sector_duration(whole.sector_formats[u.first_sector + s]);
        if (at < played + length) return i;
        played = played + length;
    }
    return whole.units.empty() ? 0 : whole.units.size() - 1;
}

bool plan_seek(const PlaybackRequest& request, const StreamDelivery& whole, const Timeline& timeline, uint32_t ms,
               SeekPlan& plan, std::string& error) {
    plan = SeekPlan{};
    plan.unit = unit_at(whole, timeline, ms);
    if (plan.unit == 0) return true;  // the start: no seek at all
    // The latest position on the plug-in's clock that lands at or before the unit. Positions land
    // in order; the plug-in's own length bounds its clock.
    uint32_t lo = 0, hi = std::max<uint32_t>(request.info.duration_ms, 1);
    int64_t lo_landing = 0;
    const int64_t target = static_cast<int64_t>(plan.unit);
    const int64_t at_hi = probe(request, whole, hi, error);
    if (!error.empty()) return false;
    if (at_hi >= 0 && at_hi <= target) {
        lo = hi;
        lo_landing = at_hi;
    }
    while (hi - lo > 1 && lo_landing < target) {
        const uint32_t mid = lo + (hi - lo) / 2;
        const int64_t landing = probe(request, whole, mid, error);
        if (!error.empty()) return false;
        if (landing >= 0 && landing <= target) {
            lo = mid;
            lo_landing = landing;
        } else {
            hi = mid;
        }
    }
    plan.plugin_ms = lo;
    plan.skip_units = static_cast<uint32_t>(target - lo_landing);
    return true;
}

}  // namespace quorvex
