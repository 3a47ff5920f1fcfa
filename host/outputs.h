// What a stream is written to: a folder of the units as delivered, a media file, a folder of
// pictures. Each output is built aside and put in place only when the whole stream is in it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "atomic_output.h"
#include "frame_pictures.h"
#include "json_out.h"
#include "media_clock.h"
#include "playback.h"
#include "scan.h"

namespace quorvex {

// Everything an output knows about the stream it writes.
struct StreamContext {
    PlaybackRequest request;
    std::optional<int32_t> index;    // the stream's index in its plug-in's scan, when it has one
    std::string name;                // its name on the disc, when the scan found it
    std::optional<uint32_t> number;  // its number in the disc's listing, when listed
    std::string album;               // the disc's name for tags: its volume id, else the image's name
    std::optional<uint32_t> seek_ms;  // where the output starts, on the host's timeline
    bool described_by_scan = true;  // false: the plug-in's description of a range (an estimate)
    StreamState state = StreamState::kWhole;
    std::string note;
    const StreamDelivery* delivery = nullptr;
    const Timeline* timeline = nullptr;
};

// What an output has to say once the stream is through.
struct OutputReport {
    uint32_t frames_written = 0;
    uint32_t audio_units_written = 0;
    std::vector<uint32_t> undecodable_frames;  // frame numbers
    std::string first_failure;                 // why the first of them could not be decoded
};

class UnitSink {
public:
    virtual ~UnitSink() = default;
    // `time` is the frame's place on the timeline (video units only).
    virtual bool take(const Unit& unit, const FrameTime* time, std::string& error) = 0;
    // The stream is over: make the output whole, still aside.
    virtual bool finish(std::string& error) = 0;
    // Put it in place; undo that when a later output of the same run fails.
    virtual bool commit(std::string& error) = 0;
    virtual void undo_commit() = 0;
    virtual const OutputReport& report() const = 0;
    virtual std::string where() const = 0;
};

struct OutputOptions {
    bool force = false;     // replace an earlier output of quorvex
    bool lossless = false;  // FFV1 (H.264 at quantiser 0 in .mp4) instead of H.264
    PictureDecoding decoding;  // how MDEC frames become pictures
    int encoder_threads = 0;  // 0: as many as the machine has
    // The place holds what a rip's own index records as its output there, damaged since: it is
    // replaced whatever it holds now.
    bool replace_recorded = false;
    // Take the SHA-256 of the sectors the stream was written from (WrittenStream::sectors_sha256).
    bool digest_sectors = false;
    // A media file's container by its name in the output table ("mkv").
    std::string format;
    // Hears how much of the stream is written, of how much: frames for a stream with pictures,
    // milliseconds for sound alone.
    std::function<void(uint64_t done, uint64_t total)> progress;
    // Pictures: only the frames at these places among those delivered (fractions from 0 to 1),
    // each listed in frames.json with the places it stands for; none given: every frame.
    std::vector<double> picture_positions;
};

// frame_NNNNNN.mdec by frame number; XA sound appended to audio.xa; archive sound decoded to
// audio.wav; extract.json describing the stream and every unit.
std::unique_ptr<UnitSink> make_raw_folder_sink(const StreamContext& context, const std::string& directory,
                                               const OutputOptions& options, std::string& error);

// extract.json of a folder: is every file in it one that quorvex listed there?
bool folder_is_quorvex_output(const std::filesystem::path& folder, const std::string& manifest, std::string& why);

// Which existing output a sink may replace: whatever a rip's index records as its own there, with
// --force what `is_own` knows as quorvex's, else none.
AtomicOutput::MayReplace replaceable(const OutputOptions& options, AtomicOutput::MayReplace is_own);

// frame_000001.mdec by frame number (`ext` ".mdec"); a number met again gets a copy count:
// frame_000001_2.mdec.
std::string frame_file_name(uint32_t frame_number, std::map<uint32_t, uint32_t>& seen, const char* ext);

// The manifest of a stream: what it is, how it was judged, how long it measured.
Json stream_manifest(const StreamContext& context);

}  // namespace quorvex
