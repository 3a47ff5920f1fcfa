#include "stream_writer.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "media_output.h"
#include "sector_digest.h"
#include "seek.h"

namespace quorvex {
namespace {

std::unique_ptr<UnitSink> make_sink(const StreamContext& context, const OutputTarget& target, const OutputOptions& options,
                                    std::string& error) {
    switch (target.format->holds) {
        case Holds::kUnits: return make_raw_folder_sink(context, target.path, options, error);
        case Holds::kPictures: return make_picture_sink(context, target.path, options, error);
        case Holds::kVideo:
        case Holds::kSound: {
            OutputOptions media = options;
            media.format = target.format->name;  // the media module knows the table by name
            return make_media_file_sink(context, target.path, media, error);
        }
    }
    return nullptr;
}

std::string ms_text(int64_t ms) { return std::to_string(ms) + " ms"; }

}  // namespace

bool write_stream(StreamContext& context, const std::vector<OutputTarget>& targets, const OutputOptions& options,
                  WrittenStream& written, std::string& error) {
    PlaybackRequest& request = context.request;
    const std::string who = request.image + ": " + request.plugin->stem;
    written.targets = targets;

    // A seek is a time on the host's timeline: a pass from the start measures it, then the plug-in
    // is asked for the position that lands on the unit that time falls in.
    request.seek_ms.reset();
    request.skip_units = 0;
    if (context.seek_ms) {
        PlaybackRequest whole = request;
        StreamDelivery full;
        if (!measure_delivery(whole, full, error)) return false;
        const Timeline timeline = build_timeline(full, request.info);
        const int64_t length = timeline.duration().milliseconds();
        if (*context.seek_ms >= length) {
            error = who + ": --seek " + ms_text(*context.seek_ms) + " lies past the end of the stream, which lasts " +
                    ms_text(length);
            return false;
        }
        SeekPlan plan;
        if (!plan_seek(request, full, timeline, *context.seek_ms, plan, error)) return false;
        if (plan.unit > 0) {  // else the start itself
            request.seek_ms = plan.plugin_ms;
            request.skip_units = plan.skip_units;
        }
    }
    if (!measure_delivery(request, written.delivery, error)) return false;
    if (written.delivery.units.empty()) {
        error = who + ": the stream delivers nothing" +
                (context.seek_ms ? " from " + ms_text(*context.seek_ms) + " on" : std::string());
        return false;
    }
    written.timeline = build_timeline(written.delivery, request.info);
    context.delivery = &written.delivery;
    context.timeline = &written.timeline;

    // Cut: the disc lacks the stream's end, or it delivers fewer frames than its scan counted
    // (only a stream played from its start, as its scan saw it, can be held to that count).
    if (context.described_by_scan && !context.seek_ms) {
        judge_delivery(context.state, context.note, written.delivery.counts.frames, request.info.frame_count);
    }
    written.state = context.state;
    written.note = context.note;

    std::vector<std::unique_ptr<UnitSink>> sinks;
    for (const OutputTarget& target : targets) {
        auto sink = make_sink(context, target, options, error);
        if (!sink) return false;
        sinks.push_back(std::move(sink));
    }

    SectorFormats formats(written.delivery);
    size_t frame_index = 0;
    uint64_t fed = 0;
    const uint64_t units = written.delivery.units.size();
    // Progress in the stream's own measure: its frames, or for sound alone its milliseconds.
    const uint64_t frames = written.timeline.frames.size();
    const auto sound_ms = static_cast<uint64_t>(std::max(0.0, written.timeline.duration().seconds()) * 1000);
    const auto& times = written.timeline.frames;
    auto feed = [&](const Unit& delivered, std::string& why) {
        const Unit unit{delivered.frame, delivered.video, delivered.pcm,
                        delivered.video ? std::span<const XaFormat>{} : formats.next(delivered.frame.payload_size / 2304)};
        const FrameTime* time = nullptr;
        if (unit.video) {
            if (frame_index >= times.size()) {
                why = who + ": the plug-in delivered more frames the second time than the first";
                return false;
            }
            time = &times[frame_index++];
        }
        for (auto& sink : sinks) {
            if (!sink->take(unit, time, why)) return false;
        }
        ++fed;
        if (options.progress) options.progress(frames ? frame_index : sound_ms * fed / units, frames ? frames : sound_ms);
        return true;
    };
    PlaybackCounts& counts = written.playback;
    std::optional<RangeDigest> digest;
    if (options.digest_sectors) digest.emplace(request.disc, request.info.start_sector, request.info.sector_count);
    if (!play_stream(request, feed, counts, error)) return false;
    if (digest && !digest->finish(written.sectors_sha256, error)) {
        error = request.image + ": " + error;
        return false;
    }
    if (counts.frames != written.delivery.counts.frames || counts.audio_units != written.delivery.counts.audio_units) {
        error = who + ": the plug-in delivered a different stream the second time (" + std::to_string(counts.frames) +
                " frames, not " + std::to_string(written.delivery.counts.frames) + ")";
        return false;
    }
    for (auto& sink : sinks) {
        if (!sink->finish(error)) return false;
    }
    // All outputs at once: one that cannot be put in place takes the others back out.
    for (size_t i = 0; i < sinks.size(); ++i) {
        if (!sinks[i]->commit(error)) {
            for (size_t k = 0; k < i; ++k) sinks[k]->undo_commit();
            return false;
        }
    }
    for (auto& sink : sinks) {
        written.reports.push_back(sink->report());
        for (uint32_t f : sink->report().undecodable_frames) {
            if (std::find(written.undecodable_frames.begin(), written.undecodable_frames.end(), f) ==
                written.undecodable_frames.end()) {
                written.undecodable_frames.push_back(f);
            }
        }
    }
    return true;
}

}  // namespace quorvex
