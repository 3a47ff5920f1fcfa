// Images with subchannel data: CloneCD sets (a control file, the sectors in .img, 96 bytes of
// subchannel a sector in .sub, channel by channel) and raw images of 2448-byte sectors (each
// sector followed by its 96 subchannel bytes, interleaved bit by bit as a drive delivers them).
// The P channel marks pregaps; Q carries each sector's track, index and times.
#include <cstdio>
#include <cstring>

#include "../codecs/byte_order.h"
#include "image_writers.h"
#include "sector_codec.h"

namespace discbuilder {
namespace {

// CRC-16/CCITT of a Q subchannel frame, stored inverted.
uint16_t q_crc(const uint8_t* q) {
    uint16_t crc = 0;
    for (int i = 0; i < 10; ++i) {
        crc = static_cast<uint16_t>(crc ^ (q[i] << 8));
        for (int k = 0; k < 8; ++k) crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return static_cast<uint16_t>(~crc);
}

// The P and Q channels of `lba`: twelve bytes each.
void channels(const RawDisc& disc, uint32_t lba, uint8_t* p, uint8_t* q) {
    const TrackSpan* track = &disc.tracks.front();
    for (const TrackSpan& t : disc.tracks) {
        if (lba + t.pregap >= t.first_lba) track = &t;
    }
    const bool in_pregap = lba < track->first_lba;
    std::memset(p, in_pregap ? 0xFF : 0x00, 12);
    q[0] = static_cast<uint8_t>((track->audio ? 0x00 : 0x40) | 0x01);
    q[1] = codecs::to_bcd(track->number);
    q[2] = in_pregap ? 0 : 1;
    codecs::put_msf(q + 3, in_pregap ? track->first_lba - lba : lba - track->first_lba);
    q[6] = 0;
    codecs::put_msf(q + 7, lba + codecs::kLeadInFrames);
    const uint16_t crc = q_crc(q);
    q[10] = static_cast<uint8_t>(crc >> 8);
    q[11] = static_cast<uint8_t>(crc);
}

std::string with_extension(const std::string& path, const char* extension) {
    const size_t dot = path.find_last_of('.'), slash = path.find_last_of("/\\");
    const bool has = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (has ? path.substr(0, dot) : path) + extension;
}

}  // namespace

bool write_with_subchannel(const RawDisc& disc, const std::string& path, std::string& error) {
    std::vector<uint8_t> out(size_t{disc.sector_count()} * 2448, 0);
    for (uint32_t lba = 0; lba < disc.sector_count(); ++lba) {
        uint8_t* frame = &out[size_t{lba} * 2448];
        std::memcpy(frame, disc.sector(lba), 2352);
        uint8_t p[12], q[12];
        channels(disc, lba, p, q);
        for (int bit = 0; bit < 96; ++bit) {
            const int mask = 0x80 >> (bit % 8);
            frame[2352 + bit] = static_cast<uint8_t>(((p[bit / 8] & mask) ? 0x80 : 0) | ((q[bit / 8] & mask) ? 0x40 : 0));
        }
    }
    return write_file(path, out, error);
}

bool write_clonecd(const RawDisc& disc, const std::string& ccd_path, std::string& error) {
    std::vector<uint8_t> sub(size_t{disc.sector_count()} * 96, 0);
    for (uint32_t lba = 0; lba < disc.sector_count(); ++lba) channels(disc, lba, &sub[size_t{lba} * 96], &sub[size_t{lba} * 96 + 12]);
    if (!write_file(with_extension(ccd_path, ".img"), disc.sectors, error) ||
        !write_file(with_extension(ccd_path, ".sub"), sub, error)) {
        return false;
    }

    std::string ccd = "[CloneCD]\r\nVersion=3\r\n[Disc]\r\nTocEntries=" + std::to_string(disc.tracks.size() + 3) +
                      "\r\nSessions=1\r\nDataTracksScrambled=0\r\nCDTextLength=0\r\n[Session 1]\r\nPreGapMode=2\r\nPreGapSubC=0\r\n";
    auto entry = [&](size_t n, int point, int control, uint32_t pmin, uint32_t psec, uint32_t pframe) {
        const long plba = static_cast<long>((pmin * 60 + psec) * 75 + pframe) - 150;
        ccd += "[Entry " + std::to_string(n) + "]\r\nSession=1\r\nPoint=0x" + (point < 16 ? "0" : "") +
               [&] { char h[8]; std::snprintf(h, sizeof h, "%x", point); return std::string(h); }() +
               "\r\nADR=0x01\r\nControl=0x0" + std::to_string(control) +
               "\r\nTrackNo=0\r\nAMin=0\r\nASec=0\r\nAFrame=0\r\nALBA=-150\r\nZero=0\r\nPMin=" + std::to_string(pmin) +
               "\r\nPSec=" + std::to_string(psec) + "\r\nPFrame=" + std::to_string(pframe) + "\r\nPLBA=" +
               std::to_string(plba) + "\r\n";
    };
    const int first_control = disc.tracks.front().audio ? 0 : 4;
    const uint32_t lead_out = disc.sector_count() + codecs::kLeadInFrames;
    entry(0, 0xA0, first_control, disc.tracks.front().number, 0x20, 0);
    entry(1, 0xA1, first_control, disc.tracks.back().number, 0, 0);
    entry(2, 0xA2, first_control, lead_out / 4500, lead_out / 75 % 60, lead_out % 75);
    for (size_t i = 0; i < disc.tracks.size(); ++i) {
        const TrackSpan& t = disc.tracks[i];
        const uint32_t at = t.first_lba + codecs::kLeadInFrames;
        entry(3 + i, t.number, t.audio ? 0 : 4, at / 4500, at / 75 % 60, at % 75);
    }
    for (const TrackSpan& t : disc.tracks) {
        ccd += "[TRACK " + std::to_string(t.number) + "]\r\nMODE=" + (t.audio ? "0" : "2") + "\r\n";
        if (t.pregap) ccd += "INDEX 0=" + std::to_string(t.first_lba - t.pregap) + "\r\n";
        ccd += "INDEX 1=" + std::to_string(t.first_lba) + "\r\n";
    }
    return write_file(ccd_path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(ccd.data()), ccd.size()), error);
}

}  // namespace discbuilder
