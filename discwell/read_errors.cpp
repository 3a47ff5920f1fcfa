#include "read_errors.h"

#include <algorithm>
#include <cstring>

#include "discwell.h"

namespace discwell {
namespace {

struct PendingError {
    const SectorReader* reader = nullptr;
    uint32_t disc = 0;
    uint32_t lba = 0;
    std::string cause;
};

// Plug-ins run on the thread that calls them, so the thread that called PsrRead is the one that
// asks afterwards; streams played on other threads keep their failures apart.
thread_local PendingError t_pending;

}  // namespace

void note_read_error(const SectorReader* reader, uint32_t disc, uint32_t lba, const std::string& cause) {
    t_pending.reader = reader;
    t_pending.disc = disc;
    t_pending.lba = lba;
    t_pending.cause = cause;
    if (t_pending.cause.empty()) t_pending.cause = "read error";
}

void note_read_success(const SectorReader* reader) {
    if (t_pending.reader == reader) t_pending = PendingError{};
}

}  // namespace discwell

extern "C" DISCWELL_API int32_t CD_CALL DwTakeReadError(uint32_t disc, uint32_t* lba, char* cause, uint32_t cause_size) {
    auto& pending = discwell::t_pending;
    if (!pending.reader || pending.disc != disc) return 0;
    if (lba) *lba = pending.lba;
    if (cause && cause_size) {
        const size_t n = std::min<size_t>(pending.cause.size(), cause_size - 1);
        std::memcpy(cause, pending.cause.data(), n);
        cause[n] = '\0';
    }
    pending = discwell::PendingError{};
    return 1;
}
