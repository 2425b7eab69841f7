// Tests of reading and writing whole files as columns: every stored form
// reads back equal, and damaged or unreadable files give an error that says
// where, never a crash.
#include <gtest/gtest.h>
#include <sys/stat.h>  // mkfifo
#include <unistd.h>    // getpid
#include <xxhash.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "package_bytes_test_support.h"
#include "zyl_package/generate.h"
#include "zyl_package/profile_columns.h"
#include "zyl_package/report_io.h"
#include "zyl_package/report_package.h"

namespace zyl_package {
namespace {

using namespace testing;  // NOLINT: the byte helpers of the package tests

class ReadColumns : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("zyl_read_columns_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::filesystem::path file(const std::string& name,
                             const std::string& bytes) const {
    const auto path = folder_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::filesystem::path folder_;
};

std::string error_of(const ColumnsResult& result) {
  return result.ok() ? "(loaded)" : result.error().to_string();
}

TEST_F(ReadColumns, EveryStoredFormReadsBackEqual) {
  const ProfileReport report = generate_report(options_for_total(40000, 70));
  std::ostringstream json;
  EXPECT_TRUE((write_report_json(report, json)).ok());
  struct Form {
    const char* name;
    std::string bytes;
  };
  const std::vector<Form> forms = {
      {"v2.zpk", encode(report, false, 2)},
      {"v2z.zpk", encode(report, true, 2)},
      {"v1.zpk", encode(report, false, 1)},
      {"v1z.zpk", encode(report, true, 1)},
      {"report.json", json.str()},
      // The form comes from the bytes, never from the name.
      {"package.json", encode(report, false, 2)},
  };
  for (const Form& form : forms) {
    SCOPED_TRACE(form.name);
    const ColumnsResult from_file = read_columns(file(form.name, form.bytes));
    ASSERT_TRUE(from_file.ok()) << from_file.error().to_string();
    EXPECT_TRUE(to_report(from_file.value()) == report);
    const ColumnsResult from_bytes = parse_columns(form.bytes, form.name);
    ASSERT_TRUE(from_bytes.ok()) << from_bytes.error().to_string();
    EXPECT_TRUE(to_report(from_bytes.value()) == report);
    const LoadResult records = read_report(folder_ / form.name);
    ASSERT_TRUE(records.ok()) << records.error().to_string();
    EXPECT_TRUE(records.value() == report);
  }
}

TEST_F(ReadColumns, ColumnsOutliveTheirFileAndBytes) {
  const ProfileReport report = generate_report(options_for_total(2000, 8));
  std::string bytes = encode(report, false, 2);
  const auto path = file("gone.zpk", bytes);
  ColumnsResult mapped = read_columns(path);
  ColumnsResult copied = parse_columns(bytes);
  std::filesystem::remove(path);
  bytes.assign(bytes.size(), '\0');
  ASSERT_TRUE(mapped.ok() && copied.ok());
  const ProfileColumns kept = mapped.value();  // shares the mapping
  mapped = LoadError{};
  EXPECT_TRUE(to_report(kept) == report);
  EXPECT_TRUE(to_report(copied.value()) == report);
}

TEST_F(ReadColumns, WriteColumnsWritesEveryFormAtomically) {
  const ProfileReport report = generate_report(options_for_total(3000, 16));
  const ProfileColumns columns = to_columns(report);
  for (const std::uint32_t version : {1U, 2U}) {
    for (const bool compress : {false, true}) {
      PackageWriteOptions options;
      options.version = version;
      options.compress = compress;
      // Version 2 writes a shard too: the block after the sections must come
      // out the same from both writers.
      if (version == 2) options.shard = sample_identity(compress ? 0 : 4, 5);
      SCOPED_TRACE(std::to_string(version) + (compress ? " compressed" : ""));
      const auto path = folder_ / "out.zpk";
      const auto failed =
          write_columns(columns, path, ReportFormat::Package, options);
      ASSERT_TRUE(failed.ok()) << failed.error().to_string();
      std::string in_memory;
      ASSERT_TRUE((encode_columns_package(columns, in_memory, options)).ok());
      std::ifstream stream(path, std::ios::binary);
      const std::string on_disk{std::istreambuf_iterator<char>(stream), {}};
      EXPECT_TRUE(on_disk == in_memory);
      const ColumnsResult back = read_columns(path);
      ASSERT_TRUE(back.ok()) << back.error().to_string();
      EXPECT_TRUE(to_report(back.value()) == report);
      EXPECT_EQ(back.value().shard, options.shard);
    }
  }
  const auto json = folder_ / "out.json";
  ASSERT_TRUE(write_columns(columns, json, ReportFormat::Json).ok());
  const LoadResult back = read_report(json);
  ASSERT_TRUE(back.ok()) << back.error().to_string();
  EXPECT_TRUE(back.value() == report);

  // Invalid columns are refused, and an earlier file stays as it was.
  ColumnBuffers broken;
  broken.start_cycle = {1};
  const auto refused =
      write_columns(columns_from(0, broken), json, ReportFormat::Package);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(
      refused.error().message.find("invalid columns: column end_cycle holds 0"),
      std::string::npos)
      << refused.error().to_string();
  EXPECT_TRUE(read_report(json).ok());
  PackageWriteOptions old_shard;
  old_shard.version = 1;
  old_shard.shard = sample_identity();
  const auto shard_refused =
      write_columns(columns, json, ReportFormat::Package, old_shard);
  ASSERT_FALSE(shard_refused.ok());
  EXPECT_EQ(
      shard_refused.error(),
      (WriteError{json.string(), "a shard identity needs package version 2"}));
  EXPECT_TRUE(read_report(json).ok());
  PackageWriteOptions bad_version;
  bad_version.version = 3;
  std::string out;
  const Written refused_version =
      encode_columns_package(columns, out, bad_version);
  ASSERT_FALSE(refused_version.ok());
  EXPECT_EQ(
      refused_version.error(),
      (WriteError{
          {}, "package version 3 cannot be written (versions 1 and 2 can)"}));
}

TEST_F(ReadColumns, UnreadableFilesGiveClearErrors) {
  struct Row {
    std::filesystem::path path;
    const char* expected;
  };
  const std::vector<Row> rows = {
      {folder_, "cannot read: is a directory"},
      {folder_ / "missing.zpk", "cannot read: No such file or directory"},
      {file("empty.zpk", ""), "empty.zpk:1:1: empty input"},
      {file("short.zpk", "\x89ZPK\r"),
       "byte 5: truncated header: the file has 5 bytes"},
      {file("magic.zpk", std::string("\x89ZQK") + std::string(700, '\0')),
       "byte 0: not a profile package: bad magic bytes"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    const std::string error = error_of(read_columns(row.path));
    EXPECT_NE(error.find(row.expected), std::string::npos) << error;
  }
  ReadLimits limits;
  limits.max_file_bytes = 100;
  const std::string big = encode(ProfileReport{}, false, 2);
  const std::string error =
      error_of(read_columns(file("big.zpk", big), limits));
  EXPECT_NE(error.find("more than the 100-byte limit"), std::string::npos)
      << error;
}

// What memory a read would need is checked against the budget before the
// memory is taken: the columns of a JSON report, the decoded sections of a
// compressed package, the records of either.
TEST_F(ReadColumns, ReadsOverTheMemoryBudgetAreRefused) {
  const ProfileReport report = generate_report(options_for_total(20000, 9));
  std::ostringstream json;
  EXPECT_TRUE((write_report_json(report, json)).ok());
  const auto json_path = file("r.json", json.str());
  const auto package_path = file("z.zpk", encode(report, true, 2));
  ReadLimits limits;
  limits.max_memory_bytes = 50000;  // the columns need about 660 KB
  EXPECT_NE(error_of(read_columns(json_path, limits)).find("memory allowed"),
            std::string::npos);
  EXPECT_NE(error_of(read_columns(package_path, limits))
                .find("bytes in memory, more than the 50000 bytes available"),
            std::string::npos)
      << error_of(read_columns(package_path, limits));
  limits.max_memory_bytes = 2'000'000;  // columns fit, records do not
  EXPECT_TRUE(read_columns(json_path, limits).ok());
  const LoadResult records = read_report(json_path, limits);
  ASSERT_FALSE(records.ok());
  EXPECT_NE(records.error().message.find("records would need"),
            std::string::npos)
      << records.error().to_string();
  EXPECT_TRUE(read_report(json_path).ok());
}

// A pipe is read whole (its first bytes decide the form), a file as a
// stream; both give the same columns, and the read's progress reaches the
// file's size. Only the read of the columns opens the pipe.
TEST_F(ReadColumns, PipesAndProgress) {
  const ProfileReport report = generate_report(options_for_total(3000, 4));
  std::ostringstream json;
  EXPECT_TRUE((write_report_json(report, json)).ok());
  const std::string text = json.str();
  const auto path = file("r.json", text);
  ReadProgress progress;
  const ColumnsResult from_file = read_columns(path, {}, &progress);
  ASSERT_TRUE(from_file.ok()) << error_of(from_file);
  EXPECT_EQ(progress.total.load(), text.size());
  EXPECT_EQ(progress.done.load(), text.size());
  EXPECT_EQ(to_report(from_file.value()), report);

  for (const std::string& bytes : {text, encode(report, false, 2)}) {
    const auto fifo = folder_ / "pipe";
    std::filesystem::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << bytes; });
    // A set's look at every file's header leaves a pipe unopened: opening
    // it would meet the writer and then leave it with no one to write to.
    const Loaded<std::optional<ShardIdentity>> identity =
        read_shard_identity(fifo);
    EXPECT_TRUE(identity.ok() && !identity.value().has_value());
    const ColumnsResult from_pipe = read_columns(fifo);
    writer.join();
    ASSERT_TRUE(from_pipe.ok()) << error_of(from_pipe);
    EXPECT_EQ(to_report(from_pipe.value()), report);
  }
}

TEST_F(ReadColumns, DamagedVersionTwoFilesNameWhere) {
  const std::string valid =
      encode(generate_report(options_for_total(500, 6)), false, 2);
  // Truncated at every 64-byte boundary and a few bytes either side.
  for (std::size_t cut = 0; cut < valid.size(); cut += 61) {
    SCOPED_TRACE(cut);
    const std::string error =
        error_of(read_columns(file("cut.zpk", valid.substr(0, cut))));
    EXPECT_NE(error, "(loaded)");
    EXPECT_NE(error.find("cut.zpk"), std::string::npos) << error;
    if (cut >= 8) {
      EXPECT_NE(error.find("truncated"), std::string::npos) << error;
    }
  }
  // Any flipped byte from the header to the end is caught by a checksum, or
  // in the header by the field's own check; only padding is not covered.
  std::size_t caught = 0;
  for (std::size_t at = 0; at < valid.size(); at += 7) {
    std::string bytes = valid;
    bytes[at] = static_cast<char>(bytes[at] ^ 0x41);
    const ColumnsResult result = parse_columns(bytes, "flip.zpk");
    if (result.ok()) continue;
    ++caught;
    EXPECT_TRUE(result.error().byte_offset.has_value())
        << result.error().to_string();
  }
  EXPECT_GT(caught, valid.size() / 7 * 9 / 10);

  // A bad kernel id behind a correct checksum: found by the column checks,
  // at its exact byte.
  std::string bytes = valid;
  const std::size_t kernels = get64(bytes, kDirectory + 40 * kKernel + 8);
  const std::size_t stored = get64(bytes, kDirectory + 40 * kKernel + 16);
  set_le(bytes, kernels + 4 * 3, 0xFFFFFF, 4);
  set_le(bytes, kDirectory + 40 * kKernel + 32,
         XXH3_64bits(bytes.data() + kernels, stored), 8);
  set_le(bytes, kHeaderChecksum, XXH3_64bits(bytes.data(), kHeaderChecksum), 8);
  const ColumnsResult result = read_columns(file("id.zpk", bytes));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().byte_offset, kernels + 12);
  EXPECT_NE(result.error().to_string().find(
                "id.zpk:byte " + std::to_string(kernels + 12) +
                ": tiles[0].samples[3].step.kernel: string id 16777215 out of "
                "range"),
            std::string::npos)
      << result.error().to_string();
}

// The identity comes from the header and the last 64 bytes alone; anything
// that is not a package has none, and what cannot be read says why.
TEST_F(ReadColumns, ShardIdentityIsReadFromTheEndsOfTheFile) {
  const ProfileReport report = generate_report(options_for_total(2000, 9));
  const ShardIdentity shard = sample_identity(3, 4);
  std::ostringstream json;
  EXPECT_TRUE((write_report_json(report, json)).ok());
  std::string broken_section = encode_shard(report, shard);
  broken_section[section_offset(broken_section, kKernel)] ^= 1;
  std::string broken_header = encode_shard(report, shard);
  broken_header[20] ^= 1;
  struct Row {
    std::filesystem::path path;
    std::optional<ShardIdentity> expected;
    const char* error = "";  // expected in the error when not empty
  };
  const std::vector<Row> rows = {
      {file("r.json", json.str()), std::nullopt},
      {file("empty.zpk", ""), std::nullopt},
      {file("whole.zpk", encode(report)), std::nullopt},
      {file("whole1.zpk", encode(report, true, 1)), std::nullopt},
      {file("raw.zpk", encode_shard(report, shard)), shard},
      {file("packed.zpk", encode_shard(report, shard, true)), shard},
      // The sections are left to the full read.
      {file("section.zpk", broken_section), shard},
      {file("header.zpk", broken_header), std::nullopt,
       "header.zpk:byte 632: header checksum mismatch"},
      {file("short.zpk", "\x89ZPK\r"), std::nullopt,
       "short.zpk:byte 5: truncated header: the file has 5 bytes"},
      {folder_, std::nullopt, "cannot read: is a directory"},
      {folder_ / "missing.zpk", std::nullopt,
       "missing.zpk: cannot read: No such file or directory"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path.filename().string());
    const Loaded<std::optional<ShardIdentity>> read =
        read_shard_identity(row.path);
    if (std::string(row.error).empty()) {
      ASSERT_TRUE(read.ok()) << read.error().to_string();
      EXPECT_EQ(read.value(), row.expected);
      continue;
    }
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().file, row.path.string());
    EXPECT_NE(read.error().to_string().find(row.error), std::string::npos)
        << read.error().to_string();
  }
}

// Every reader, the cheap one and the full ones, names the same fault of a
// shard's identity at the same byte.
TEST_F(ReadColumns, DamagedShardIdentityIsCaughtByEveryReader) {
  const ProfileReport report = generate_report(options_for_total(500, 6));
  const std::string valid = encode_shard(report, sample_identity());
  const std::size_t block = shard_block_offset(valid);
  const auto at = [block](std::size_t byte) {
    return "byte " + std::to_string(block + byte) + ": ";
  };
  std::string whole = encode(report);
  set_le(whole, 12, 1, 4);
  reseal(whole);
  std::string old = encode(report, false, 1);
  old.append(64, '\0');
  set_le(old, 12, 1, 4);
  reseal(old);
  struct Row {
    std::string expected;
    std::function<void(std::string&)> damage;
  };
  const std::vector<Row> rows = {
      {at(0) + "the shard identity block does not start with its tag",
       [&](std::string& b) { b[block + 3] ^= 1; }},
      {at(56) + "shard identity checksum mismatch",
       [&](std::string& b) { b[block + 20] ^= 1; }},
      {at(41) + "reserved shard identity byte is not zero",
       [&](std::string& b) {
         b[block + 41] = 1;
         reseal_shard_block(b);
       }},
      {at(24) + "shard index 5 is not below the shard count 5",
       [&](std::string& b) {
         set_le(b, block + 24, 5, 4);
         reseal_shard_block(b);
       }},
      {at(28) + "the shard count is 0",
       [&](std::string& b) {
         set_le(b, block + 28, 0, 4);
         reseal_shard_block(b);
       }},
      // The header checksum covers the flag.
      {"byte 632: header checksum mismatch",
       [](std::string& b) { b[12] ^= 1; }},
      {"byte 12: unknown flags 0x2",
       [](std::string& b) {
         set_le(b, 12, 3, 4);
         reseal(b);
       }},
      {at(0) + "64 unexpected bytes after the last section",
       [](std::string& b) {
         set_le(b, 12, 0, 4);
         reseal(b);
       }},
      {at(64) + "1 unexpected bytes after the shard identity block",
       [](std::string& b) { b.push_back('\0'); }},
      {at(63) + "truncated file: the shard identity block needs bytes " +
           std::to_string(block) + ".." + std::to_string(block + 64) +
           " but the file has " + std::to_string(block + 63),
       [](std::string& b) { b.pop_back(); }},
      {"byte " + std::to_string(whole.size()) +
           ": truncated file: the shard identity block needs bytes",
       [&](std::string& b) { b = whole; }},
      {"byte 12: the shard flag is set in a version 1 package",
       [&](std::string& b) { b = old; }},
  };
  const auto check = [this](const std::string& bytes,
                            const std::string& expected) {
    const auto path = file("damaged.zpk", bytes);
    const Loaded<std::optional<ShardIdentity>> identity =
        read_shard_identity(path);
    const std::string cheap =
        identity.ok() ? "(read)" : identity.error().to_string();
    EXPECT_NE(cheap.find(expected), std::string::npos) << cheap;
    const std::string full = error_of(read_columns(path));
    EXPECT_NE(full.find(expected), std::string::npos) << full;
    const std::string parsed = error_of(parse_columns(bytes, "damaged.zpk"));
    EXPECT_NE(parsed.find(expected), std::string::npos) << parsed;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    std::string bytes = valid;
    row.damage(bytes);
    check(bytes, row.expected);
  }
  // Any byte of the block flipped: the tag's own check, else the checksum.
  for (std::size_t byte = 0; byte < 64; ++byte) {
    SCOPED_TRACE(byte);
    std::string bytes = valid;
    bytes[block + byte] ^= 0x20;
    check(bytes, byte < 8 ? at(0) : at(56));
  }
}

}  // namespace
}  // namespace zyl_package
