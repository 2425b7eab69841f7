// Tests of the streaming JSON reader: chunk edges anywhere (inside tokens,
// strings, escapes and UTF-8 sequences), runs of any length and any number
// of workers give the same columns and the same faults; the memory budget
// refuses a report before it is read whole.
#include "json_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dictionary.h"
#include "growing_array.h"
#include "package_bytes_test_support.h"
#include "zyl_package/generate.h"
#include "zyl_package/report_io.h"

namespace zyl_package {
namespace {

std::string to_json(const ProfileReport& report) {
  std::ostringstream out;
  EXPECT_TRUE((write_report_json(report, out)).ok());
  return out.str();
}

ColumnsResult read_with(std::string_view text,
                        const detail::JsonStreamOptions& options,
                        const ReadLimits& limits = {}) {
  const auto source = detail::memory_source(text);
  return detail::read_json_columns(*source, "t.json", limits, nullptr, options);
}

// Ways to cut the same text: tiny chunks put an edge inside every token,
// tiny runs send every sample to a worker of its own.
std::vector<detail::JsonStreamOptions> cuttings() {
  std::vector<detail::JsonStreamOptions> all;
  const std::size_t runs[] = {1, 300, 1 << 20};
  std::size_t i = 0;
  for (const std::size_t chunk : {1, 2, 3, 7, 64, 1 << 20}) {
    detail::JsonStreamOptions options;
    options.chunk_bytes = chunk;
    options.run_bytes = runs[i++ % 3];
    options.single_thread = chunk % 2 == 1;
    options.portable_scan = i % 2 == 0;
    options.threads = 3;
    all.push_back(options);
  }
  return all;
}

void expect_same_columns(const ProfileColumns& a, const ProfileColumns& b) {
  const auto same = [](auto x, auto y) {
    return std::equal(x.begin(), x.end(), y.begin(), y.end());
  };
  EXPECT_EQ(a.clock_hz, b.clock_hz);
  EXPECT_TRUE(same(a.tiles, b.tiles));
  for_each_sample_column([&](const auto& column) {
    EXPECT_TRUE(same(a.*column.column, b.*column.column)) << column.name;
  });
  EXPECT_TRUE(same(a.string_offsets, b.string_offsets));
  EXPECT_TRUE(same(a.string_bytes, b.string_bytes));
  EXPECT_TRUE(same(a.list_offsets, b.list_offsets));
  EXPECT_TRUE(same(a.list_entries, b.list_entries));
}

TEST(JsonStream, EveryCuttingGivesTheColumnsOfTheRecords) {
  std::vector<ProfileReport> reports = {
      testing::awkward_report(), generate_report(options_for_total(3000, 7))};
  // Text that needs escapes and multi-byte sequences at every position.
  reports[0].tiles[1].samples[0].step.operation =
      "tab\there \"quoted\" \\ \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 \x01";
  for (const ProfileReport& report : reports) {
    const ProfileColumns expected = to_columns(report);
    const std::string json = "\xEF\xBB\xBF" + to_json(report);
    for (const auto& options : cuttings()) {
      SCOPED_TRACE(::testing::Message() << "chunk " << options.chunk_bytes
                                        << " run " << options.run_bytes);
      const ColumnsResult read = read_with(json, options);
      ASSERT_TRUE(read.ok()) << read.error().to_string();
      expect_same_columns(read.value(), expected);
      EXPECT_TRUE(check_columns(read.value()).ok());
    }
  }
}

TEST(JsonStream, KeysInAnyOrderAndWhitespaceEverywhere) {
  const std::string json =
      " {\n \"tiles\" : [ { \"samples\" : [ { \"step\" : { \"metadata\" : [ "
      "{ \"value\" : \"v\" , \"name\" : \"n\" } ] , \"kind\" : \"idle\" , "
      "\"operation\" : \"o\\u00e9\" , \"phase\" : 7 } , \"end_cycle\" : 5 , "
      "\"start_cycle\" : 4 } ] , \"physical_tile\" : 9 } , { "
      "\"physical_tile\" : 2 , \"samples\" : [ ] } ] , \"version\" : 1 , "
      "\"clock_hz\" : 0 , \"format\" : \"zyl-profile-report\" } \n";
  for (const auto& options : cuttings()) {
    const ColumnsResult read = read_with(json, options);
    ASSERT_TRUE(read.ok()) << read.error().to_string();
    const ProfileReport report = to_report(read.value());
    ASSERT_EQ(report.tiles.size(), 2U);
    EXPECT_EQ(report.tiles[0].physical_tile, 9U);
    EXPECT_EQ(report.tiles[1].physical_tile, 2U);
    ASSERT_EQ(report.tiles[0].samples.size(), 1U);
    EXPECT_EQ(report.tiles[0].samples[0].step.operation, "o\xC3\xA9");
    EXPECT_EQ(report.tiles[0].samples[0].step.metadata[0].name, "n");
  }
}

// A fault is the first one in the text, wherever the chunks and runs were
// cut and however many workers read them.
TEST(JsonStream, FaultsDoNotDependOnTheCutting) {
  const std::string json = to_json(testing::awkward_report());
  std::vector<std::string> broken;
  for (std::size_t at = 0; at < json.size(); at += 5) {
    for (const char byte : {'\xFF', '"', '}', ',', '\x01', 'x'}) {
      std::string text = json;
      text[at] = byte;
      broken.push_back(text);
    }
    broken.push_back(json.substr(0, at));
  }
  // Two faults: a wrong value in one sample, invalid UTF-8 in a later one.
  std::string two = json;
  two.replace(two.find("\"epoch\":1"), 9, "\"epoch\":x");
  two[two.rfind("fwd")] = '\xC0';
  broken.push_back(two);
  // A bad value, then the input cut short in a later sample of the same
  // run: the end of the input must not hide the earlier fault.
  std::string bad_then_cut = json;
  bad_then_cut.replace(bad_then_cut.find("\"epoch\":1"), 9, "\"epoch\":x");
  for (std::size_t cut = 20; cut < 400; cut += 37) {
    broken.push_back(bad_then_cut.substr(0, bad_then_cut.size() - cut));
  }
  // A sample whose walk fails on a bad token, followed in the same run by a
  // sample with a structural fault: simdjson's verdict on the first must
  // not depend on the second being in its run.
  broken.push_back(
      R"({"clock_hz":1,"tiles":[{"physical_tile":0,"samples":[)"
      R"({"start_cycle":1,"end_cycle":2,"step":{"phase":1,":e"hsap5}},)"
      R"({"start_cycle":1,"end_cycle":2,"step":{"phase":7,"m":[{"a":[1}]}}]}]})");
  const std::vector<detail::JsonStreamOptions> all = cuttings();
  for (const std::string& text : broken) {
    const ColumnsResult reference = read_with(text, all.back());
    for (const auto& options : all) {
      const ColumnsResult read = read_with(text, options);
      ASSERT_EQ(read.ok(), reference.ok()) << text;
      if (!read.ok()) {
        ASSERT_EQ(read.error(), reference.error())
            << text << "\n"
            << read.error().to_string() << "\n"
            << reference.error().to_string() << "\nchunk "
            << options.chunk_bytes << " run " << options.run_bytes;
      }
    }
  }
  const ColumnsResult first = read_with(two, all.front());
  ASSERT_FALSE(first.ok());
  EXPECT_NE(first.error().message.find("expected an integer"),
            std::string::npos)
      << first.error().to_string();
}

TEST(JsonStream, ReportsThatWouldNotFitTheMemoryAreRefused) {
  const std::string json = to_json(generate_report(options_for_total(20000)));
  ReadLimits limits;
  limits.max_memory_bytes = 100000;  // columns of 3,000 samples
  detail::JsonStreamOptions options;
  options.chunk_bytes = 4096;
  options.run_bytes = 4096;
  const ColumnsResult late = read_with(json, options, limits);
  ASSERT_FALSE(late.ok());
  EXPECT_NE(late.error().message.find("memory"), std::string::npos)
      << late.error().to_string();

  // Judged early from the first bytes read, long before the columns grow
  // past the budget.
  limits.max_memory_bytes = 400000;
  options.estimate_after_bytes = 65536;
  const ColumnsResult early = read_with(json, options, limits);
  ASSERT_FALSE(early.ok());
  EXPECT_NE(early.error().message.find("would need about"), std::string::npos)
      << early.error().to_string();

  limits.max_memory_bytes = 0;  // what the machine has
  EXPECT_TRUE(read_with(json, options, limits).ok());
}

// A file is mapped a chunk at a time from page boundaries: chunk sizes that
// fall on, just before and just after a page must read the same.
TEST(JsonStream, MappedFileChunksGiveTheSameColumnsAndPlaces) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("zyl_stream_test_" + std::to_string(::getpid()) + ".json");
  const ProfileReport report = generate_report(options_for_total(3000, 5));
  const std::string json = "\xEF\xBB\xBF" + to_json(report);
  std::string bad = json;
  bad.replace(bad.rfind("\"phase\":"), 8, "\"phase\":-");
  const ColumnsResult bad_in_memory = read_with(bad, {});
  ASSERT_FALSE(bad_in_memory.ok());
  for (const std::string& text : {json, bad}) {
    std::ofstream(path, std::ios::binary) << text;
    for (const std::size_t chunk : {1, 4095, 4096, 4097, 10000, 1 << 20}) {
      SCOPED_TRACE(chunk);
      detail::JsonStreamOptions options;
      options.chunk_bytes = chunk;
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      const auto source = detail::file_source(fd, text.size());
      const ColumnsResult read =
          detail::read_json_columns(*source, "t.json", {}, nullptr, options);
      if (text == json) {
        ASSERT_TRUE(read.ok()) << read.error().to_string();
        expect_same_columns(read.value(), to_columns(report));
      } else {
        ASSERT_FALSE(read.ok());
        // Line and column come from reading the file again.
        EXPECT_EQ(read.error(), bad_in_memory.error());
        EXPECT_GT(read.error().line, 1U);
      }
    }
  }
  std::filesystem::remove(path);
}

TEST(Dictionary, IdsFollowFirstUseAcrossTableGrowth) {
  detail::Dictionary dictionary;
  for (std::uint32_t i = 0; i < 5000; ++i) {
    ASSERT_EQ(dictionary.string_id("s" + std::to_string(i)), i);
  }
  ASSERT_EQ(dictionary.string_id(""), 5000U);
  for (std::uint32_t i = 0; i < 5000; i += 7) {
    EXPECT_EQ(dictionary.string_id("s" + std::to_string(i)), i);
    EXPECT_EQ(dictionary.string(i), "s" + std::to_string(i));
  }
  // Lists: equal content is one list, whatever its length (empty too), and
  // a list is not its prefix or its reordering.
  std::vector<MetadataPair> pairs;
  for (std::uint32_t i = 0; i < 3000; ++i) {
    ASSERT_EQ(dictionary.list_id(pairs), i);
    pairs.push_back({i % 5000, (i * 7) % 5000});
  }
  pairs.clear();
  EXPECT_EQ(dictionary.list_id(pairs), 0U);
  const std::vector<MetadataPair> ab = {{1, 2}, {3, 4}};
  const std::vector<MetadataPair> ba = {{3, 4}, {1, 2}};
  const std::uint32_t first = dictionary.list_id(ab);
  EXPECT_NE(dictionary.list_id(ba), first);
  EXPECT_EQ(dictionary.list_id(ab), first);
  EXPECT_TRUE(std::equal(ab.begin(), ab.end(), dictionary.list(first).begin(),
                         dictionary.list(first).end()));
}

TEST(GrowingArray, KeepsEveryElementAcrossGrowth) {
  detail::GrowingArray<std::uint32_t> values;
  std::uint32_t next = 0;
  for (std::size_t step = 1; values.size() < 3'000'000; step = step * 3 + 1) {
    std::uint32_t* out = values.extend(step % 100'000 + 1);
    ASSERT_NE(out, nullptr);
    const std::size_t count = step % 100'000 + 1;
    for (std::size_t i = 0; i < count; ++i) out[i] = next++;
  }
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(values.data()[i], i);
  }
  EXPECT_EQ(values.extend(0), nullptr);
}

}  // namespace
}  // namespace zyl_package
