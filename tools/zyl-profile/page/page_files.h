// The page's source files (page.html, page.css, page.js beside this
// header), compiled into the tool by embed.cmake so a page is written
// without reading anything but the report.
#pragma once

#include <string_view>

namespace zyl_profile::cli {

// The page's HTML, with the markers @TITLE@, @STYLE@, @SCRIPT@ and @DATA@
// where render_page puts the title, page.css, page.js and the data.
[[nodiscard]] std::string_view page_html();
[[nodiscard]] std::string_view page_css();
[[nodiscard]] std::string_view page_js();

}  // namespace zyl_profile::cli
