#include "frame_fitting.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "../../codecs/mdec_decoder.h"
#include "../../codecs/mdec_encoder.h"

namespace quorvex {

double psnr(const RgbPicture& a, const RgbPicture& b) {
    if (a.rgb.size() != b.rgb.size() || a.rgb.empty()) return 0;
    uint64_t sum = 0;
    for (size_t i = 0; i < a.rgb.size(); ++i) {
        const int d = int(a.rgb[i]) - int(b.rgb[i]);
        sum += uint64_t(d * d);
    }
    if (sum == 0) return 99;
    const double mse = double(sum) / double(a.rgb.size());
    return 10 * std::log10(255.0 * 255.0 / mse);
}

namespace {

// The frame coded with its unchanged macroblocks' levels as they were, at its own scale: true
// when that fits its room; else the frame is marked for a whole fit.
bool keep_unchanged(const codecs::Picture& picture, const FitJob& job, codecs::FitReport& report) {
    FittedFrame& out = *job.result;
    const auto kept = static_cast<uint32_t>(std::count(out.unchanged.begin(), out.unchanged.end(), true));
    if (kept == 0) return false;
    codecs::MdecHeader header;
    std::vector<codecs::MdecLevels> levels;
    std::string why;
    if (!codecs::read_mdec_levels(out.original, picture.width, picture.height, header, levels, why) || header.version != job.version ||
        header.scale < 1 || header.scale > 63) {
        out.refitted = true;
        return false;
    }
    std::vector<uint8_t> frame = codecs::encode_mdec_keeping(picture, job.version, header.scale, levels, out.unchanged, &report);
    if (frame.empty() || frame.size() > job.room) {
        out.refitted = true;
        return false;
    }
    out.mdec = std::move(frame);
    out.kept_macroblocks = kept;
    return true;
}

}  // namespace

bool fit_frames(std::vector<FitJob>& jobs, unsigned threads, std::string& error) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<size_t>(threads, std::max<size_t>(1, jobs.size())));
    std::atomic<size_t> next{0};
    std::vector<std::string> problems(threads);
    auto work = [&](unsigned worker) {
        auto media = make_replace_media(problems[worker]);
        if (!media) return;
        uint16_t hint = 0;  // the scale the frame before chose: the next one's is seldom far
        for (size_t i; (i = next++) < jobs.size();) {
            FitJob& job = jobs[i];
            FittedFrame& out = *job.result;
            out.room = job.room;
            codecs::FitReport report;
            const codecs::Picture picture = codecs::console_planes(job.picture->rgb, job.picture->width, job.picture->height);
            if (!keep_unchanged(picture, job, report)) {
                out.mdec = codecs::encode_mdec_fitted(picture, job.version, job.room, &report, hint);
                hint = report.scale_only;
            }
            if (out.mdec.empty()) {
                out.failure = "not even its DC values fit its " + std::to_string(job.room) + " bytes";
                continue;
            }
            out.scale = report.scale;
            out.bytes = static_cast<uint32_t>(out.mdec.size());
            out.error = report.error;
            out.scale_only_error = report.scale_only_error;
            RgbPicture decoded;
            std::string why;
            if (!media->decode_frame(out.mdec, job.picture->width, job.picture->height, decoded, why)) {
                out.failure = "its new data does not decode (" + why + ")";
                continue;
            }
            out.psnr = psnr(*job.picture, decoded);
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work, t);
    work(0);
    for (std::thread& t : pool) t.join();
    for (const std::string& p : problems) {
        if (!p.empty()) {
            error = p;
            return false;
        }
    }
    return true;
}

}  // namespace quorvex
