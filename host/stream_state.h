// Whether a stream can be read whole, only in part, or not at all: the one place that decides,
// first from where the stream lies on the disc, then from what it delivered when played.
#pragma once

#include <cstdint>
#include <string>

namespace quorvex {

enum class StreamState {
    kWhole,       // its sectors lie on the data track, and it delivers what its scan counted
    kCut,         // it runs past the end of the data track, or delivers fewer frames than counted
    kUnreadable,  // it starts outside the data track: it is listed, never extracted
};
inline const char* state_name(StreamState state) {
    switch (state) {
        case StreamState::kWhole: return "whole";
        case StreamState::kCut: return "cut";
        case StreamState::kUnreadable: return "unreadable";
    }
    return "?";
}

// From where it lies: the state of `count` sectors from `start` on `disc`, with `note` saying what
// is wrong with a cut or unreadable stream (empty for a whole one).
StreamState judge_range(uint32_t disc, uint32_t start, uint32_t count, std::string& note);

// From what it delivered: a stream whose scan counted `counted` frames and that delivered
// `delivered` (played from its start) is cut when it delivered fewer; `note` gains why.
void judge_delivery(StreamState& state, std::string& note, uint32_t delivered, uint32_t counted);

}  // namespace quorvex
