// quorvex index: one collection.json of every disc and stream that rips wrote into the folders
// given (several machines' shards, say), read from each disc folder's rip.json.
#include <algorithm>
#include <cstdio>
#include <fstream>

#include "atomic_output.h"
#include "commands.h"
#include "json_out.h"
#include "paths.h"
#include "rip_index.h"
#include "words.h"

namespace fs = std::filesystem;

namespace quorvex {

Outcome run_index(const Options& options) {
    struct Found {
        std::string folder;
        Json rip;
    };
    std::vector<Found> discs;
    Json left_out = Json::array();
    int status = kExitOk;
    for (const std::string& argument : options.images) {
        std::error_code ec;
        const fs::path root = native_path(argument);
        if (!fs::is_directory(root, ec)) {
            return failure(argument, "not a folder");
        }
        // DIR/<disc>/rip.json, as rip writes them. One that cannot be read or is damaged is left
        // out, named, with the reason in the collection's "left_out".
        for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path index = it->path() / "rip.json";
            std::error_code type_ec;
            if (!it->is_directory(type_ec)) continue;
            const auto type = fs::symlink_status(index, type_ec);
            if (!fs::exists(type)) continue;
            const auto leave_out = [&](const std::string& why) {
                complain(printable(utf8_path(index)) + ": " + why + "; left out");
                Json note;
                put_text(note, "folder", utf8_path(it->path()));
                note["reason"] = valid_utf8(why);
                left_out.push_back(std::move(note));
                status = kExitError;
            };
            if (!fs::is_regular_file(type)) {
                leave_out("not a regular file");
                continue;
            }
            std::ifstream in(index, std::ios::binary);
            Json rip;
            try {
                rip = Json::parse(in);
            } catch (const std::exception&) {
                leave_out("not a rip.json of quorvex's");
                continue;
            }
            if (std::string problem = rip_document_problem(rip); !problem.empty()) {
                leave_out("damaged: " + problem);
                continue;
            }
            discs.push_back({utf8_path(it->path()), std::move(rip)});
        }
        if (ec) {
            return failure(argument, "cannot read the folder: " + ec.message());
        }
    }
    std::sort(discs.begin(), discs.end(), [](const Found& a, const Found& b) { return a.folder < b.folder; });

    Json doc;
    doc["format_version"] = kJsonFormatVersion;
    doc["discs"] = Json::array();
    size_t streams = 0, complete = 0;
    for (Found& d : discs) {
        Json entry;
        put_text(entry, "folder", d.folder);
        entry["image"] = d.rip.contains("image") ? d.rip["image"] : Json();
        entry["disc"] = d.rip["disc"];
        entry["summary"] = d.rip.contains("summary") ? d.rip["summary"] : Json::object();
        entry["streams"] = d.rip["streams"];
        streams += entry["streams"].size();
        if (entry["summary"].contains("complete") && entry["summary"]["complete"] == true) ++complete;
        doc["discs"].push_back(std::move(entry));
    }
    doc["disc_count"] = discs.size();
    doc["stream_count"] = streams;
    doc["left_out"] = std::move(left_out);
    const fs::path output = options.output.empty() ? native_path(options.images.front()) / "collection.json"
                                                   : native_path(options.output);
    std::string error;
    if (!replace_file_contents(output, dump(doc), error)) {
        return failure("", error);
    }
    std::printf("%s: %s (%zu ripped completely), %s\n", printable(utf8_path(output)).c_str(),
                count_text(discs.size(), "disc").c_str(), complete, count_text(streams, "stream").c_str());
    return outcome_of_status(status);
}

}  // namespace quorvex
