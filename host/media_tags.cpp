#include "json_out.h"
#include "media_module.h"

namespace quorvex {

MediaTags media_tags(const StreamContext& context) {
    const PluginFile& plugin = *context.request.plugin;
    MediaTags tags;
    tags.comment = kQuorvexCommentPrefix + plugin.stem + " stream from " +
                   valid_utf8(std::filesystem::path(context.request.image).filename().string()) + ", read by the " +
                   valid_utf8(plugin.name()) + " plug-in";
    tags.title = context.name;
    tags.album = valid_utf8(context.album);
    if (context.number) tags.track = std::to_string(*context.number);
    return tags;
}

}  // namespace quorvex
