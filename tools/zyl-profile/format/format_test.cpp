// The formatting layer: JSON layouts and escaping, CSV quoting, terminal
// escaping and display widths, and tables fitted to a width.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "format/csv.h"
#include "format/json_writer.h"
#include "format/sample_fields.h"
#include "format/text.h"
#include "format/text_table.h"

namespace zyl_profile::cli {
namespace {

std::string json_string(std::string_view text) {
  std::string out;
  append_json_string(text, out);
  return out;
}

TEST(JsonWriter, PlacesPunctuationForEachLayout) {
  const auto write = [](JsonLayout outer, JsonLayout inner) {
    std::string out;
    JsonWriter json(out);
    json.begin_object(outer).field("a", 1).key("b").begin_array(inner);
    json.string("x").real(0.5).end();
    json.key("c").begin_object(inner).end();
    json.field("d", true).key("e").null().end();
    return out;
  };
  EXPECT_EQ(write(JsonLayout::Compact, JsonLayout::Compact),
            R"({"a":1,"b":["x",0.5],"c":{},"d":true,"e":null})");
  EXPECT_EQ(write(JsonLayout::Block, JsonLayout::Inline),
            "{\n  \"a\": 1,\n  \"b\": [ \"x\", 0.5 ],\n  \"c\": {},\n"
            "  \"d\": true,\n  \"e\": null\n}");
  EXPECT_EQ(write(JsonLayout::Lines, JsonLayout::Compact),
            "{\n\"a\":1,\n\"b\":[\"x\",0.5],\n\"c\":{},\n\"d\":true,\n"
            "\"e\":null\n}");
  std::string nested;
  JsonWriter json(nested);
  json.begin_array(JsonLayout::Block).begin_object(JsonLayout::Block);
  json.field("k", "v").end().end();
  EXPECT_EQ(nested, "[\n  {\n    \"k\": \"v\"\n  }\n]");
}

TEST(JsonWriter, KeepsAnyInputValidJson) {
  EXPECT_EQ(json_string("a\"b\\c\n\t\x01\x1f\x7f"),
            "\"a\\\"b\\\\c\\n\\t\\u0001\\u001f\x7f\"");
  EXPECT_EQ(json_string("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
            "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"");
  // Invalid UTF-8: a lone continuation, an overlong '/', a surrogate, a cut
  // sequence at the end.
  EXPECT_EQ(json_string("\x80|\xc0\xaf|\xed\xa0\x80|\xe2\x82"),
            "\"\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd|\\ufffd\\ufffd\"");
}

TEST(JsonWriter, NumbersAreExactAndNeverNegativeZeroOrNonFinite) {
  EXPECT_EQ(shortest_double(1.0 / 3.0 * 4e-05), "1.3333333333333333e-05");
  EXPECT_EQ(shortest_double(-0.0), "0");
  EXPECT_EQ(shortest_double(0.1), "0.1");
  EXPECT_EQ(shortest_double(1e300 * 1e300), "0");
  EXPECT_EQ(shortest_double(std::numeric_limits<double>::quiet_NaN()), "0");
  std::string out;
  append_end_offset(18446744073709551615ULL, 4294967295U, out);
  EXPECT_EQ(out, "18446744078004518910");
  out.clear();
  append_end_offset(7, 3, out);
  EXPECT_EQ(out, "10");
}

TEST(Csv, QuotesOnlyWhatNeedsItAndEveryEmptyField) {
  std::string out;
  CsvRow(out)
      .text("plain")
      .text("a,b")
      .text("say \"hi\"")
      .text("line\nbreak")
      .text("")
      .number(42)
      .real(2.5)
      .end();
  EXPECT_EQ(out,
            "plain,\"a,b\",\"say \"\"hi\"\"\",\"line\nbreak\",\"\",42,2.5\r\n");
}

TEST(Text, TerminalEscapeNeverPassesControlsOrEscapeSequences) {
  EXPECT_EQ(terminal_escape("\x1b[31mred\x1b[0m"), "\\x1b[31mred\\x1b[0m");
  EXPECT_EQ(terminal_escape("a\nb\tc\rd\x07\x7f\\"),
            "a\\nb\\tc\\rd\\x07\\x7f\\\\");
  EXPECT_EQ(terminal_escape("\xc2\x9b"
                            "2J"),
            "\\u{009b}2J");  // C1 CSI
  EXPECT_EQ(terminal_escape("abc\xe2\x80\xae"
                            "fed"),
            "abc\\u{202e}fed");
  EXPECT_EQ(terminal_escape("\xff\xc3"), "\\xff\\xc3");
  EXPECT_EQ(terminal_escape("caf\xc3\xa9"), "caf\xc3\xa9");
}

TEST(Text, DisplayWidthCountsColumnsNotBytes) {
  EXPECT_EQ(display_width("a\xc3\xb1"
                          "adir_\xc3\xbc"),
            8U);                                             // añadir_ü
  EXPECT_EQ(display_width("e\xcc\x81"), 1U);                 // e + acute
  EXPECT_EQ(display_width("\xe8\xa1\x8c\xe5\x88\x97"), 4U);  // two CJK
  EXPECT_EQ(display_width("\xf0\x9f\x98\x80"), 2U);          // emoji
  EXPECT_EQ(prefix_of_width("\xe8\xa1\x8c\xe5\x88\x97", 3),  // no half CJK
            "\xe8\xa1\x8c");
}

TEST(Text, NumbersForPeople) {
  EXPECT_EQ(with_separators(0), "0");
  EXPECT_EQ(with_separators(999), "999");
  EXPECT_EQ(with_separators(1234567), "1,234,567");
  EXPECT_EQ(fixed(1234.5678, 2), "1,234.57");
  EXPECT_EQ(fixed(-0.0001, 2), "0.00");
}

TEST(TextTable, AlignsByDisplayWidth) {
  TextTable table;
  table.column("name", Align::Left);
  table.column("cycles", Align::Right);
  table.row(
      {"a\xc3\xb1"
       "adir_\xc3\xbc",
       "5"});
  table.row({"mul", "1,000"});
  std::string out;
  EXPECT_EQ(table.append_to(out), 0U);
  EXPECT_EQ(out,
            "name      cycles\n"
            "a\xc3\xb1"
            "adir_\xc3\xbc       5\n"
            "mul        1,000\n");
}

TEST(TextTable, FitsAWidthByDroppingRanksThenCuttingText) {
  TextTable table;
  table.column("name", Align::Left);
  table.column("keep", Align::Right);
  table.column("spare", Align::Right, 2);
  table.column("extra", Align::Right, 1);
  table.row({std::string(40, 'n'), "1", "2", "3"});
  std::string out;
  EXPECT_EQ(table.append_to(out, 54), 1U);  // "spare" goes first
  EXPECT_EQ(out.find("spare"), std::string::npos);
  EXPECT_NE(out.find("extra"), std::string::npos);
  out.clear();
  EXPECT_EQ(table.append_to(out, 30), 2U);
  for (std::size_t start = 0; start < out.size();) {
    const std::size_t end = out.find('\n', start);
    EXPECT_LE(display_width(out.substr(start, end - start)), 30U) << out;
    start = end + 1;
  }
  EXPECT_NE(out.find("\xe2\x80\xa6"), std::string::npos) << out;  // …
}

struct Entry {
  std::string name;
  std::string value;
};

TEST(SampleFields, MetadataKeepsRepeatedNamesInOrder) {
  const std::vector<Entry> entries{{"block", "1"}, {"block", ""}, {"l", "\""}};
  std::string out;
  JsonWriter json(out);
  append_metadata_json(entries, json, JsonLayout::Compact);
  EXPECT_EQ(out, R"([{"name":"block","value":"1"},{"name":"block","value":""},)"
                 R"({"name":"l","value":"\""}])");
  EXPECT_EQ(metadata_text(entries), "block=1, block=, l=\"");
}

}  // namespace
}  // namespace zyl_profile::cli
