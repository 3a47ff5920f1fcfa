#include "movie_pacing.h"

#include <algorithm>
#include <numeric>

namespace discbuilder {

std::vector<uint32_t> frame_sectors_at(uint32_t tenths_fps) {
    // Frame k ends at disc sector (k + 1) x 1500 / tenths, rounded down.
    const uint32_t per_ten_seconds = kSectorsPerSecond * 10;
    const uint32_t period = tenths_fps / std::gcd(per_ten_seconds, tenths_fps);
    std::vector<uint32_t> pattern;
    for (uint32_t k = 0; k < period; ++k) {
        pattern.push_back((k + 1) * per_ten_seconds / tenths_fps - k * per_ten_seconds / tenths_fps);
    }
    return pattern;
}

Schedule schedule_movies(const std::vector<MovieTiming>& movies) {
    const size_t n = movies.size();
    Schedule s;
    s.movies.resize(n);
    s.chunks.resize(n);
    // Where each movie's frames begin, and where its last one ends, in disc sectors.
    std::vector<std::vector<uint32_t>> starts(n);
    for (size_t i = 0; i < n; ++i) {
        uint32_t at = 0;
        for (uint32_t k = 0; k < movies[i].frames; ++k) {
            starts[i].push_back(at);
            at += movies[i].frame_sectors[k % movies[i].frame_sectors.size()];
        }
        starts[i].push_back(at);
        s.spans.push_back(at);
        s.length = std::max(s.length, at);
    }
    std::vector<uint32_t> frame(n, 0);
    size_t turn = 0;  // the movie whose turn the next video sector is
    for (uint32_t p = 0; p < s.length; ++p) {
        for (size_t i = 0; i < n; ++i) {
            while (frame[i] < movies[i].frames && p >= starts[i][frame[i] + 1]) ++frame[i];
        }
        // Sound first, at its fixed spacing, while its movie plays.
        bool sound = false;
        for (size_t i = 0; i < n && !sound; ++i) {
            const MovieTiming& m = movies[i];
            if (m.audio_spacing && p % m.audio_spacing == m.audio_phase % m.audio_spacing && p < starts[i].back()) {
                s.movies[i].push_back({MovieSlot::Kind::kAudio, p, frame[i]});
                sound = true;
            }
        }
        if (sound) continue;
        const size_t i = turn;
        turn = (turn + 1) % n;
        // A movie that has ended leaves its turns empty until the others end.
        if (frame[i] < movies[i].frames) {
            s.movies[i].push_back({MovieSlot::Kind::kVideo, p, frame[i]});
        } else {
            s.empty_turns.emplace_back(p, i);
        }
    }
    for (size_t i = 0; i < n; ++i) {
        const MovieTiming& m = movies[i];
        auto& slots = s.movies[i];
        // A frame's last video sector ends it (but the movie's last frame's).
        for (size_t at = 0; m.frame_end_sector && at < slots.size(); ++at) {
            if (slots[at].kind != MovieSlot::Kind::kVideo || slots[at].frame + 1 >= m.frames) continue;
            size_t next = at + 1;
            while (next < slots.size() && slots[next].kind != MovieSlot::Kind::kVideo) ++next;
            if (next < slots.size() && slots[next].frame != slots[at].frame) slots[at].kind = MovieSlot::Kind::kEndSector;
        }
        // A marker sector opens the window of the frame after marker_after_frame.
        for (MovieSlot& slot : slots) {
            if (m.marker_after_frame && slot.kind == MovieSlot::Kind::kVideo && slot.frame == m.marker_after_frame) {
                slot.kind = MovieSlot::Kind::kMarker;
                break;
            }
        }
        s.chunks[i].assign(m.frames, 0);
        for (const MovieSlot& slot : slots) {
            if (slot.kind == MovieSlot::Kind::kVideo) ++s.chunks[i][slot.frame];
        }
    }
    return s;
}

}  // namespace discbuilder
