#include "stream_places.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>

#include "../../codecs/mdec.h"
#include "../../discwell/discwell.h"
#include "../../contract/raw_sector.h"

namespace quorvex {
namespace {

constexpr size_t kRaw = psr::kRawSectorSize;
constexpr size_t kAudioBytes = psr::kXaAudioBytes;

struct Seen {
    uint32_t lba;
    std::array<uint8_t, kRaw> bytes;
};

// What the plug-in read since its last unit, and the sound it read and has not yet delivered.
class ReadWatch {
public:
    ReadWatch(uint32_t disc, const MovieLayout* layout) : disc_(disc), layout_(layout) {
        DwTapReads(disc_, &ReadWatch::take, this);
    }
    ~ReadWatch() { DwTapReads(disc_, nullptr, nullptr); }
    ReadWatch(const ReadWatch&) = delete;
    ReadWatch& operator=(const ReadWatch&) = delete;

    std::vector<Seen> call;   // sectors read during the latest unit
    std::deque<Seen> sound;   // sound sectors read, not yet delivered
    std::optional<uint8_t> channel;  // the stream's, from the first sector the plug-in read

private:
    static void CD_CALL take(void* context, uint32_t lba, const uint8_t* sector) {
        auto* self = static_cast<ReadWatch*>(context);
        Seen seen{lba, {}};
        std::memcpy(seen.bytes.data(), sector, kRaw);
        if (!self->channel && self->layout_) self->channel = sector_channel(*self->layout_, sector, true);
        if ((psr::RawSector(sector).submode() & psr::submode::kXaAudio) == psr::submode::kXaAudio) self->sound.push_back(seen);
        self->call.push_back(seen);
    }
    uint32_t disc_;
    const MovieLayout* layout_;
};

bool place_frame(const Unit& unit, ReadWatch& watch, const MovieLayout& layout, FramePlace& place) {
    const uint8_t channel = watch.channel.value_or(0);
    auto ours = [&](const Seen& s) {
        return layout.is_chunk(psr::RawSector(s.bytes.data())) && sector_channel(layout, s.bytes.data(), false) == channel;
    };
    // The frame begins at the last first chunk the plug-in read in this call.
    size_t first = watch.call.size();
    for (size_t i = watch.call.size(); i-- > 0;) {
        if (ours(watch.call[i]) && layout.chunks->begins_frame(psr::RawSector(watch.call[i].bytes.data()))) {
            first = i;
            break;
        }
    }
    if (first == watch.call.size()) return false;
    const uint32_t key = layout.chunks->frame_key(psr::RawSector(watch.call[first].bytes.data()));
    std::vector<uint32_t> lbas;
    std::vector<const uint8_t*> sectors;
    for (size_t i = first; i < watch.call.size(); ++i) {
        const Seen& s = watch.call[i];
        if (!ours(s) || layout.chunks->frame_key(psr::RawSector(s.bytes.data())) != key) continue;
        lbas.push_back(s.lba);
        sectors.push_back(s.bytes.data());
    }
    place.spans = chunk_spans(layout, lbas, sectors);
    // The spans must hold what was delivered, byte for byte.
    size_t at = 0;
    const size_t size = unit.frame.payload_size;
    for (size_t i = 0; i < place.spans.size() && at < size; ++i) {
        const size_t n = std::min<size_t>(place.spans[i].length, size - at);
        if (std::memcmp(sectors[i] + psr::kUserDataOffset + place.spans[i].offset, unit.frame.payload + at, n) != 0) return false;
        at += n;
    }
    if (at != size || size < codecs::MdecHeader::kBytes) return false;
    place.frame_number = unit.frame.frame_number;
    place.width = static_cast<uint16_t>(unit.frame.width);
    place.height = static_cast<uint16_t>(unit.frame.height);
    place.version = codecs::MdecHeader::parse(unit.frame.payload).version;
    place.delivered = static_cast<uint32_t>(size);
    return true;
}

// The disc sector each delivered sound sector came from: the first one read and not yet
// delivered that holds its bytes (a sector the plug-in silenced: the next one it read), of the
// file and channel of the stream's first.
uint16_t file_and_channel(const uint8_t* sector) {
    const psr::RawSector s(sector);
    return static_cast<uint16_t>(s.file() | s.channel() << 8);
}

bool place_sound(const uint8_t* delivered, ReadWatch& watch, std::optional<uint16_t>& stream_channel, SoundPlace& place) {
    auto same_stream = [&](const Seen& s) { return !stream_channel || file_and_channel(s.bytes.data()) == *stream_channel; };
    auto found = std::find_if(watch.sound.begin(), watch.sound.end(), [&](const Seen& s) {
        return same_stream(s) && std::memcmp(s.bytes.data() + psr::kUserDataOffset, delivered, kAudioBytes) == 0;
    });
    if (found == watch.sound.end()) found = std::find_if(watch.sound.begin(), watch.sound.end(), same_stream);
    if (found == watch.sound.end()) return false;
    place.lba = found->lba;
    place.coding = psr::RawSector(found->bytes.data()).coding();
    if (!stream_channel) stream_channel = file_and_channel(found->bytes.data());
    watch.sound.erase(watch.sound.begin(), found + 1);
    return true;
}

}  // namespace

bool find_stream_places(const PlaybackRequest& request, StreamPlaces& places, std::string& error) {
    places = StreamPlaces{};
    places.layout = movie_layout(*request.plugin);
    ReadWatch watch(request.disc, places.layout);
    std::optional<uint16_t> sound_stream;
    auto handle = [&](const Unit& unit, std::string& why) {
        if (unit.video) {
            FramePlace place;
            if (!places.layout || !place_frame(unit, watch, *places.layout, place)) {
                why = "frame " + std::to_string(unit.frame.frame_number) + " (the " + std::to_string(places.frames.size() + 1) +
                      ". delivered) does not lie in sectors quorvex can place it in";
                return false;
            }
            places.frames.push_back(std::move(place));
        } else if (request.plugin->decodes_audio) {
            // An archive block is the user data of the sector read for it.
            const auto found = std::find_if(watch.call.begin(), watch.call.end(), [&](const Seen& s) {
                return unit.frame.payload_size == psr::kForm1UserBytes &&
                       std::memcmp(s.bytes.data() + psr::kUserDataOffset, unit.frame.payload, psr::kForm1UserBytes) == 0;
            });
            if (found == watch.call.end()) {
                why = "sound block " + std::to_string(places.blocks.size() + 1) + " was not read from the disc as delivered";
                return false;
            }
            places.blocks.push_back(found->lba);
        } else {
            for (uint32_t at = 0; at + kAudioBytes <= unit.frame.payload_size; at += kAudioBytes) {
                SoundPlace place;
                if (!place_sound(unit.frame.payload + at, watch, sound_stream, place)) {
                    why = "sound sector " + std::to_string(places.sound.size() + 1) + " was not read from the disc as delivered";
                    return false;
                }
                places.sound.push_back(place);
            }
        }
        watch.call.clear();
        return true;
    };
    PlaybackCounts counts;
    return play_stream(request, handle, counts, error);
}

}  // namespace quorvex
