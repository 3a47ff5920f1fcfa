// quorvex replace: new pictures, subtitles and sound written into a stream's own sectors, into a
// new image (the input is never written), checked by reading it back before it is called done.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <cstring>
#include <set>

#include "../../codecs/cd_codes.h"
#include "../../codecs/archive_adpcm.h"
#include "../../contract/xa_timing.h"
#include "../../codecs/xa_adpcm.h"
#include "../atomic_output.h"
#include "../commands.h"
#include "../disc_survey.h"
#include "../interrupt.h"
#include "../media_clock.h"
#include "../paths.h"
#include "../words.h"
#include "disc_edit.h"
#include "frame_fitting.h"
#include "replace_plan.h"
#include "replace_request.h"
#include "stream_places.h"
#include "subtitle_script.h"
#include "../../contract/raw_sector.h"

namespace quorvex {
constexpr size_t kSector = psr::kRawSectorSize;

namespace {

namespace fs = std::filesystem;

std::string lower_extension(const std::string& path) {
    std::string e = fs::path(path).extension().string();
    std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return std::tolower(c); });
    return e;
}

std::string decibels(double db) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f dB", db);
    return text;
}

// Everything replace changes, and what it measured.
struct Replacement {
    std::set<uint32_t> changed;       // LBAs
    std::vector<FittedFrame> frames;  // per frame of the stream
    std::vector<FramePlace> places;
    struct Sound {
        uint32_t sectors = 0, channels = 0, rate = 0;
        double given_seconds = 0, stream_seconds = 0, snr = 0;
    };
    std::optional<Sound> sound;
    std::vector<std::string> warnings;
};

// The stream replace works on: where each unit lies, and when each frame is shown.
struct Work {
    NamedStream named;
    Timeline timeline;
    StreamPlaces places;
    std::vector<std::string> listing;  // the input's streams, which the new disc must list alike
};

void say_warning(Replacement& r, const std::string& text) {
    r.warnings.push_back(text);
    warn(text);
}

// The frame's bytes as its plug-in delivers them, from the disc's sectors (none when they cannot
// be read).
std::vector<uint8_t> frame_bytes(const FramePlace& place, const discwell::SectorFeed& disc) {
    std::vector<uint8_t> bytes;
    uint8_t sector[kSector];
    std::string why;
    for (const ChunkSpan& s : place.spans) {
        if (!disc.read(s.lba, 1, sector, why)) return {};
        bytes.insert(bytes.end(), sector + psr::kUserDataOffset + s.offset, sector + psr::kUserDataOffset + s.offset + s.length);
    }
    bytes.resize(std::min<size_t>(bytes.size(), place.delivered));
    return bytes;
}

// A temporary file of the run's own (the script handed to libass), removed when it goes.
class TempFile {
public:
    TempFile(const std::string& stem, const std::string& text, std::string& error) {
        std::error_code ec;
        static std::atomic<unsigned> counter{0};
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = fs::temp_directory_path(ec) / ("quorvex-" + std::to_string(now) + "-" + std::to_string(counter++) + "-" + stem);
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (ec || !out) error = "cannot write a temporary file (" + path_.string() + ")";
    }
    ~TempFile() {
        std::error_code ec;
        fs::remove(path_, ec);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    std::string path() const { return path_.string(); }

private:
    fs::path path_;
};

// The subtitles burnt into the stream's pictures, checked and sized for them, with what they warn of.
std::unique_ptr<SubtitleBurner> open_subtitles(const ReplaceRequest& request, ReplaceMedia& media, int width, int height,
                                               double stream_seconds, std::unique_ptr<TempFile>& script_file, Replacement& r,
                                               std::string& why) {
    SubtitleScript script;
    if (!read_subtitles(request.subtitles, stream_seconds, script, why)) return nullptr;
    for (const std::string& w : script.warnings) say_warning(r, w);
    script_file = std::make_unique<TempFile>("subtitles.ass", script.ass, why);
    if (!why.empty()) return nullptr;
    auto burner = media.open_subtitles(script_file->path(), width, height, why);
    if (!burner && !why.empty()) why = request.subtitles + ": " + why;
    return burner;
}

// Per macroblock in coding order (column by column), whether `a` and `b` agree on its 16x16 pixels.
std::vector<bool> unchanged_macroblocks(const RgbPicture& a, const RgbPicture& b) {
    std::vector<bool> same;
    if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size()) return same;
    const size_t row_bytes = size_t(a.width) * 3;
    for (int mx = 0; mx < a.width / 16; ++mx) {
        for (int my = 0; my < a.height / 16; ++my) {
            bool equal = true;
            for (int y = my * 16; equal && y < my * 16 + 16; ++y) {
                const size_t at = size_t(y) * row_bytes + size_t(mx) * 48;
                equal = std::equal(a.rgb.begin() + std::ptrdiff_t(at), a.rgb.begin() + std::ptrdiff_t(at + 48), b.rgb.begin() + std::ptrdiff_t(at));
            }
            same.push_back(equal);
        }
    }
    return same;
}

// The picture frame `place` is to show: the source's (none: the frame keeps its bytes), or the
// disc's own for subtitles alone, with the subtitles burnt in. A picture that is what the disc's
// frame already shows keeps the frame's bytes too.
Outcome new_picture(const ReplaceRequest& request, const std::string& image, const FramePlace& place,
                    const discwell::SectorFeed& disc, ReplaceMedia& media, PictureStream* source, SubtitleBurner* subtitles,
                    double seconds, RgbPicture& picture, FittedFrame& fitted) {
    std::string why;
    if (source && !source->next(picture, why)) return failure("", request.video + ": " + why);
    const bool given = source && picture.width != 0;
    if (!given && !subtitles) {
        fitted.kept = true;
        return std::nullopt;
    }
    RgbPicture shown;
    std::vector<uint8_t> original = frame_bytes(place, disc);
    const bool decoded = media.decode_frame(original, place.width, place.height, shown, why);
    if (!decoded && !given) return failure(image, "frame " + std::to_string(place.frame_number) + " does not decode: " + why);
    if (!given) picture = shown;
    if (subtitles && !subtitles->burn(picture, seconds, why)) return failure("", request.subtitles + ": " + why);
    fitted.kept = picture.rgb == shown.rgb;
    if (!fitted.kept && decoded) {
        fitted.unchanged = unchanged_macroblocks(picture, shown);
        fitted.original = std::move(original);
    }
    return std::nullopt;
}

// The most bytes a new frame may take: its room (the sectors' data), or no more than the frame
// it replaces (--size-limit original: some games stall on a frame that fills its sectors), or a
// number given, never more than the room.
uint32_t frame_limit(const ReplaceRequest& request, const FramePlace& place) {
    if (request.size_limit == "room") return place.room();
    if (request.size_limit == "original") return std::min(place.room(), place.delivered);
    return std::min<uint32_t>(place.room(), static_cast<uint32_t>(std::stoul(request.size_limit)));
}

Outcome replace_pictures(const ReplaceRequest& request, const std::string& image, const StreamPlaces& places,
                         const Timeline& timeline, DiscEdit& disc, Replacement& r) {
    if (places.frames.empty() || !places.layout) return failure(image, "the stream has no pictures to replace");
    if (timeline.frames.size() != places.frames.size()) return failure(image, "the stream's frames could not be timed");
    const int width = places.frames[0].width, height = places.frames[0].height;
    for (const FramePlace& f : places.frames) {
        if (f.width != width || f.height != height) return failure(image, "the stream's pictures change size; quorvex replaces pictures of one size");
        if (f.version != 2 && f.version != 3) {
            return failure(image, "frame " + std::to_string(f.frame_number) + " is in MDEC version " + std::to_string(f.version) +
                                      ", which quorvex cannot encode");
        }
    }
    if (width % 16 || height % 16 || width == 0 || height == 0) {
        return failure(image, "the pictures are " + std::to_string(width) + "x" + std::to_string(height) +
                                  ", not whole macroblocks; quorvex cannot encode them");
    }
    std::string why;
    auto media = make_replace_media(why);
    if (!media) return failure("", why);
    std::vector<double> seconds;
    for (const FrameTime& t : timeline.frames) seconds.push_back(t.start.seconds());
    std::vector<uint32_t> numbers;
    for (const FramePlace& f : places.frames) numbers.push_back(f.frame_number);
    std::unique_ptr<PictureStream> source;
    if (!request.video.empty() && !(source = media->open_pictures(request.video, width, height, seconds, numbers, request.fit, why))) {
        return failure("", why);
    }
    std::unique_ptr<TempFile> script;
    std::unique_ptr<SubtitleBurner> subtitles;
    if (!request.subtitles.empty() &&
        !(subtitles = open_subtitles(request, *media, width, height, timeline.duration().seconds(), script, r, why))) {
        return failure("", why);
    }
    r.places = places.frames;
    r.frames.resize(places.frames.size());
    // In batches, so that a long movie's pictures are never all held at once.
    const unsigned threads = request.jobs.value_or(0);
    const size_t batch = 64;
    for (size_t first = 0; first < places.frames.size(); first += batch) {
        if (interrupted()) return Error{Error::Kind::kInterrupted, image, {}, interruption()};
        const size_t end = std::min(places.frames.size(), first + batch);
        std::vector<RgbPicture> pictures(end - first);
        for (size_t i = first; i < end; ++i) {
            if (Outcome failed = new_picture(request, image, places.frames[i], disc, *media, source.get(), subtitles.get(),
                                             seconds[i], pictures[i - first], r.frames[i])) {
                return failed;
            }
        }
        std::vector<FitJob> jobs;
        for (size_t i = first; i < end; ++i) {
            if (r.frames[i].kept) continue;
            jobs.push_back({&pictures[i - first], places.frames[i].version, frame_limit(request, places.frames[i]), &r.frames[i]});
        }
        if (!fit_frames(jobs, threads, why)) return failure("", why);
        for (size_t i = first; i < end; ++i) {
            const FittedFrame& fitted = r.frames[i];
            const FramePlace& place = places.frames[i];
            if (fitted.kept) continue;
            if (!fitted.failure.empty()) return failure(image, "frame " + std::to_string(place.frame_number) + ": " + fitted.failure);
            std::vector<uint8_t*> sectors;
            for (const ChunkSpan& s : place.spans) {
                uint8_t* sector = disc.edit(s.lba, why);
                if (!sector) return failure(image, why);
                sectors.push_back(sector);
            }
            if (!write_frame(*places.layout, place.spans, sectors, fitted.mdec)) {
                return failure(image, "frame " + std::to_string(place.frame_number) + " does not fit its sectors");
            }
        }
    }
    if (source && request.fit) {
        const FitCounts fit = source->fit_counts(why);
        if (!why.empty()) return failure("", request.video + ": " + why);
        std::vector<std::string> parts;
        if (fit.left_out) parts.push_back(count_text(fit.left_out, "picture") + " of " + request.video + " left out");
        if (fit.repeated) parts.push_back(count_text(fit.repeated, "frame") + (fit.repeated == 1 ? " shows" : " show") + " the picture before again");
        if (!parts.empty()) say_warning(r, "--fit: " + parts[0] + (parts.size() > 1 ? "; " + parts[1] : ""));
    }
    return std::nullopt;
}

// The new sound at the stream's rate and channels, decoded only as far as the stream needs (`needed`
// samples, all channels) and cut or padded to it, with a warning giving both lengths.
bool new_sound(const std::string& path, int rate, int channels, size_t needed, std::vector<int16_t>& samples,
               Replacement::Sound& report, Replacement& r, std::string& why) {
    auto media = make_replace_media(why);
    double given = 0;
    if (!media || !media->read_sound(path, rate, channels, needed, samples, given, why)) return false;
    report.channels = uint32_t(channels);
    report.rate = uint32_t(rate);
    report.given_seconds = given;
    report.stream_seconds = double(needed / size_t(channels)) / rate;
    char lengths[128];
    std::snprintf(lengths, sizeof lengths, "%.3f s, the stream's sound %.3f s", report.given_seconds, report.stream_seconds);
    if (samples.size() < needed) {
        say_warning(r, path + " lasts " + lengths + ": padded with silence");
    } else if (given < 0) {
        std::snprintf(lengths, sizeof lengths, "%.3f s", report.stream_seconds);
        say_warning(r, path + " lasts longer than the stream's sound, " + lengths + ": the rest is cut");
    } else if (given > report.stream_seconds + 0.0005) {
        say_warning(r, path + " lasts " + lengths + ": the rest is cut");
    }
    samples.resize(needed, 0);
    return true;
}

double snr(double signal, double noise) { return noise > 0 ? 10 * std::log10(signal / noise) : 99; }

// The user data of the sectors of `lbas`, to change.
bool edit_all(DiscEdit& disc, const std::vector<uint32_t>& lbas, std::vector<uint8_t*>& sectors, std::string& why) {
    for (uint32_t lba : lbas) {
        uint8_t* s = disc.edit(lba, why);
        if (!s) return false;
        sectors.push_back(s);
    }
    return true;
}

// Archive tracks: each block's groups encoded anew, in the sectors the track's catalogue entry
// gives it (a voice clip's end marker stays where it was, so the clip keeps its length).
Outcome replace_archive_sound(const ReplaceRequest& request, const std::string& image, const StreamInfo& info, const StreamPlaces& places,
                              DiscEdit& disc, Replacement& r) {
    const bool stereo = info.channels == 2;
    const int channels = stereo ? 2 : 1;
    std::string why;
    std::vector<uint8_t*> sectors;
    if (!edit_all(disc, places.blocks, sectors, why)) return failure(image, why);
    // The groups that sound: all of them, or a voice clip's up to its end marker.
    const uint32_t block_groups = codecs::archive_block_groups(stereo);
    auto sounding = [&](const uint8_t* block) {
        uint32_t g = 0;
        while (g < block_groups && !(!stereo && codecs::archive_clip_ends(block + codecs::archive_group_at(false, 0, g)))) ++g;
        return g;
    };
    auto blocks_of = [](uint8_t* sector, uint32_t b) { return sector + psr::kUserDataOffset + codecs::kArchiveBlockBytes * b; };
    size_t groups = 0;
    for (uint8_t* sector : sectors) {
        for (uint32_t b = 0; b < codecs::kArchiveBlocksPerSector; ++b) groups += sounding(blocks_of(sector, b));
    }
    constexpr size_t kSamples = codecs::kArchiveGroupSamples;
    std::vector<int16_t> samples;
    Replacement::Sound report;
    if (!new_sound(request.sound, int(info.sample_rate ? info.sample_rate : codecs::kArchiveSampleRate), channels, groups * kSamples * size_t(channels), samples,
                   report, r, why)) {
        return failure("", why);
    }
    codecs::ArchiveHistory history[2], heard[2];
    double signal = 0, noise = 0;
    size_t at = 0;  // in groups of 28 instants
    for (uint8_t* sector : sectors) {
        for (uint32_t b = 0; b < codecs::kArchiveBlocksPerSector; ++b) {
            uint8_t* block = blocks_of(sector, b);
            for (uint32_t g = 0, n = sounding(block); g < n; ++g, ++at) {
                for (int c = 0; c < channels; ++c) {
                    int16_t pcm[kSamples], back[kSamples];
                    for (size_t i = 0; i < kSamples; ++i) pcm[i] = samples[(at * kSamples + i) * size_t(channels) + size_t(c)];
                    uint8_t* group = block + codecs::archive_group_at(stereo, uint32_t(c), g);
                    const int offset = c == 1 ? codecs::kArchiveRightOffset : 0;
                    codecs::encode_archive_group(pcm, history[c], group[1], offset, group);
                    codecs::decode_archive_group(group, heard[c], back);
                    for (size_t i = 0; i < kSamples; ++i) {
                        const double d = double(pcm[i]) - (back[i] - offset);
                        signal += double(pcm[i]) * pcm[i];
                        noise += d * d;
                    }
                }
            }
        }
    }
    report.sectors = static_cast<uint32_t>(places.blocks.size());
    report.snr = snr(signal, noise);
    r.sound = report;
    return std::nullopt;
}

Outcome replace_sound(const ReplaceRequest& request, const std::string& image, const StreamInfo& info, const StreamPlaces& places,
                      DiscEdit& disc, Replacement& r) {
    if (!places.blocks.empty()) return replace_archive_sound(request, image, info, places, disc, r);
    if (places.sound.empty()) return failure(image, "the stream has no sound to replace");
    const auto format = psr::XaFormat::from_coding(places.sound[0].coding);
    for (const SoundPlace& s : places.sound) {
        if (psr::XaFormat::from_coding(s.coding) != format) return failure(image, "the stream's sound changes format; quorvex replaces sound of one format");
    }
    const bool stereo = format.channels == 2;
    const int channels = format.channels, rate = int(format.sample_rate);
    std::string why;
    std::vector<uint32_t> lbas;
    for (const SoundPlace& s : places.sound) lbas.push_back(s.lba);
    std::vector<uint8_t*> sectors;
    if (!edit_all(disc, lbas, sectors, why)) return failure(image, why);
    std::vector<int16_t> samples;
    Replacement::Sound report;
    if (!new_sound(request.sound, rate, channels, places.sound.size() * codecs::kXaSamplesPerSector, samples, report, r, why)) {
        return failure("", why);
    }
    report.sectors = static_cast<uint32_t>(places.sound.size());
    codecs::XaAdpcmEncoder encoder(stereo, codecs::XaAdpcmEncoder::Search::kThorough);
    codecs::XaHistory history[2];
    double signal = 0, noise = 0;
    std::vector<int16_t> decoded(codecs::kXaSamplesPerSector);
    for (size_t i = 0; i < sectors.size(); ++i) {
        const int16_t* pcm = samples.data() + i * codecs::kXaSamplesPerSector;
        encoder.encode_sector(pcm, sectors[i] + psr::kUserDataOffset);
        codecs::decode_xa_sector(sectors[i] + psr::kUserDataOffset, stereo, history, decoded.data());
        for (size_t k = 0; k < decoded.size(); ++k) {
            signal += double(pcm[k]) * pcm[k];
            noise += double(pcm[k] - decoded[k]) * (pcm[k] - decoded[k]);
        }
    }
    report.snr = snr(signal, noise);
    r.sound = report;
    return std::nullopt;
}

// The streams a scan lists, as quorvex names them, over the sectors they span.
std::vector<std::string> listing_of(uint32_t disc, const std::string& image, const PluginFolder& folder, std::string& error) {
    DiscSurvey survey;
    if (!survey_disc(disc, image, all_plugins(folder), survey, error, [](const std::string&) {})) return {};
    std::vector<std::string> lines;
    for (size_t i = 0; i < survey.report.streams.size(); ++i) {
        const FoundStream& s = survey.report.streams[i];
        lines.push_back(s.plugin->stem + " " + std::to_string(s.index) + " " + survey.names[i] + " " +
                        std::to_string(s.info.start_sector) + "+" + std::to_string(s.info.sector_count));
    }
    return lines;
}

// Reads the new disc back: the same streams over the same sectors, and the replaced stream plays
// every frame (each decoded when it was fitted) and every sound sector as written.
Outcome check_new_disc(uint32_t disc, const std::string& label, const std::vector<std::string>& listing, const PluginFolder& folder,
                       const StreamContext& context, const Replacement& r) {
    std::string why;
    if (listing_of(disc, label, folder, why) != listing) {
        return failure(label, why.empty() ? "its scan does not list the streams the input's does" : why);
    }
    PlaybackRequest request = context.request;
    request.disc = disc;
    StreamPlaces again;
    if (!find_stream_places(request, again, why)) return failure(label, "the replaced stream does not play back: " + why);
    if (!r.frames.empty() && again.frames.size() != r.frames.size()) {
        return failure(label, "the replaced stream plays " + std::to_string(again.frames.size()) + " frames, not " +
                                  std::to_string(r.frames.size()));
    }
    // Each frame's data as fitted, which decoded then: the same bytes decode the same.
    for (size_t i = 0; i < r.frames.size(); ++i) {
        const std::vector<uint8_t> bytes = frame_bytes(again.frames[i], OpenDiscFeed(disc));
        if (!std::equal(r.frames[i].mdec.begin(), r.frames[i].mdec.end(), bytes.begin(), bytes.begin() + std::min(bytes.size(), r.frames[i].mdec.size())) ||
            bytes.size() < r.frames[i].mdec.size()) {
            return failure(label, "frame " + std::to_string(again.frames[i].frame_number) + " does not play back as written");
        }
    }
    if (r.sound && again.sound.size() + again.blocks.size() != r.sound->sectors) {
        return failure(label, "the replaced stream plays " + std::to_string(again.sound.size()) + " sound sectors, not " +
                                  std::to_string(r.sound->sectors));
    }
    return std::nullopt;
}

// Every replaced stream of a new disc checked as check_new_disc checks one.
Outcome check_streams(uint32_t disc, const std::string& label, const PluginFolder& folder, const std::vector<std::unique_ptr<Work>>& works,
                      const std::vector<Replacement>& rs) {
    for (size_t i = 0; i < works.size(); ++i) {
        if (Outcome failed = check_new_disc(disc, label, works[i]->listing, folder, works[i]->named.context, rs[i])) return failed;
    }
    return std::nullopt;
}

// replace.json: what was changed and how well the new pictures and sound came out.
Json replace_report(const ReplaceRequest& request, const StreamContext& context, const Replacement& r,
                    const std::vector<std::string>& written) {
    Json doc;
    doc["format_version"] = kJsonFormatVersion;
    doc["written_by"] = "quorvex";
    put_text(doc, "image", request.stream.image);
    put_text(doc, "stream", context.name);
    if (context.number) doc["number"] = *context.number;
    doc["plugin"] = context.request.plugin->stem;
    Json outputs = Json::array();
    for (const std::string& w : written) outputs.push_back(valid_utf8(w));
    doc["outputs"] = outputs;
    doc["sectors_changed"] = r.changed.size();
    if (!r.frames.empty()) {
        Json frames = Json::array();
        double sum = 0, worst = 1e9, error = 0, scale_only = 0, coefficient_db = 0, scale_search_db = 0;
        // The PSNR the coefficients written, and the scale search alone, leave the RGB, reckoned
        // from their error: each block's weighted by what it moves in a pixel's three channels.
        const double pixels = double(r.places[0].width) * r.places[0].height;
        const auto planes_db = [&](double e) { return e > 0 ? 10 * std::log10(255.0 * 255.0 * pixels / e) : 99.0; };
        size_t worst_at = 0;
        size_t replaced = 0;
        for (size_t i = 0; i < r.frames.size(); ++i) {
            const FittedFrame& f = r.frames[i];
            if (f.kept) {
                frames.push_back({{"frame", r.places[i].frame_number}, {"kept", true}});
                continue;
            }
            ++replaced;
            frames.push_back({{"frame", r.places[i].frame_number}, {"scale", f.scale}, {"bytes", f.bytes}, {"room", r.places[i].room()},
                              {"limit", f.room}, {"original_bytes", r.places[i].delivered}, {"psnr_db", std::round(f.psnr * 100) / 100}});
            if (f.kept_macroblocks) frames.back()["kept_macroblocks"] = f.kept_macroblocks;
            if (f.refitted) frames.back()["refitted"] = true;
            sum += f.psnr;
            error += f.error;
            scale_only += f.scale_only_error;
            coefficient_db += planes_db(f.error);
            scale_search_db += planes_db(f.scale_only_error);
            if (f.psnr < worst) worst = f.psnr, worst_at = i;
        }
        Json pictures;
        pictures["source"] = request.video.empty() ? "the stream's own pictures" : valid_utf8(request.video);
        if (!request.subtitles.empty()) pictures["subtitles"] = valid_utf8(request.subtitles);
        pictures["frames"] = r.frames.size();
        pictures["frames_replaced"] = replaced;
        if (replaced) {
            pictures["mean_psnr_db"] = std::round(sum / double(replaced) * 100) / 100;
            pictures["worst_psnr_db"] = std::round(worst * 100) / 100;
            pictures["worst_frame"] = r.places[worst_at].frame_number;
            pictures["coefficient_psnr_db"] = std::round(coefficient_db / double(replaced) * 100) / 100;
            pictures["scale_search_coefficient_psnr_db"] = std::round(scale_search_db / double(replaced) * 100) / 100;
        }
        pictures["coefficient_error"] = error;
        pictures["scale_search_error"] = scale_only;
        pictures["per_frame"] = frames;
        doc["pictures"] = pictures;
    }
    if (r.sound) {
        doc["sound"] = {{"source", valid_utf8(request.sound)}, {"sectors", r.sound->sectors}, {"channels", r.sound->channels},
                        {"sample_rate", r.sound->rate},
                        {"given_seconds", r.sound->given_seconds < 0 ? Json(nullptr) : Json(r.sound->given_seconds)},
                        {"stream_seconds", r.sound->stream_seconds}, {"snr_db", std::round(r.sound->snr * 100) / 100}};
    }
    doc["warnings"] = r.warnings;
    return doc;
}

// One line in words: what was written anew and how close it came to what was given.
std::string summary(const StreamContext& context, const Replacement& r) {
    std::string line = "replaced " + context.name + ":";
    if (!r.frames.empty()) {
        double sum = 0, worst = 1e9;
        size_t replaced = 0;
        for (const FittedFrame& f : r.frames) {
            if (!f.kept) sum += f.psnr, worst = std::min(worst, f.psnr), ++replaced;
        }
        line += " " + std::to_string(replaced) + " of " + std::to_string(r.frames.size()) + " frames";
        if (replaced) {
            line += ", PSNR mean " + decibels(sum / double(replaced)) + ", worst " + decibels(worst) +
                    " against the pictures given (40 dB and above is hard to tell from them, below 30 dB visibly coarser)";
        }
        if (replaced < r.frames.size()) line += "; the other frames kept as they were";
    }
    if (r.sound) {
        line += std::string(r.frames.empty() ? "" : ";") + " " + std::to_string(r.sound->sectors) + " sound sectors, SNR " +
                decibels(r.sound->snr) + " against the sound given";
    }
    return line + "; " + std::to_string(r.changed.size()) + " sectors changed, every other byte as it was";
}

// The file a patch is made against: the BIN holding the disc from its first sector, as a CUE
// sheet names it, or a bare BIN itself.
bool patch_source(const std::string& image, fs::path& bin, std::string& error) {
    const char* format = nullptr;
    std::vector<char> parts(1 << 16);
    uint32_t needed = 0;
    int32_t kind = DW_FORMAT_NONE;
    const int32_t probe = DwProbeImage(image.c_str(), parts.data(), uint32_t(parts.size()), &needed, &format, &kind);
    if (probe == DW_PROBE_IMAGE && kind == DW_FORMAT_RAW) {
        std::error_code ec;
        if (fs::file_size(native_path(image), ec) % kSector != 0 || ec) {
            error = image + ": a patch is made against a BIN of 2352-byte sectors; this image's sectors carry subchannel data "
                            "(convert it with -o NEW.cue and patch that)";
            return false;
        }
        bin = native_path(image);
        return true;
    }
    if (probe != DW_PROBE_IMAGE || kind != DW_FORMAT_CUE || needed > parts.size() || !parts[0]) {
        error = "a patch is made against a BIN (bare, or named by a CUE sheet); " + image + " is " +
                (format ? std::string("a ") + format : "not one") + " (convert it to BIN/CUE first, e.g. with -o NEW.cue, and patch that)";
        return false;
    }
    bin = fs::path(parts.data());  // the probe names the sheet's files as they are found
    return true;
}

// A BIN file read as sectors from its start.
class BinFeed : public discwell::SectorFeed {
public:
    explicit BinFeed(const fs::path& path) : path_(path), in_(path, std::ios::binary) {
        std::error_code ec;
        bytes_ = fs::file_size(path, ec);
        if (ec) bytes_ = 0;
    }
    uint64_t bytes() const { return bytes_; }
    uint32_t sector_count() const override { return static_cast<uint32_t>(bytes_ / kSector); }
    bool read(uint32_t lba, uint32_t count, uint8_t* out, std::string& error) const override {
        in_.clear();
        in_.seekg(std::streamoff(lba) * kSector);
        if (!in_.read(reinterpret_cast<char*>(out), std::streamsize(size_t{count} * kSector))) {
            error = utf8_path(path_) + ": cannot be read";
            return false;
        }
        return true;
    }

private:
    fs::path path_;
    mutable std::ifstream in_;
    uint64_t bytes_ = 0;
};

bool write_whole(const fs::path& path, std::span<const uint8_t> bytes, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out) error = path.string() + ": cannot be written";
    return bool(out);
}

bool never_replace(const fs::path&, std::string& why) {
    why = "replace writes new files only";
    return false;
}

// The outputs of one run: all put in place, or none.
class OutputSet {
public:
    // An existing image or patch is never replaced, whoever wrote it.
    AtomicOutput* add(const std::string& target, std::string& error, const AtomicOutput::MayReplace& may = never_replace) {
        outputs_.push_back(std::make_unique<AtomicOutput>());
        if (!outputs_.back()->begin(target, AtomicOutput::Shape::kFile, may, error)) return nullptr;
        return outputs_.back().get();
    }
    bool commit(std::string& error) {
        for (size_t i = 0; i < outputs_.size(); ++i) {
            if (!outputs_[i]->commit(error)) {
                undo();
                return false;
            }
        }
        return true;
    }
    void undo() {
        for (auto& o : outputs_) o->undo_commit();
        outputs_.clear();
    }

private:
    std::vector<std::unique_ptr<AtomicOutput>> outputs_;
};

// The report, named after the new image (NEW.replace.json), or after the patch when there is none
// (FILE.xdelta.replace.json): a new file, as the outputs it describes are.
std::string report_path(const ReplaceRequest& request) {
    if (request.output.empty()) return request.patch + ".replace.json";
    return (fs::path(request.output).parent_path() / fs::path(request.output).stem()).string() + ".replace.json";
}

// Before anything is read: what is asked for is one thing replace can do, and every file given
// is one it can read (a named pipe would wait for a writer, a device never end).
Outcome check_request(const ReplaceRequest& request) {
    const std::string& image = request.stream.image;
    const std::string out_kind = request.output.empty() ? "" : lower_extension(request.output);
    if (!request.output.empty() && out_kind != ".cue" && out_kind != ".chd") {
        return usage_error("-o " + request.output + ": the new image is a .cue (with its .bin) or a .chd");
    }
    const std::string& limit = request.size_limit;
    if (limit != "room" && limit != "original" &&
        (limit.empty() || limit.size() > 7 || limit.find_first_not_of("0123456789") != std::string::npos || std::stoul(limit) < 64)) {
        return usage_error("--size-limit " + limit + ": room, original, or a number of bytes (64 or more)");
    }
    const std::string patch_kind = request.patch.empty() ? "" : lower_extension(request.patch);
    if (!request.patch.empty() && patch_kind != ".xdelta" && patch_kind != ".vcdiff" && patch_kind != ".ppf") {
        return usage_error("--patch " + request.patch + ": a patch is an .xdelta (VCDIFF) or a .ppf (PPF 3.0)");
    }
    std::error_code ec;
    for (const std::string& out : {request.output, request.patch}) {
        if (!out.empty() && fs::exists(out, ec) && fs::equivalent(out, image, ec)) {
            return usage_error(out + " is the input image; replace never writes its input");
        }
    }
    // Found before any work: another replace's report is never written over.
    if (const std::string report = report_path(request); fs::exists(fs::symlink_status(report, ec))) {
        return failure("", report + ": already exists and replace writes new files only");
    }
    const struct {
        const char* option;
        const std::string& path;
        bool folder_ok;
    } inputs[] = {{"--video", request.video, true}, {"--subtitles", request.subtitles, false}, {"--sound", request.sound, false}};
    for (const auto& input : inputs) {
        if (input.path.empty()) continue;
        if (const std::string problem = input_problem(input.path, input.folder_ok); !problem.empty()) {
            return failure("", std::string(input.option) + " " + input.path + ": " + problem);
        }
    }
    fs::path bin;
    std::string why;
    if (!request.patch.empty() && !patch_source(image, bin, why)) return failure("", why);
    return std::nullopt;
}

Outcome open_work(const ReplaceRequest& request, const PluginFolder& folder, Work& work) {
    const std::string& image = request.stream.image;
    Error error;
    if (!open_named_stream(request.stream, folder, work.named, error)) return error;
    const StreamContext& context = work.named.context;
    if (context.state != StreamState::kWhole) return failure(image, context.name + " is not whole on this disc: " + context.note);
    std::string why;
    StreamDelivery delivery;
    if (!measure_delivery(context.request, delivery, why)) return failure(image, why);
    work.timeline = build_timeline(delivery, context.request.info);
    if (!find_stream_places(context.request, work.places, why)) return failure(image, context.name + ": " + why);
    work.listing = listing_of(work.named.disc.handle, image, folder, why);
    return std::nullopt;
}

// The new pictures and sound into the disc's sectors, each changed sector sealed anew, and the
// frames held to --min-psnr.
Outcome encode(const ReplaceRequest& request, const Work& work, DiscEdit& disc, Replacement& r) {
    const std::string& image = request.stream.image;
    const std::vector<uint32_t> earlier = disc.changed();  // by the plan's streams before this one
    if (!request.video.empty() || !request.subtitles.empty()) {
        if (auto failed = replace_pictures(request, image, work.places, work.timeline, disc, r)) return failed;
    }
    if (!request.sound.empty()) {
        if (auto failed = replace_sound(request, image, work.named.context.request.info, work.places, disc, r)) return failed;
    }
    std::string why;
    for (uint32_t lba : disc.changed()) {
        if (!codecs::reseal_sector(disc.edit(lba, why))) {
            return failure(image, "sector " + std::to_string(lba) +
                                      " of the stream has no sync pattern or data mode (a damaged dump?): quorvex cannot make its "
                                      "EDC and parity anew, and writes no disc with a sector that fails its own check");
        }
    }
    const std::vector<uint32_t> changed = disc.changed();
    r.changed = std::set<uint32_t>(changed.begin(), changed.end());
    for (uint32_t lba : earlier) r.changed.erase(lba);
    if (r.changed.empty()) {
        return failure(image, "nothing would change: " +
                                  std::string(!request.subtitles.empty() && request.video.empty()
                                                  ? "the subtitles draw on no frame of the stream"
                                                  : "what was given is what the stream already holds") +
                                  " (no image is written)");
    }
    if (request.allow_coarse) return std::nullopt;
    size_t short_of = 0, worst = 0;
    for (size_t i = 0; i < r.frames.size(); ++i) {
        if (r.frames[i].kept || r.frames[i].psnr >= request.min_psnr) continue;
        if (short_of++ == 0 || r.frames[i].psnr < r.frames[worst].psnr) worst = i;
    }
    if (short_of == 0) return std::nullopt;
    const std::string frame = "frame " + std::to_string(r.places[worst].frame_number), at = decibels(r.frames[worst].psnr);
    const std::string bound = "below --min-psnr " + decibels(request.min_psnr);
    return failure(image, (short_of == 1 ? frame + " comes out at " + at + ", " + bound
                                         : count_text(short_of, "frame") + " come out " + bound + ", the worst " + frame + " at " + at) +
                              " (nothing was written; --allow-coarse writes " + (short_of == 1 ? "it" : "them") + " anyway)");
}

// The input's format as discwell probes it, and how many files it spans.
int32_t image_format(const std::string& path, size_t& part_count) {
    std::vector<char> parts(1 << 16);
    uint32_t needed = 0;
    int32_t format = DW_FORMAT_NONE;
    DwProbeImage(path.c_str(), parts.data(), uint32_t(parts.size()), &needed, nullptr, &format);
    part_count = 0;
    for (const char* p = parts.data(); needed <= parts.size() && *p; p += std::strlen(p) + 1) ++part_count;
    return format;
}

// A CUE input written again file by file: its sheet line for line but the FILE names, each track
// file a copy with the changed sectors put in. False (nothing written) when the input is not raw
// sectors that hold the disc where discwell reads it: the image is then written anew.
bool copy_cue_image(const ReplaceRequest& request, const DiscEdit& disc, const std::set<uint32_t>& changed, OutputSet& outputs,
                    std::vector<std::string>& written, std::optional<Error>& failed) {
    discwell::CueCopy copy;
    std::string why;
    size_t parts = 0;
    if (image_format(request.stream.image, parts) != DW_FORMAT_CUE ||
        !discwell::read_cue_copy(request.stream.image, fs::path(request.output).stem().string(), copy, why)) {
        return false;
    }
    std::vector<std::vector<discwell::ChangedSector>> changes(copy.files.size());
    std::vector<uint8_t> held(kSector);
    for (uint32_t lba : changed) {
        size_t file = 0;
        uint64_t offset = 0;
        if (!copy.locate(lba, file, offset) || offset + kSector > copy.files[file].bytes) return false;
        std::ifstream in(fs::u8path(copy.files[file].path), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset));
        in.read(reinterpret_cast<char*>(held.data()), kSector);
        if (!in || std::memcmp(held.data(), disc.original(lba), kSector) != 0) return false;
        changes[file].push_back({offset, disc.original(lba), disc.changed_bytes(lba)});
    }
    const fs::path folder = fs::path(request.output).parent_path();
    for (size_t f = 0; f < copy.files.size(); ++f) {
        const std::string target = (folder / copy.files[f].name).string();
        AtomicOutput* out = outputs.add(target, why);
        if (!out || !discwell::write_changed_copy(copy.files[f].path, changes[f], out->work().string(), why)) {
            failed = failure("", why);
            return true;
        }
        written.push_back(target);
    }
    const std::string sheet = copy.renamed_sheet();
    AtomicOutput* cue = outputs.add(request.output, why);
    if (!cue || !write_whole(cue->work(), {reinterpret_cast<const uint8_t*>(sheet.data()), sheet.size()}, why)) failed = failure("", why);
    written.push_back(request.output);
    return true;
}

// The new image: a .cue with its BIN files (a CUE input's copied file by file; else one, or one
// per track for a multi-track image of another kind), or a .chd.
Outcome write_image(const ReplaceRequest& request, const DiscEdit& disc, const std::set<uint32_t>& changed, OutputSet& outputs,
                    std::vector<std::string>& written) {
    std::string why;
    const fs::path folder = fs::path(request.output).parent_path();
    if (lower_extension(request.output) == ".chd") {
        AtomicOutput* chd = outputs.add(request.output, why);
        if (!chd || !discwell::write_chd(disc, disc.track_spans(), discwell::ChdCodec::kDeflate, chd->work().string(), why)) {
            return failure("", request.output + ": " + why);
        }
        written.push_back(request.output);
        return std::nullopt;
    }
    std::optional<Error> copy_failed;
    if (copy_cue_image(request, disc, changed, outputs, written, copy_failed)) return copy_failed;
    const std::string stem = fs::path(request.output).stem().string();
    size_t part_count = 0;
    const int32_t format = image_format(request.stream.image, part_count);
    const bool per_track = (format != DW_FORMAT_NONE && format != DW_FORMAT_CUE) || part_count > 1;
    const std::vector<discwell::TrackSpan> tracks = disc.track_spans();
    std::vector<discwell::BinFile> bins;
    if (!per_track || tracks.size() < 2) {
        bins.push_back({stem + ".bin", 0, disc.sector_count()});
    } else {
        for (size_t i = 0; i < tracks.size(); ++i) {
            const uint32_t first = i == 0 ? 0 : tracks[i].first_lba - tracks[i].pregap;
            const uint32_t end = i + 1 < tracks.size() ? tracks[i + 1].first_lba - tracks[i + 1].pregap : disc.sector_count();
            char number[8];
            std::snprintf(number, sizeof number, "%02u", unsigned{tracks[i].number});
            bins.push_back({stem + " (Track " + number + ").bin", first, end - first});
        }
    }
    for (const discwell::BinFile& bin : bins) {
        const std::string target = (folder / bin.name).string();
        AtomicOutput* out = outputs.add(target, why);
        if (!out || !discwell::write_bin(disc, bin, out->work().string(), why)) return failure("", why);
        written.push_back(target);
    }
    AtomicOutput* cue = outputs.add(request.output, why);
    const std::string sheet = discwell::cue_sheet(tracks, bins);
    if (!cue || !write_whole(cue->work(), {reinterpret_cast<const uint8_t*>(sheet.data()), sheet.size()}, why)) return failure("", why);
    written.push_back(request.output);
    return std::nullopt;
}

// The patch of the input's BIN: the changed sectors must lie in it where the disc has them.
Outcome write_patch(const ReplaceRequest& request, const std::string& description, const DiscEdit& disc,
                    const std::set<uint32_t>& changed, OutputSet& outputs, std::vector<std::string>& written) {
    std::string why;
    fs::path path;
    if (!patch_source(request.stream.image, path, why)) return failure("", why);
    const BinFeed bin(path);
    std::vector<discwell::ChangedSector> changes;
    uint8_t held[kSector];
    for (uint32_t lba : changed) {
        // The BIN holds the disc from its first sector: each changed sector's original is there.
        if (uint64_t{lba + 1} * kSector > bin.bytes() || !bin.read(lba, 1, held, why) || std::memcmp(held, disc.original(lba), kSector) != 0) {
            return failure("", utf8_path(path) + ": does not hold the disc from its first sector where the stream lies; no patch of it can "
                                                 "be made (convert the image with -o NEW.cue and patch that)");
        }
        changes.push_back({uint64_t{lba} * kSector, disc.original(lba), disc.changed_bytes(lba)});
    }
    std::vector<uint8_t> patch;
    const bool made = lower_extension(request.patch) == ".ppf"
                          ? discwell::ppf3_patch(bin, bin.bytes(), changes, "quorvex: " + description, patch, why)
                          : discwell::vcdiff_patch(bin, bin.bytes(), changes, patch, why);
    if (!made) return failure("", utf8_path(path) + ": " + why);
    AtomicOutput* out = outputs.add(request.patch, why);
    if (!out || !write_whole(out->work(), patch, why)) return failure("", why);
    written.push_back(request.patch);
    return std::nullopt;
}

// Reads the written image back: every sector as intended, and the streams as the input's.
Outcome read_back(const ReplaceRequest& request, const PluginFolder& folder, const std::vector<std::unique_ptr<Work>>& works,
                  const DiscEdit& disc, const std::vector<Replacement>& rs) {
    OpenDisc written_disc;
    if (Outcome failed = open_image(request.output, request.stream.io_mode, written_disc)) {
        return failure(request.output, "cannot be read back: " + failed->text());
    }
    const uint32_t count = disc.sector_count();
    if (DwSectorCount(written_disc.handle) != count) return failure(request.output, "does not read back as written");
    std::string why;
    constexpr uint32_t kRun = 448;
    std::vector<uint8_t> expected(size_t{kRun} * kSector), got(expected.size());
    for (uint32_t at = 0; at < count; at += kRun) {
        const uint32_t n = std::min(kRun, count - at);
        if (!disc.read(at, n, expected.data(), why) || !read_sectors(written_disc.handle, at, n, got.data(), why)) {
            return failure(request.output, "cannot be read back: " + why);
        }
        if (std::memcmp(expected.data(), got.data(), size_t{n} * kSector) != 0) return failure(request.output, "does not read back as written");
    }
    return check_streams(written_disc.handle, request.output, folder, works, rs);
}

}  // namespace

// The streams a run changes, each opened and placed: the one the command line names, or a plan's.
Outcome open_parts(const ReplaceRequest& request, const PluginFolder& folder, std::vector<ReplaceRequest>& parts,
                   std::vector<std::unique_ptr<Work>>& works) {
    parts = {request};
    if (!request.plan.empty()) {
        if (Outcome failed = read_plan(request, parts)) return failed;
    }
    std::set<std::string> names;
    for (const ReplaceRequest& part : parts) {
        if (Outcome problem = check_request(part)) return problem;
        works.push_back(std::make_unique<Work>());
        if (Outcome failed = open_work(part, folder, *works.back())) return failed;
        if (!names.insert(works.back()->named.context.name).second) {
            return failure(request.plan, "names stream " + works.back()->named.context.name + " twice");
        }
    }
    return std::nullopt;
}

// The report: one stream's, or for a plan one section per stream under what they share.
Json run_report(const std::vector<ReplaceRequest>& parts, const std::vector<std::unique_ptr<Work>>& works,
                const std::vector<Replacement>& rs, const std::set<uint32_t>& changed, const std::vector<std::string>& written) {
    if (parts.size() == 1 && parts[0].plan.empty()) return replace_report(parts[0], works[0]->named.context, rs[0], written);
    Json doc;
    doc["format_version"] = kJsonFormatVersion;
    doc["written_by"] = "quorvex";
    put_text(doc, "image", parts[0].stream.image);
    doc["outputs"] = Json::array();
    for (const std::string& w : written) doc["outputs"].push_back(valid_utf8(w));
    doc["sectors_changed"] = changed.size();
    doc["streams"] = Json::array();
    for (size_t i = 0; i < parts.size(); ++i) {
        Json section = replace_report(parts[i], works[i]->named.context, rs[i], written);
        for (const char* shared : {"format_version", "written_by", "image", "outputs"}) section.erase(shared);
        doc["streams"].push_back(std::move(section));
    }
    return doc;
}

Outcome run_replace(const ReplaceRequest& request) {
    const std::string& image = request.stream.image;
    PluginFolder folder;
    Error error;
    if (!load_plugin_folder(request.plugin_directory, folder, error)) return error;
    std::vector<ReplaceRequest> parts;
    std::vector<std::unique_ptr<Work>> works;
    if (Outcome failed = open_parts(request, folder, parts, works)) return failed;

    DiscEdit disc(works[0]->named.disc.handle);
    std::vector<Replacement> rs(parts.size());
    std::set<uint32_t> changed;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (auto failed = encode(parts[i], *works[i], disc, rs[i])) return failed;
        changed.insert(rs[i].changed.begin(), rs[i].changed.end());
    }
    // Checked on the new disc before anything is written.
    {
        const uint32_t edited = disc.open_disc();
        if (!edited) return failure(image, "the new disc could not be opened to be checked");
        Outcome checked = check_streams(edited, "the new disc", folder, works, rs);
        DwClose(edited);
        if (checked) return checked;
    }

    OutputSet outputs;
    std::vector<std::string> written;
    if (!request.output.empty()) {
        if (auto failed = write_image(request, disc, changed, outputs, written)) return failed;
    }
    std::string names;
    for (const auto& work : works) names += (names.empty() ? "" : ", ") + work->named.context.name;
    if (!request.patch.empty()) {
        if (auto failed = write_patch(request, names, disc, changed, outputs, written)) return failed;
    }
    std::string why;
    AtomicOutput* report = outputs.add(report_path(request), why);
    const std::string text = dump(run_report(parts, works, rs, changed, written));
    if (!report || !write_whole(report->work(), {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, why)) return failure("", why);
    if (interrupted()) return Error{Error::Kind::kInterrupted, image, {}, interruption()};
    if (!outputs.commit(why)) return failure("", why);

    if (!request.output.empty()) {
        if (Outcome problem = read_back(request, folder, works, disc, rs)) {
            outputs.undo();
            problem->message += " (the output was removed)";
            return problem;
        }
    }
    for (size_t i = 0; i < parts.size(); ++i) std::printf("%s\n", summary(works[i]->named.context, rs[i]).c_str());
    return std::nullopt;
}

}  // namespace quorvex
