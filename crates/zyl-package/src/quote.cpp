// The public quoting of message text, over the reader's own helpers.
#include "zyl_package/quote.h"

#include "quote.h"

namespace zyl_package {

std::string quoted_text(std::string_view text, char quote,
                        std::size_t max_bytes) {
  return detail::quoted_text(text, quote, max_bytes);
}

}  // namespace zyl_package
