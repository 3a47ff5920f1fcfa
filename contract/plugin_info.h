// What PsrQueryPlugin writes: each plug-in's constants, copied with their terminating NUL and
// nothing else. Interface-220 plug-ins leave every byte from offset 136 as the host left it.
#pragma once

#include <cstdint>
#include <cstring>

#include "plugin_records.h"

namespace psr {

enum class HomeUrl : uint8_t { kNone, kShort, kLong };

inline constexpr char kLibraryName[] = "Quorvex Library";
inline constexpr char kHomeUrlShort[] = "http://plugins.quorvex.example.org/psr/";
inline constexpr char kHomeUrlLong[] = "http://plugins.quorvex.example.org/psr/index.html";
static_assert(sizeof kHomeUrlShort == 40 && sizeof kHomeUrlLong == 50);

struct PluginIdentity {
    const char* name;
    const char* copyright;
    uint16_t plugin_version;
    uint16_t extra_version;
    uint16_t interface_version;
    HomeUrl home_url;
};

template <size_t N>
void copy_text(char (&field)[N], const char* text) {
    const size_t length = std::strlen(text) + 1;
    std::memcpy(field, text, length <= N ? length : N);
}

inline void fill_plugin_info(PluginInfo* info, const PluginIdentity& id) {
    if (info == nullptr) return;
    copy_text(info->name, id.name);
    copy_text(info->copyright, id.copyright);
    info->plugin_version = id.plugin_version;
    info->extra_version = id.extra_version;
    info->interface_version = id.interface_version;
    if (id.home_url == HomeUrl::kNone) return;
    copy_text(info->library, kLibraryName);
    copy_text(info->home_url, id.home_url == HomeUrl::kLong ? kHomeUrlLong : kHomeUrlShort);
}

}  // namespace psr
