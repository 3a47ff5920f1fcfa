// A failure a command meets, as data: what kind it is, which image and sector it concerns, and
// what went wrong. The commands return it; only main turns it into a line on standard error and
// an exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvex {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;       // nothing (more) was written
inline constexpr int kExitUsage = 2;       // the command line is wrong
inline constexpr int kExitIncomplete = 3;  // written, but the disc holds only part of the stream

struct Error {
    enum class Kind {
        kUsage,        // the command line asks for what cannot be done
        kFailed,       // nothing (more) was written
        kCut,          // written, but the disc holds only part of the stream
        kInterrupted,  // the user stopped it: said once, as the run ends
    };
    Kind kind = Kind::kFailed;
    std::string image;               // the image it concerns; empty when the message names its file
    std::optional<uint32_t> sector;  // the sector it concerns
    std::string message;
    int32_t disc_error = 0;  // the sector library's kind of error (a DwError) where it arose there
    // Already said as the run went (a line for each disc or file that failed): nothing more is
    // said at the end, the status alone tells.
    bool said = false;

    // "IMAGE: MESSAGE", or the message alone.
    std::string text() const { return image.empty() ? message : image + ": " + message; }
    int exit_status() const {
        switch (kind) {
            case Kind::kUsage: return kExitUsage;
            case Kind::kCut: return kExitIncomplete;
            case Kind::kFailed:
            case Kind::kInterrupted: break;
        }
        return kExitError;
    }
};

inline Error failure(std::string image, std::string message) { return Error{Error::Kind::kFailed, std::move(image), {}, std::move(message)}; }
inline Error usage_error(std::string message) { return Error{Error::Kind::kUsage, {}, {}, std::move(message)}; }

// What a command ends with: nothing for success, else the error that ended it.
using Outcome = std::optional<Error>;

// The outcome of a run whose failures were said as they came, by its exit status.
inline Outcome outcome_of_status(int status) {
    if (status == kExitOk) return std::nullopt;
    const Error::Kind kind = status == kExitUsage ? Error::Kind::kUsage : status == kExitIncomplete ? Error::Kind::kCut : Error::Kind::kFailed;
    return Error{kind, {}, {}, {}, 0, true};
}

}  // namespace quorvex
