#include "disc_survey.h"

#include "json_out.h"

namespace quorvex {

bool survey_disc(uint32_t disc, const std::string& image, const std::vector<const PluginFile*>& plugins,
                 DiscSurvey& survey, std::string& error, const Warn& warn, const ScanProgress& progress) {
    if (!scan_disc(disc, plugins, survey.report, error, warn, progress)) return false;
    survey.directory = read_disc_directory(disc);
    if (!survey.directory.readable() && !survey.report.streams.empty() && warn) {
        warn(image + ": streams are named by their sectors: " + survey.directory.problem);
    }
    survey.boot_file = boot_file(disc, survey.directory);
    survey.places = place_streams(survey.report, survey.directory);
    survey.groups = group_streams(survey.report, survey.places);
    return true;
}

Json found_stream_json(const FoundStream& s, const StreamPlace& place) {
    Json j;
    j["plugin"] = s.plugin->stem;
    j["index"] = s.index;
    j.update(stream_info_json(s.info, s.plugin->stream_info_size() == 44));
    j["state"] = state_name(s.state);
    if (!s.note.empty()) j["note"] = s.note;
    if (place.file) {
        put_text(j, "file", place.file->path);
    } else {
        j["file"] = nullptr;
    }
    j["channel"] = place.channel < 0 ? Json(nullptr) : Json(place.channel);
    j["name"] = place.name;
    return j;
}

}  // namespace quorvex
