// Raw Mode 2 sectors as a CD-ROM drive reads them: sync, BCD address, the XA subheader twice,
// user data, EDC and (Form 1) the P and Q parity of the Reed-Solomon product code.
#pragma once

#include <cstdint>
#include <span>

namespace discbuilder {

inline constexpr uint32_t kSectorBytes = 2352;
inline constexpr uint32_t kForm1Bytes = 2048;
inline constexpr uint32_t kForm2Bytes = 2324;

struct Subheader {
    uint8_t file = 0;
    uint8_t channel = 0;
    uint8_t submode = 0;
    uint8_t coding = 0;
};

// Submodes used on built discs.
namespace submodes {
inline constexpr uint8_t kData = 0x08;
inline constexpr uint8_t kDataEndOfRecord = 0x09;
inline constexpr uint8_t kDataEndOfFile = 0x89;
inline constexpr uint8_t kVideo = 0x48;      // real-time data, Form 1
inline constexpr uint8_t kVideoForm2 = 0x68;  // real-time data, Form 2
inline constexpr uint8_t kXaAudio = 0x64;     // real-time, Form 2, audio
}  // namespace submodes

// Writes a complete Mode 2 sector, Form 2 when the submode has bit 0x20, else Form 1. `data` is
// zero-padded to the form's user data (2048 or 2324 bytes); longer data is cut.
void encode_sector(uint8_t* sector, uint32_t lba, Subheader subheader, std::span<const uint8_t> data);

// The CD-ROM EDC (CRC-32 with polynomial 0x8001801B, reflected) over `bytes`.
uint32_t edc(std::span<const uint8_t> bytes);

}  // namespace discbuilder
