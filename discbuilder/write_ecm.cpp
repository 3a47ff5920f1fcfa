// ECM files: each sector whose sync, EDC and parity can be made again is stored without them.
// Mode 1 sectors go whole (their address kept); of a Mode 2 sector the first sixteen bytes (sync
// and address) are stored as they are and the rest as a Form 1 or Form 2 body, as the ECM tools
// of old write them. Anything else is stored byte for byte.
#include <cstring>

#include "../codecs/byte_order.h"
#include "codecs/cd_codes.h"
#include "image_writers.h"

namespace discbuilder {
namespace {


bool is_mode1(const uint8_t* s) {
    for (int i = 2068; i < 2076; ++i) {
        if (s[i] != 0) return false;
    }
    return std::memcmp(s, codecs::kSync, 12) == 0 && s[15] == 1 && codecs::edc(s, 2064) == codecs::le32(s + 2064) &&
           codecs::ecc_matches(s);
}

// 1 for a Mode 2 Form 1 body, 2 for Form 2, 0 for neither.
int mode2_form(const uint8_t* s) {
    if (std::memcmp(s, codecs::kSync, 12) != 0 || s[15] != 2 || std::memcmp(s + 16, s + 20, 4) != 0) return 0;
    if (codecs::edc(s + 16, 2056) == codecs::le32(s + 2072) && codecs::ecc_matches(s)) return 1;
    if (codecs::edc(s + 16, 2332) == codecs::le32(s + 2348)) return 2;
    return 0;
}

class EcmWriter {
public:
    EcmWriter() { out_ = {'E', 'C', 'M', 0}; }

    // Adds `count` items of `type`; runs of one type share a block.
    void add(uint8_t type, const uint8_t* stored, size_t bytes_each, uint32_t count = 1) {
        if (type != type_ || run_ + count > 0x80000000u) flush();
        type_ = type;
        run_ += count;
        pending_.insert(pending_.end(), stored, stored + bytes_each * count);
    }

    std::vector<uint8_t> finish(uint32_t whole_edc) {
        flush();
        header(0, 0xFFFFFFFFu);
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(whole_edc >> (8 * i)));
        return std::move(out_);
    }

private:
    void header(uint8_t type, uint32_t n) {
        uint8_t b = static_cast<uint8_t>(((n & 0x1F) << 2) | type);
        n >>= 5;
        while (n != 0) {
            out_.push_back(static_cast<uint8_t>(b | 0x80));
            b = static_cast<uint8_t>(n & 0x7F);
            n >>= 7;
        }
        out_.push_back(b);
    }
    void flush() {
        if (run_ == 0) return;
        header(type_, run_ - 1);
        out_.insert(out_.end(), pending_.begin(), pending_.end());
        pending_.clear();
        run_ = 0;
    }

    std::vector<uint8_t> out_, pending_;
    uint8_t type_ = 0;
    uint32_t run_ = 0;
};

}  // namespace

bool write_ecm(const RawDisc& disc, const std::string& path, std::string& error) {
    EcmWriter ecm;
    for (uint32_t lba = 0; lba < disc.sector_count(); ++lba) {
        if (lba % 4096 == 0) disc.report(lba);
        const uint8_t* s = disc.sector(lba);
        if (is_mode1(s)) {
            uint8_t stored[3 + 2048];
            std::memcpy(stored, s + 12, 3);
            std::memcpy(stored + 3, s + 16, 2048);
            ecm.add(1, stored, sizeof stored);
        } else if (const int form = mode2_form(s)) {
            for (int i = 0; i < 16; ++i) ecm.add(0, s + i, 1);
            if (form == 1) {
                uint8_t stored[2052];
                std::memcpy(stored, s + 16, 4);
                std::memcpy(stored + 4, s + 24, 2048);
                ecm.add(2, stored, sizeof stored);
            } else {
                uint8_t stored[2328];
                std::memcpy(stored, s + 16, 4);
                std::memcpy(stored + 4, s + 24, 2324);
                ecm.add(3, stored, sizeof stored);
            }
        } else {
            for (int i = 0; i < 2352; ++i) ecm.add(0, s + i, 1);
        }
    }
    const auto bytes = ecm.finish(codecs::edc(disc.sectors.data(), disc.sectors.size()));
    return write_file(path, bytes, error);
}

}  // namespace discbuilder
