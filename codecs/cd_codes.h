// The error codes of a raw CD-ROM sector: the sync pattern, the EDC (a CRC-32) and the P and Q
// parity of the Reed-Solomon product code over a Form 1 sector. Shared by the image formats that
// store sectors without them (CHD, ECM) and by the disc builder that writes them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace codecs {

inline constexpr uint8_t kSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// The CD-ROM EDC (CRC-32, polynomial 0x8001801B, reflected) over `n` bytes; edc_update carries
// one on over more bytes (edc(a + b) == edc_update(edc(a), b)).
uint32_t edc(const uint8_t* bytes, size_t n);
uint32_t edc_update(uint32_t edc, const uint8_t* bytes, size_t n);

// Whether a raw sector's error codes are right: the EDC and parity of a Mode 1 or Mode 2 Form 1
// sector, the EDC of a Form 2 sector where it is not zero (a Form 2 EDC of zero means none was
// written). A sector without the sync pattern, or of another mode, carries none and passes.
bool sector_codes_match(const uint8_t* sector);

// Writes the EDC of a sector as its mode and form have it: Mode 1 over bytes 0-2063 into
// 2064-2067; Mode 2 Form 1 over 16-2071 into 2072-2075; Mode 2 Form 2 over 16-2347 into 2348-2351.
void write_edc(uint8_t* sector);

// Writes the P and Q parity (bytes 2076-2351) of a Mode 1 or Mode 2 Form 1 sector. Mode 2 takes
// the four address bytes as zero, as the CD-ROM XA standard has it.
void write_ecc(uint8_t* sector);

// After a sector's contents changed: its EDC and parity written anew as its mode and form have
// them. A Form 2 sector whose EDC was zero (none was written) keeps zero. False, and the sector
// left as it is, when it has no sync pattern or a mode other than 1 or 2 (a damaged dump): its
// codes cannot be made.
bool reseal_sector(uint8_t* sector);

// Whether a sector's parity is right (what a drive would accept).
bool ecc_matches(const uint8_t* sector);

}  // namespace codecs
