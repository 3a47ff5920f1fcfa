// quorvex plugins, scan and info: what is installed, what a disc holds, what a range holds.
#include <cstdio>

#include "../discwell/discwell.h"
#include "commands.h"
#include "disc_survey.h"
#include "json_out.h"
#include "stream_format.h"

namespace quorvex {
namespace {

std::string version_text(uint16_t hundredths) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%02u", hundredths / 100u, hundredths % 100u);
    return text;
}

std::string plugin_list(const std::vector<const PluginFile*>& plugins) {
    std::string out;
    for (const PluginFile* p : plugins) out += (out.empty() ? "" : ",") + p->stem;
    return out;
}

TableRow table_row(const DiscSurvey& survey, size_t i) {
    const FoundStream& s = survey.report.streams[i];
    const StreamPlace& p = survey.places[i];
    return {s.plugin->stem, s.index, s.info, p.file ? p.file->path : std::string(), p.channel, {}};
}

Json disc_json(uint32_t disc) {
    Json j;
    j["sectors"] = DwSectorCount(disc);
    j["tracks"] = Json::array();
    for (int32_t i = 0; i < DwTrackCount(disc); ++i) {
        DwTrack t{};
        if (!DwGetTrack(disc, i, &t)) continue;
        Json track;
        track["number"] = t.number;
        track["mode"] = t.mode == DW_TRACK_AUDIO ? "audio" : t.mode == DW_TRACK_MODE1 ? "mode1" : "mode2";
        track["control"] = t.control;
        track["first_sector"] = t.first_lba;
        track["sector_count"] = t.sector_count;
        j["tracks"].push_back(track);
    }
    return j;
}

void print_notes(const std::vector<FoundStream>& streams) {
    for (const FoundStream& s : streams) {
        if (s.state == StreamState::kWhole) continue;
        std::printf("  %s %d is %s: %s\n", s.plugin->stem.c_str(), s.index, state_name(s.state), s.note.c_str());
    }
}

}  // namespace

int run_plugins(const Options& options) {
    PluginFolder folder;
    const std::string directory = options.plugin_directory.empty() ? default_plugin_directory() : options.plugin_directory;
    std::string error;
    if (!find_plugins(directory, folder, error)) {
        complain(error);
        return kExitError;
    }
    for (const std::string& problem : folder.problems) complain(problem);
    if (options.json) {
        Json doc;
        doc["format_version"] = kJsonFormatVersion;
        doc["plugins"] = Json::array();
        for (const PluginFile& p : folder.plugins) {
            Json j;
            put_text(j, "file", std::filesystem::path(p.path).filename().string());
            j["name"] = valid_utf8(p.name());
            j["plugin_version"] = p.info.plugin_version;
            j["extra_version"] = p.info.extra_version;
            j["interface_version"] = p.info.interface_version;
            j["decodes_audio"] = p.decodes_audio;
            doc["plugins"].push_back(j);
        }
        doc["problems"] = Json::array();
        for (const std::string& problem : folder.problems) doc["problems"].push_back(valid_utf8(problem));
        std::fputs(dump(doc).c_str(), stdout);
    } else {
        for (const PluginFile& p : folder.plugins) {
            std::printf("%-18s %-16s version %s  extra %u  interface %u%s\n",
                        std::filesystem::path(p.path).filename().string().c_str(), p.name().c_str(),
                        version_text(p.info.plugin_version).c_str(), p.info.extra_version, p.info.interface_version,
                        p.decodes_audio ? "  decodes audio" : "");
        }
    }
    return folder.problems.empty() ? kExitOk : kExitError;
}

int run_scan(const Options& options) {
    PluginFolder folder;
    if (!load_plugin_folder(options, folder)) return kExitError;
    const auto plugins = all_plugins(folder);
    Json doc;
    doc["format_version"] = kJsonFormatVersion;
    doc["discs"] = Json::array();
    int status = kExitOk;
    bool first = true;
    // One image at a time: opened, scanned and closed before the next.
    for (const std::string& image : options.images) {
        Json entry;
        put_text(entry, "image", image);
        OpenDisc disc;
        std::string error;
        DiscSurvey survey;
        if (!open_image(image, options.io_mode, disc, error) ||
            !survey_disc(disc.handle, image, plugins, survey, error, warn)) {
            if (error.rfind(image, 0) != 0) error = image + ": " + error;
            complain(error);
            status = kExitError;
            entry["error"] = valid_utf8(error);
            doc["discs"].push_back(entry);
            continue;
        }
        const auto& streams = survey.report.streams;
        // Every plug-in's own list (--all), or each group once by its chosen plug-in's split.
        std::vector<std::pair<size_t, const StreamGroup*>> shown;
        if (options.all) {
            for (size_t i = 0; i < streams.size(); ++i) shown.push_back({i, nullptr});
        } else {
            for (const StreamGroup& g : survey.groups) {
                for (const size_t i : g.chosen_streams) shown.push_back({i, &g});
            }
        }
        if (options.json) {
            entry["disc"] = disc_json(disc.handle);
            put_text(entry["disc"], "volume_id", survey.directory.volume_id);
            put_text(entry["disc"], "boot_file", survey.boot_file);
            entry["streams"] = Json::array();
            for (const auto& [i, group] : shown) {
                Json j = found_stream_json(streams[i], survey.places[i]);
                if (group) {
                    j["also_found_by"] = Json::array();
                    for (const PluginFile* p : group->also_found) j["also_found_by"].push_back(p->stem);
                }
                entry["streams"].push_back(j);
            }
            doc["discs"].push_back(entry);
            continue;
        }
        if (!first) std::printf("\n");
        first = false;
        std::printf("%s: %zu stream%s", image.c_str(), shown.size(), shown.size() == 1 ? "" : "s");
        if (shown.size() != streams.size()) {
            std::printf(" (%zu as the plug-ins list them: --all shows every list)", streams.size());
        }
        std::printf("\n");
        if (shown.empty()) continue;
        std::vector<TableRow> rows;
        std::vector<FoundStream> listed;
        for (const auto& [i, group] : shown) {
            rows.push_back(table_row(survey, i));
            if (group) rows.back().also_found_by = plugin_list(group->also_found);
            listed.push_back(streams[i]);
        }
        std::printf("%s", format_stream_table(rows).c_str());
        print_notes(listed);
    }
    if (options.json) std::fputs(dump(doc).c_str(), stdout);
    return status;
}

int run_info(const Options& options) {
    PluginFolder folder;
    if (!load_plugin_folder(options, folder)) return kExitError;
    const PluginFile* plugin = named_plugin(options, folder);
    if (!plugin) return kExitError;
    OpenDisc disc;
    std::string error;
    if (!open_image(options.images[0], options.io_mode, disc, error)) {
        complain(error);
        return kExitError;
    }
    StreamContext context;
    if (const int status = choose_stream(options, *plugin, disc.handle, context); status != kExitOk) return status;
    const StreamInfo& info = context.request.info;
    if (options.json) {
        Json doc;
        doc["format_version"] = kJsonFormatVersion;
        put_text(doc, "image", options.images[0]);
        doc["plugin"] = plugin->stem;
        if (context.index) doc["index"] = *context.index;
        doc.update(stream_info_json(info, plugin->stream_info_size() == 44));
        doc["described_by"] = context.described_by_scan ? "scan" : "estimate";
        doc["state"] = state_name(context.state);
        if (!context.note.empty()) doc["note"] = context.note;
        std::fputs(dump(doc).c_str(), stdout);
        return kExitOk;
    }
    std::printf("%s", format_stream_table({{plugin->stem, context.index.value_or(0), info, {}, -1, {}}}).c_str());
    if (context.described_by_scan) {
        std::printf("described by the scan: this is stream %d of %s\n", context.index.value_or(0), plugin->stem.c_str());
    } else {
        std::printf("an estimate by %s from the first sectors of the range (no scanned stream has exactly this range)\n",
                    plugin->stem.c_str());
    }
    if (context.state != StreamState::kWhole) std::printf("%s: %s\n", state_name(context.state), context.note.c_str());
    return kExitOk;
}

}  // namespace quorvex
