// PBP files as the converters for handheld consoles write them: a header naming the parts, a
// small PARAM.SFO, and DATA.PSAR holding the disc ("PSISOIMG0000"): its game code, its table of
// contents, an index of blocks, and the blocks of sixteen sectors, each compressed with raw
// Deflate or stored as it is where that does not help.
#include <cstring>

#include "../codecs/byte_order.h"
#include "image_writers.h"
#include "sector_codec.h"

#if QUORVEX_HAVE_ZLIB
#include <zlib.h>
#endif

namespace discbuilder {
namespace {

constexpr uint32_t kBlockBytes = 16 * 2352;

void set_le(std::vector<uint8_t>& v, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) v[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

// A PARAM.SFO of three text entries: what the console's menu shows.
[[maybe_unused]] std::vector<uint8_t> param_sfo(const std::string& title) {
    const std::pair<const char*, const char*> entries[] = {{"CATEGORY", "ME"}, {"DISC_ID", "SLUS00000"}, {"TITLE", title.c_str()}};
    std::vector<uint8_t> keys, data;
    std::vector<uint8_t> index;
    for (const auto& [key, value] : entries) {
        const size_t key_at = keys.size(), data_at = data.size();
        keys.insert(keys.end(), key, key + std::strlen(key) + 1);
        const uint32_t length = static_cast<uint32_t>(std::strlen(value) + 1), room = (length + 3) / 4 * 4;
        data.insert(data.end(), value, value + length);
        data.resize(data_at + room, 0);
        const uint8_t entry[16] = {static_cast<uint8_t>(key_at), static_cast<uint8_t>(key_at >> 8), 0x04, 0x02,
                                   static_cast<uint8_t>(length), 0, 0, 0, static_cast<uint8_t>(room), 0, 0, 0,
                                   static_cast<uint8_t>(data_at), static_cast<uint8_t>(data_at >> 8), 0, 0};
        index.insert(index.end(), entry, entry + 16);
    }
    keys.resize((keys.size() + 3) / 4 * 4, 0);
    std::vector<uint8_t> sfo(20, 0);
    std::memcpy(sfo.data(), "\0PSF", 4);
    set_le(sfo, 4, 0x0101);
    set_le(sfo, 8, static_cast<uint32_t>(20 + index.size()));
    set_le(sfo, 12, static_cast<uint32_t>(20 + index.size() + keys.size()));
    set_le(sfo, 16, 3);
    sfo.insert(sfo.end(), index.begin(), index.end());
    sfo.insert(sfo.end(), keys.begin(), keys.end());
    sfo.insert(sfo.end(), data.begin(), data.end());
    return sfo;
}

}  // namespace

bool write_pbp(const RawDisc& disc, const std::string& path, std::string& error, const std::string& title) {
#if QUORVEX_HAVE_ZLIB
    const auto sfo = param_sfo(title);
    constexpr uint32_t kPsar = 0x10000;
    std::vector<uint8_t> file(kPsar, 0);
    std::memcpy(file.data(), "\0PBP", 4);
    set_le(file, 4, 0x10000);
    const uint32_t after_sfo = static_cast<uint32_t>(0x28 + sfo.size());
    set_le(file, 8, 0x28);
    for (int part = 1; part < 7; ++part) set_le(file, 8 + 4 * static_cast<size_t>(part), after_sfo);  // no icons, sound or program
    set_le(file, 0x24, kPsar);
    std::memcpy(&file[0x28], sfo.data(), sfo.size());

    // The disc header: signature, game code, table of contents (points A0, A1, A2, then tracks).
    std::vector<uint8_t> psar(0x100000, 0);
    std::memcpy(psar.data(), "PSISOIMG0000", 12);
    std::memcpy(&psar[0x400], "_SLUS_00000", 11);
    uint8_t* toc = &psar[0x800];
    const uint32_t lead_out = disc.sector_count();
    const uint8_t first_control = disc.tracks.front().audio ? 0x01 : 0x41;
    toc[0] = first_control, toc[2] = 0xA0, toc[7] = codecs::to_bcd(disc.tracks.front().number), toc[8] = 0x20;
    toc += 10;
    toc[0] = first_control, toc[2] = 0xA1, toc[7] = codecs::to_bcd(disc.tracks.back().number);
    toc += 10;
    toc[0] = first_control, toc[2] = 0xA2;
    codecs::put_msf(toc + 7, lead_out + codecs::kLeadInFrames);
    toc += 10;
    for (const TrackSpan& t : disc.tracks) {
        toc[0] = t.audio ? 0x01 : 0x41;
        toc[2] = codecs::to_bcd(t.number);
        codecs::put_msf(toc + 7, t.first_lba + codecs::kLeadInFrames);
        toc += 10;
    }

    // The blocks, each padded to sixteen sectors.
    const uint32_t blocks = (lead_out + 15) / 16;
    if (blocks > (0x100000 - 0x4000) / 32) {
        error = path + ": too many sectors for a PBP file's block index";
        return false;
    }
    std::vector<uint8_t> data, block(kBlockBytes), packed(compressBound(kBlockBytes));
    for (uint32_t b = 0; b < blocks; ++b) {
        disc.report(b * 16);
        const size_t from = size_t{b} * kBlockBytes;
        const size_t n = std::min<size_t>(kBlockBytes, disc.sectors.size() - from);
        std::fill(block.begin(), block.end(), uint8_t{0});
        std::memcpy(block.data(), disc.sectors.data() + from, n);
        z_stream z{};
        deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        z.next_in = block.data();
        z.avail_in = kBlockBytes;
        z.next_out = packed.data();
        z.avail_out = static_cast<uInt>(packed.size());
        const bool done = deflate(&z, Z_FINISH) == Z_STREAM_END;
        const auto size = static_cast<uint32_t>(z.total_out);
        deflateEnd(&z);
        const size_t entry = 0x4000 + size_t{b} * 32;
        set_le(psar, entry, static_cast<uint32_t>(data.size()));
        if (done && size < kBlockBytes) {
            set_le(psar, entry + 4, size);
            data.insert(data.end(), packed.begin(), packed.begin() + size);
        } else {
            set_le(psar, entry + 4, kBlockBytes);
            data.insert(data.end(), block.begin(), block.end());
        }
    }
    set_le(psar, 12, static_cast<uint32_t>(0x100000 + data.size()));
    file.insert(file.end(), psar.begin(), psar.end());
    file.insert(file.end(), data.begin(), data.end());
    return write_file(path, file, error);
#else
    (void)disc, (void)title;
    error = path + ": this build cannot write PBP files (it lacks zlib)";
    return false;
#endif
}

}  // namespace discbuilder
