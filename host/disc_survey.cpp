#include "disc_survey.h"

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

}  // namespace quorvex
