// Fuzzes the report reader on arbitrary bytes: it must return a report or an
// error, never crash; a report it accepts must survive a write and a re-read
// unchanged, and the written text must be a fixed point.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "zyl_package/report_io.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const zyl_package::LoadResult loaded =
      zyl_package::parse_report(bytes, "fuzz.json");
  if (!loaded.ok()) {
    // Building the message works out line and column: it must stay in bounds.
    FUZZ_CHECK(!loaded.error().to_string().empty());
    FUZZ_CHECK(!loaded.error().message.empty());
    return 0;
  }
  std::ostringstream written;
  zyl_package::write_report_json(loaded.value(), written);
  FUZZ_CHECK(written.good());
  const std::string text = written.str();
  const zyl_package::LoadResult reread = zyl_package::parse_report(text);
  if (!reread.ok()) {
    std::fprintf(stderr, "re-read failed: %s\n",
                 reread.error().to_string().c_str());
  }
  FUZZ_CHECK(reread.ok());
  FUZZ_CHECK(reread.value() == loaded.value());
  std::ostringstream rewritten;
  zyl_package::write_report_json(reread.value(), rewritten);
  FUZZ_CHECK(rewritten.str() == text);
  return 0;
}
