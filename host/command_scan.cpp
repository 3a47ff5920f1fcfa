// quorvex plugins, scan and info: what is installed, what a disc holds, what one stream is.
#include <cstdio>

#include "../discwell/discwell.h"
#include "commands.h"
#include "disc_survey.h"
#include "interrupt.h"
#include "json_out.h"
#include "paths.h"
#include "progress.h"
#include "stream_format.h"
#include "words.h"

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

const StreamGroup* group_shown(const DiscSurvey& survey, size_t i) {
    return survey.shown_for[i] < 0 ? nullptr : &survey.groups[static_cast<size_t>(survey.shown_for[i])];
}

TableRow table_row(const DiscSurvey& survey, size_t i) {
    const FoundStream& s = survey.report.streams[i];
    const StreamGroup* group = group_shown(survey, i);
    return {survey.numbers[i], survey.names[i], s.plugin->stem, s.index, s.info, group ? plugin_list(group->also_found) : ""};
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

void print_notes(const DiscSurvey& survey, const std::vector<size_t>& shown) {
    for (const size_t i : shown) {
        const FoundStream& s = survey.report.streams[i];
        if (s.state == StreamState::kWhole) continue;
        std::printf("  %s is %s: %s\n", survey.names[i].c_str(), state_name(s.state), s.note.c_str());
    }
}

}  // namespace

Outcome run_plugins(const Options& options) {
    PluginFolder folder;
    if (Outcome failed = load_plugins(options, folder)) return failed;
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
    return std::nullopt;
}

Outcome run_scan(const Options& options) {
    PluginFolder folder;
    const PluginFile* only = nullptr;
    if (Outcome failed = load_plugins(options, folder, &only)) return failed;
    // The images in the order given: a folder's found in it, a file taken as it is (opening it
    // says what is wrong with it).
    std::vector<CollectionImage> images;
    std::vector<std::string> not_images;
    std::string error;
    for (const std::string& argument : options.images) {
        std::error_code ec;
        if (!std::filesystem::is_directory(native_path(argument), ec)) {
            images.push_back({argument, argument, 0, 0, {}, {}});
            continue;
        }
        std::vector<CollectionImage> found;
        std::vector<std::string> others;
        find_images({argument}, found, error, &others);
        if (found.empty()) complain(printable(argument) + ": no disc images in this folder");
        images.insert(images.end(), found.begin(), found.end());
        not_images.insert(not_images.end(), others.begin(), others.end());
    }
    if (!not_images.empty()) warn(not_images_line(not_images));
    Json doc;
    doc["format_version"] = kJsonFormatVersion;
    doc["discs"] = Json::array();
    if (!not_images.empty()) {
        doc["not_images"] = Json::array();
        for (const std::string& f : not_images) doc["not_images"].push_back(valid_utf8(f));
    }
    int status = kExitOk;
    bool first = true;
    Progress meter(progress_mode(options.progress));
    // One image at a time: opened, scanned and closed before the next.
    for (const CollectionImage& found : images) {
        const std::string& image = found.path;
        Json entry;
        put_text(entry, "image", image);
        OpenDisc disc;
        DiscSurvey survey;
        int percent = -1;
        const auto progress = [&](uint32_t done, uint32_t total) {
            const int now = total ? static_cast<int>(uint64_t{done} * 100 / total) : 100;
            if (now == percent) return;
            percent = now;
            meter.line(printable(image) + ": scanning, " + std::to_string(now) + "% of " + count_text(total, "sector"));
            Json step{{"step", "scan"}, {"image", valid_utf8(image)}, {"sectors_done", done}, {"sectors", total}};
            meter.step(std::move(step));
        };
        // discwell's message names the file; the survey's is said of the image.
        const Outcome unopened = open_image(image, options.io_mode, disc);
        std::string problem = unopened ? unopened->text() : "";
        if (!unopened && !survey_disc(disc.handle, image, all_plugins(folder), survey, problem, warn, progress)) {
            if (survey.report.interrupted) return Error{Error::Kind::kInterrupted, image, {}, problem};
            problem = image + ": " + problem;
        }
        if (!problem.empty()) {
            complain(problem);
            status = kExitError;
            entry["error"] = valid_utf8(problem);
            doc["discs"].push_back(entry);
            continue;
        }
        meter.clear();
        const std::vector<size_t> listed = selected_streams(survey, stream_filter(options), only);
        if (options.json) {
            entry["disc"] = disc_json(disc.handle);
            put_text(entry["disc"], "volume_id", survey.directory.volume_id);
            put_text(entry["disc"], "boot_file", survey.boot_file);
            entry["streams"] = Json::array();
            for (const size_t i : listed) {
                Json j = found_stream_json(survey, i);
                if (const StreamGroup* group = group_shown(survey, i); group && !options.all) {
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
        const size_t all = survey.report.streams.size();
        std::printf("%s: %s", printable(image).c_str(), count_text(listed.size(), "stream").c_str());
        if (!options.all && !only && options.kind.empty() && options.min_length <= 0 && listed.size() != all) {
            std::printf(" (%zu as the plug-ins list them: --all shows every list)", all);
        } else if (listed.size() != survey.listing.size() && !options.all) {
            std::printf(" of %zu listed", survey.listing.size());
        }
        std::printf("\n");
        if (listed.empty()) continue;
        std::vector<TableRow> rows;
        for (const size_t i : listed) {
            rows.push_back(table_row(survey, i));
            if (options.all) rows.back().also_found_by.clear();
        }
        std::printf("%s", format_stream_table(rows).c_str());
        print_notes(survey, listed);
    }
    if (images.empty()) status = kExitError;
    if (options.json) std::fputs(dump(doc).c_str(), stdout);
    return outcome_of_status(status);
}

Outcome run_info(const InfoRequest& request) {
    PluginFolder folder;
    NamedStream named;
    Error error;
    if (!load_plugin_folder(request.plugin_directory, folder, error) || !open_named_stream(request.stream, folder, named, error)) {
        return error;
    }
    const StreamContext& context = named.context;
    const StreamInfo& info = context.request.info;
    const PluginFile& plugin = *context.request.plugin;
    if (request.json) {
        Json doc;
        doc["format_version"] = kJsonFormatVersion;
        put_text(doc, "image", request.stream.image);
        if (!context.name.empty()) {
            doc["number"] = context.number ? Json(*context.number) : Json(nullptr);
            doc["name"] = context.name;
        }
        doc["plugin"] = plugin.stem;
        if (context.index) doc["index"] = *context.index;
        doc.update(stream_info_json(info, plugin.carries_payload_bytes()));
        doc["described_by"] = context.described_by_scan ? "scan" : "estimate";
        doc["state"] = state_name(context.state);
        if (!context.note.empty()) doc["note"] = context.note;
        std::fputs(dump(doc).c_str(), stdout);
        return std::nullopt;
    }
    std::printf("%s", format_stream_table({{context.number.value_or(0), context.name.empty() ? "-" : context.name, plugin.stem,
                                            context.index.value_or(0), info, {}}})
                          .c_str());
    if (context.described_by_scan) {
        std::printf("described by the scan: %s is stream %d of %s\n", context.name.c_str(), context.index.value_or(0),
                    plugin.stem.c_str());
    } else {
        std::printf("an estimate by %s from the first sectors of the range (no scanned stream has exactly this range)\n",
                    plugin.stem.c_str());
    }
    if (context.state != StreamState::kWhole) std::printf("%s: %s\n", state_name(context.state), context.note.c_str());
    return std::nullopt;
}

}  // namespace quorvex
