// The viewer's page, style and script.
#pragma once

namespace quorvex::viewer {

extern const char kIndexHtml[];
extern const char kStyleCss[];
extern const char kAppJs[];

}  // namespace quorvex::viewer
