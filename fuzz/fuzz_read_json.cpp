// Fuzzes the report reader on arbitrary bytes: it must return a report or an
// error, never crash; a report it accepts must survive a write and a re-read
// unchanged, and the written text must be a fixed point. The streaming
// reader is also run with chunk edges and run cuts chosen by the input (so
// they fall inside tokens, strings, escapes and UTF-8 sequences): it must
// give the same columns, or the same error, as the reader's own cutting.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "json_stream.h"
#include "zyl_package/report_io.h"

namespace {

// Reads `bytes` as JSON columns on the calling thread with the given cut.
zyl_package::ColumnsResult read_cut(std::string_view bytes, std::size_t chunk,
                                    std::size_t run) {
  zyl_package::detail::JsonStreamOptions options;
  options.chunk_bytes = chunk;
  options.run_bytes = run;
  options.single_thread = true;
  const auto source = zyl_package::detail::memory_source(bytes);
  return zyl_package::detail::read_json_columns(*source, "fuzz.json", {},
                                                nullptr, options);
}

// The same cut-independent outcome from two cuttings of the input.
void check_cuts_agree(std::string_view bytes) {
  if (bytes.empty() || static_cast<unsigned char>(bytes[0]) == 0x89) return;
  const std::size_t seed = static_cast<unsigned char>(bytes.back());
  const zyl_package::ColumnsResult whole = read_cut(bytes, 1 << 20, 1 << 20);
  const zyl_package::ColumnsResult cut =
      read_cut(bytes, 1 + seed % 13, 1 + (seed / 13) % 400);
  FUZZ_CHECK(whole.ok() == cut.ok());
  if (!whole.ok()) {
    if (!(whole.error() == cut.error())) {
      std::fprintf(stderr, "cuts disagree:\n%s\n%s\n",
                   whole.error().to_string().c_str(),
                   cut.error().to_string().c_str());
    }
    FUZZ_CHECK(whole.error() == cut.error());
    return;
  }
  FUZZ_CHECK(zyl_package::to_report(whole.value()) ==
             zyl_package::to_report(cut.value()));
  FUZZ_CHECK(zyl_package::check_columns(whole.value()).ok());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_cuts_agree(bytes);
  const zyl_package::LoadResult loaded =
      zyl_package::parse_report(bytes, "fuzz.json");
  if (!loaded.ok()) {
    // Building the message works out line and column: it must stay in bounds.
    FUZZ_CHECK(!loaded.error().to_string().empty());
    FUZZ_CHECK(!loaded.error().message.empty());
    return 0;
  }
  std::ostringstream written;
  FUZZ_CHECK(zyl_package::write_report_json(loaded.value(), written).ok());
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
  FUZZ_CHECK(zyl_package::write_report_json(reread.value(), rewritten).ok());
  FUZZ_CHECK(rewritten.str() == text);
  return 0;
}
