#include "disc_survey.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include "collection.h"
#include "json_out.h"
#include "paths.h"

namespace quorvex {

namespace {

// A stream in a file the image cuts short (a dump that ended early) is cut when it is the last of
// its channel in that file: it would have gone on past the image's end. Earlier streams of the
// channel there ended before it began, whole.
void judge_cut_files(ScanReport& report, const DiscDirectory& directory) {
    std::vector<FoundStream>& streams = report.streams;
    for (FoundStream& s : streams) {
        const DiscFile* file = directory.file_at(s.info.start_sector);
        if (s.state != StreamState::kWhole || !file || !directory.cuts(*file)) continue;
        const uint8_t channel = report.channel_at(s.info.start_sector);
        const bool later = std::any_of(streams.begin(), streams.end(), [&](const FoundStream& t) {
            return t.info.start_sector > s.info.start_sector && directory.file_at(t.info.start_sector) == file &&
                   report.channel_at(t.info.start_sector) == channel;
        });
        if (later) continue;
        s.state = StreamState::kCut;
        s.note = "the image ends at sector " + std::to_string(directory.image_sectors) + ", inside " + file->path + " (sectors " +
                 std::to_string(file->first_sector) + " to " + std::to_string(file->end_sector() - 1) +
                 "): a dump cut short, which lacks the rest of the stream";
    }
}

}  // namespace

bool survey_disc(uint32_t disc, const std::string& image, const std::vector<const PluginFile*>& plugins,
                 DiscSurvey& survey, std::string& error, const Warn& warn, const ScanProgress& progress) {
    if (!scan_disc(disc, plugins, survey.report, error, warn, progress)) return false;
    survey.directory = read_disc_directory(disc);
    if (!survey.directory.readable() && !survey.report.streams.empty() && warn) {
        warn(image + ": streams are named by their sectors: " + survey.directory.problem);
    }
    survey.boot_file = boot_file(disc, survey.directory);
    judge_cut_files(survey.report, survey.directory);
    survey.places = place_streams(survey.report, survey.directory);
    survey.groups = group_streams(survey.report, survey.places);
    identify_streams(survey);
    return true;
}

std::string disc_title(const std::string& image) {
    if (std::string title = image_title(image); !title.empty()) return title;
    std::filesystem::path file = native_path(image).filename();
    if (lower_ascii(utf8_path(file.extension())) == ".ecm") file = file.stem();
    return utf8_path(file.stem());
}

void identify_streams(DiscSurvey& survey) {
    const auto& streams = survey.report.streams;
    survey.listing.clear();
    survey.numbers.assign(streams.size(), 0);
    survey.names.assign(streams.size(), {});
    survey.shown_for.assign(streams.size(), -1);
    for (size_t g = 0; g < survey.groups.size(); ++g) {
        for (const size_t i : survey.groups[g].chosen_streams) {
            survey.listing.push_back(i);
            survey.numbers[i] = static_cast<uint32_t>(survey.listing.size());
            survey.shown_for[i] = static_cast<int>(g);
        }
    }
    // Names compared without regard to case, as file systems compare them.
    std::set<std::string> taken;
    const auto name = [&](size_t i, std::string base) {
        if (taken.count(lower_ascii(base))) base += "-" + streams[i].plugin->stem;
        std::string unique = base;
        for (int n = 2; taken.count(lower_ascii(unique)); ++n) unique = base + "-" + std::to_string(n);
        taken.insert(lower_ascii(unique));
        survey.names[i] = unique;
    };
    for (const size_t i : survey.listing) name(i, survey.places[i].base_name);
    for (size_t i = 0; i < streams.size(); ++i) {
        if (!survey.numbers[i]) name(i, streams[i].plugin->stem + "-" + std::to_string(streams[i].index));
    }
}

std::optional<size_t> DiscSurvey::find(const std::string& given) const {
    if (!given.empty() && given.size() <= 9 && given.find_first_not_of("0123456789") == std::string::npos) {
        const unsigned long number = std::stoul(given);
        if (number >= 1 && number <= listing.size()) return listing[number - 1];
        return std::nullopt;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == given) return i;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (lower_ascii(names[i]) == lower_ascii(given)) return i;
    }
    return std::nullopt;
}

Json found_stream_json(const DiscSurvey& survey, size_t i) {
    const FoundStream& s = survey.report.streams[i];
    const StreamPlace& place = survey.places[i];
    Json j;
    j["number"] = survey.numbers[i] ? Json(survey.numbers[i]) : Json(nullptr);
    j["name"] = survey.names[i];
    j["plugin"] = s.plugin->stem;
    j["index"] = s.index;
    j.update(stream_info_json(s.info, s.plugin->carries_payload_bytes()));
    j["state"] = state_name(s.state);
    if (!s.note.empty()) j["note"] = s.note;
    if (place.file) {
        put_text(j, "file", place.file->path);
    } else {
        j["file"] = nullptr;
    }
    j["channel"] = place.channel < 0 ? Json(nullptr) : Json(place.channel);
    return j;
}

}  // namespace quorvex
