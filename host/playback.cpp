#include "playback.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "../contract/raw_sector.h"
#include "../discwell/discwell.h"
#include "interrupt.h"

namespace quorvex {
namespace {

using Clock = std::chrono::steady_clock;

// A read the sector library could not make, which the plug-in saw only as a missing sector.
bool read_failed(const PlaybackRequest& request, std::string& error) {
    uint32_t lba = 0;
    char cause[256] = {};
    if (!DwTakeReadError(request.disc, &lba, cause, sizeof cause)) return false;
    error = request.image + ": cannot read sector " + std::to_string(lba) + ": " + cause;
    return true;
}

bool is_video(const FrameBuffer& f) { return f.frame_number != 0 || f.width != 0 || f.height != 0; }

}  // namespace

std::span<const XaFormat> SectorFormats::next(uint32_t sectors) {
    const size_t n = std::min<size_t>(sectors, survey_.sector_formats.size() - std::min(at_, survey_.sector_formats.size()));
    const std::span<const XaFormat> out(survey_.sector_formats.data() + at_, n);
    at_ += n;
    return out;
}

bool play_stream(const PlaybackRequest& request, const UnitHandler& handle, PlaybackCounts& counts, std::string& error) {
    counts = PlaybackCounts{};
    std::string problem;
    auto plugin = load_fresh(*request.plugin, problem);
    if (!plugin) {
        error = problem;
        return false;
    }
    const std::string who = request.image + ": " + request.plugin->stem;
    StreamHandle* stream = plugin->open(request.disc, &request.info);
    if (read_failed(request, error)) {
        if (stream) plugin->close(stream);
        return false;
    }
    if (!stream) {
        error = who + " cannot open the stream at sector " + std::to_string(request.info.start_sector);
        return false;
    }
    struct Closer {
        PluginInstance& plugin;
        StreamHandle* stream;
        ~Closer() { plugin.close(stream); }
    } closer{*plugin, stream};

    auto frame = std::make_unique<FrameBuffer>();
    if (request.seek_ms) {
        // The first read fixes an interleaved reader's channel to the stream's own.
        plugin->read(stream, frame.get());
        if (read_failed(request, error)) return false;
        if (!plugin->seek(stream, *request.seek_ms)) {
            if (!read_failed(request, error)) {
                error = who + " cannot seek to " + std::to_string(*request.seek_ms) + " ms (the stream lasts " +
                        std::to_string(request.info.duration_ms) + " ms as described)";
            }
            return false;
        }
    }

    std::vector<int16_t> pcm;
    uint32_t to_skip = request.seek_ms ? request.skip_units : 0;
    // A stream cannot deliver more units than it has sectors, held audio aside.
    const uint64_t limit = uint64_t{request.info.sector_count} * 2 + 16;
    uint64_t units = 0;
    bool last_was_empty = false;
    for (;;) {
        if (interrupted()) {
            error = interruption();
            counts.interrupted = true;
            return false;
        }
        auto started = Clock::now();
        const int32_t delivered = plugin->read(stream, frame.get());
        counts.plugin_seconds += std::chrono::duration<double>(Clock::now() - started).count();
        if (read_failed(request, error)) return false;
        if (!delivered) {
            // A reader may still hold sound met while gathering a frame it could not finish.
            if (last_was_empty) break;
            last_was_empty = true;
            continue;
        }
        last_was_empty = false;
        if (++units > limit) {
            error = who + " keeps delivering data past the end of the stream";
            return false;
        }
        if (frame->payload_size > kFrameBufferCapacity) {
            error = who + " reported " + std::to_string(frame->payload_size) +
                    " payload bytes, more than the frame buffer holds";
            return false;
        }
        if (to_skip > 0) {
            --to_skip;
            continue;
        }
        const bool video = is_video(*frame);
        std::span<const int16_t> decoded;
        if (video) {
            ++counts.frames;
        } else {
            ++counts.audio_units;
            if (plugin->decode_audio) {
                started = Clock::now();
                const uint32_t needed = plugin->decode_audio(frame.get(), nullptr, 0);
                const uint32_t room = std::max<uint32_t>(needed, (frame->payload_size / 1024 + 1) * 3584);
                pcm.resize(room / 2);
                const uint32_t written = plugin->decode_audio(frame.get(), pcm.data(), room);
                counts.plugin_seconds += std::chrono::duration<double>(Clock::now() - started).count();
                if (written > room) {
                    error = who + " decoded past the buffer it was given";
                    return false;
                }
                decoded = std::span<const int16_t>(pcm.data(), written / 2);
                counts.pcm_samples += written / 2;
            } else {
                counts.audio_sectors += frame->payload_size / psr::kXaAudioBytes;
            }
        }
        if (!handle(Unit{*frame, video, decoded, {}}, error)) return false;
    }
    return true;
}

namespace {

// An XA sound sector on the disc, known by a fingerprint of its 2304 bytes.
struct DiscAudioSector {
    uint64_t fingerprint;
    uint32_t lba;
    uint8_t coding;
    uint8_t channel;
};

// A fingerprint of a sector's 2304 sound bytes, eight at a time.
uint64_t fingerprint(const uint8_t* bytes) {
    uint64_t h = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < psr::kXaAudioBytes; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        h = (h ^ word) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 29;
    }
    return h;
}

std::vector<DiscAudioSector> audio_sectors_on_disc(const PlaybackRequest& request) {
    std::vector<DiscAudioSector> found;
    const uint32_t total = DwSectorCount(request.disc);
    if (request.info.start_sector >= total) return found;
    const uint32_t count = std::min(request.info.sector_count, total - request.info.start_sector);
    DwScan* scan = DwScanOpen(request.disc, request.info.start_sector, count);
    const uint8_t* run = nullptr;
    uint32_t lba = request.info.start_sector;
    for (uint32_t n; (n = DwScanNext(scan, &run)) > 0; lba += n) {
        for (uint32_t i = 0; i < n; ++i) {
            const psr::RawSector sector(run + static_cast<size_t>(i) * psr::kRawSectorSize);
            if ((sector.submode() & psr::submode::kXaAudio) != psr::submode::kXaAudio) continue;
            found.push_back({fingerprint(sector.audio()), lba + i, sector.coding(), sector.channel()});
        }
    }
    DwScanClose(scan);
    return found;
}

// Matches delivered sound sectors to the disc's, in order.
class FormatMatcher {
public:
    FormatMatcher(std::vector<DiscAudioSector> disc, const StreamInfo& info)
        : disc_(std::move(disc)),
          fallback_(info.has_audio && info.channels
                        ? XaFormat{static_cast<uint8_t>(info.channels == 1 ? 1 : 2), info.sample_rate == 18900 ? 18900u : 37800u}
                        : XaFormat{}) {}

    // The format of the next delivered sector, and where it lies (kNoSector when not found).
    XaFormat next(const uint8_t* payload, uint32_t& lba) {
        lba = kNoSector;
        const uint64_t print = fingerprint(payload);
        // The first sector may lie anywhere (after a seek); later ones follow closely.
        const size_t window = matched_ ? 64 : disc_.size();
        for (size_t i = next_; i < disc_.size() && i < next_ + window; ++i) {
            if (disc_[i].fingerprint == print) return take(i, lba);
        }
        // Not found (a reader that silences a sector changes its bytes): the next sector of the
        // same channel as the last match.
        for (size_t i = next_; matched_ && i < disc_.size() && i < next_ + window; ++i) {
            if (disc_[i].channel == channel_) return take(i, lba);
        }
        return last_;
    }

private:
    XaFormat take(size_t i, uint32_t& lba) {
        matched_ = true;
        lba = disc_[i].lba;
        channel_ = disc_[i].channel;
        next_ = i + 1;
        last_ = XaFormat::from_coding(disc_[i].coding);
        return last_;
    }

    std::vector<DiscAudioSector> disc_;
    XaFormat fallback_;
    XaFormat last_ = fallback_;
    size_t next_ = 0;
    bool matched_ = false;
    uint8_t channel_ = 0;
};

}  // namespace

uint64_t payload_print(const FrameBuffer& frame) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ frame.payload_size;
    const size_t n = std::min<size_t>(frame.payload_size, kFrameBufferCapacity);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, frame.payload + i, 8);
        h = (h ^ word) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 29;
    }
    return h;
}

namespace {

// The latest sector the plug-in read of the disc, watched while it plays.
class LastRead {
public:
    explicit LastRead(uint32_t disc) : disc_(disc) { DwTapReads(disc_, &LastRead::take, this); }
    ~LastRead() { DwTapReads(disc_, nullptr, nullptr); }
    LastRead(const LastRead&) = delete;
    LastRead& operator=(const LastRead&) = delete;
    uint32_t lba = kNoSector;

private:
    static void CD_CALL take(void* self, uint32_t lba, const uint8_t*) { static_cast<LastRead*>(self)->lba = lba; }
    uint32_t disc_;
};

}  // namespace

bool measure_delivery(const PlaybackRequest& request, StreamDelivery& survey, std::string& error) {
    survey = StreamDelivery{};
    std::unique_ptr<FormatMatcher> matcher;
    // A reader hands a frame over as soon as its last chunk is read, so the sector read last is the
    // one that completed it.
    LastRead last_read(request.disc);
    const bool xa = !request.plugin->decodes_audio;
    auto take = [&](const Unit& unit, std::string&) {
        SurveyUnit u;
        u.video = unit.video;
        u.payload_size = unit.frame.payload_size;
        u.print = payload_print(unit.frame);
        if (unit.video) {
            u.frame_number = unit.frame.frame_number;
            u.frame_rate = unit.frame.frame_rate;
            u.lba = last_read.lba;
        } else if (!xa) {
            const uint32_t channels = std::max<uint32_t>(1, request.info.channels);
            u.pcm_samples = static_cast<uint32_t>(unit.pcm.size() / channels);
        } else {
            if (!matcher) matcher = std::make_unique<FormatMatcher>(audio_sectors_on_disc(request), request.info);
            u.first_sector = static_cast<uint32_t>(survey.sector_formats.size());
            u.sector_count = unit.frame.payload_size / psr::kXaAudioBytes;
            for (uint32_t s = 0; s < u.sector_count; ++s) {
                uint32_t lba = kNoSector;
                survey.sector_formats.push_back(matcher->next(unit.frame.payload + size_t{s} * psr::kXaAudioBytes, lba));
                survey.sector_lbas.push_back(lba);
            }
        }
        survey.units.push_back(u);
        return true;
    };
    return play_stream(request, take, survey.counts, error);
}

}  // namespace quorvex
