// Reading a report file (a package mapped, JSON as a stream, a package from
// a pipe into memory) by what its first bytes call for; writing a report
// file atomically.
#include "zyl_package/report_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <utility>

#include "json_stream.h"
#include "json_values.h"
#include "machine_memory.h"
#include "mapped_file.h"
#include "package_io.h"
#include "zyl_package/atomic_file.h"

namespace zyl_package {
namespace {

LoadError file_error(const std::filesystem::path& path, std::string message) {
  LoadError error;
  error.file = path.string();
  error.message = std::move(message);
  return error;
}

// Closes a C stream when the read ends, however it ends.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// A buffer of `size` bytes plus parser padding, or nothing when memory is
// short: a huge file must give a message, not std::bad_alloc.
std::unique_ptr<char[]> allocate_padded(std::size_t size) {
  return std::unique_ptr<char[]>(
      new (std::nothrow) char[size + detail::kJsonPadding]);
}

std::string too_large_message(std::uint64_t size, std::uint64_t cap) {
  return "file is " + std::to_string(size) + " bytes, more than the " +
         std::to_string(cap) + "-byte limit for reports";
}

std::string out_of_memory_message(std::uint64_t size) {
  return "not enough memory to read the " + std::to_string(size) + "-byte file";
}

// Records from columns, or a message when they would not fit: records take
// several times the room of columns.
LoadResult records_of(ColumnsResult columns, std::string_view file_name,
                      const ReadLimits& limits) {
  if (!columns.ok()) return columns.error();
  const ProfileColumns& read = columns.value();
  const std::uint64_t needed =
      read.sample_count() * (sizeof(CycleSample) + 16) +
      read.string_bytes.size();
  const std::uint64_t budget = detail::memory_budget(limits.max_memory_bytes);
  LoadError error;
  error.file = std::string(file_name);
  if (needed > budget) {
    error.message = "the report's records would need about " +
                    std::to_string(needed) +
                    " bytes of memory, more than the " +
                    std::to_string(budget) + " available";
    return error;
  }
  try {
    return to_report(read);
  } catch (const std::bad_alloc&) {
    error.message = "not enough memory for the report's records";
    return error;
  }
}

// Columns of JSON text in memory.
ColumnsResult json_columns(std::string_view text, std::string_view file_name,
                           const ReadLimits& limits) {
  const std::unique_ptr<detail::ByteSource> source =
      detail::memory_source(text);
  return detail::read_json_columns(*source, file_name, limits);
}

// A whole file in memory with parser padding after it.
struct PaddedBytes {
  std::unique_ptr<char[]> buffer;
  std::size_t size = 0;
};

// Reads all of `path` into a padded buffer, within the file-size limit.
Loaded<PaddedBytes> read_padded(const std::filesystem::path& path,
                                ReadLimits limits) {
  // Whole in memory: the memory available bounds it too.
  limits.max_file_bytes = std::min(
      limits.max_file_bytes, detail::memory_budget(limits.max_memory_bytes));
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec) return file_error(path, "cannot read: " + ec.message());
  if (std::filesystem::is_directory(status)) {
    return file_error(path, "cannot read: is a directory");
  }
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    return file_error(path,
                      std::string("cannot read: ") + std::strerror(errno));
  }

  std::unique_ptr<char[]> buffer;
  std::size_t size = 0;
  if (std::filesystem::is_regular_file(status)) {
    // The usual case: the size is known, so check it before allocating and
    // read everything with one call.
    const std::uintmax_t file_size = std::filesystem::file_size(path, ec);
    if (ec) return file_error(path, "cannot read: " + ec.message());
    if (file_size > limits.max_file_bytes) {
      return file_error(path,
                        too_large_message(file_size, limits.max_file_bytes));
    }
    if (file_size > SIZE_MAX - detail::kJsonPadding) {
      return file_error(path, out_of_memory_message(file_size));
    }
    buffer = allocate_padded(static_cast<std::size_t>(file_size));
    if (!buffer) return file_error(path, out_of_memory_message(file_size));
    size = std::fread(buffer.get(), 1, static_cast<std::size_t>(file_size),
                      file.get());
  } else {
    // A pipe or a device: the size shows only at the end, so grow a buffer,
    // still bounded by the limit.
    std::size_t capacity = std::size_t{1} << 16;
    buffer = allocate_padded(capacity);
    if (!buffer) return file_error(path, out_of_memory_message(capacity));
    for (;;) {
      size += std::fread(buffer.get() + size, 1, capacity - size, file.get());
      if (size < capacity) break;
      if (size > limits.max_file_bytes) {
        return file_error(path, "file is more than the " +
                                    std::to_string(limits.max_file_bytes) +
                                    "-byte limit for reports");
      }
      const std::size_t grown = capacity * 2;
      auto bigger = allocate_padded(grown);
      if (!bigger) return file_error(path, out_of_memory_message(grown));
      std::memcpy(bigger.get(), buffer.get(), size);
      buffer = std::move(bigger);
      capacity = grown;
    }
    if (size > limits.max_file_bytes) {
      return file_error(path, too_large_message(size, limits.max_file_bytes));
    }
  }
  if (std::ferror(file.get())) {
    return file_error(path,
                      std::string("cannot read: ") + std::strerror(errno));
  }
  std::memset(buffer.get() + size, 0, detail::kJsonPadding);
  return PaddedBytes{std::move(buffer), size};
}

// Reads package bytes as columns over a copy on an aligned, shared buffer:
// raw sections are viewed in place, which needs their elements' alignment,
// and the columns must not depend on the caller's bytes.
ColumnsResult package_columns_from_copy(std::string_view bytes,
                                        std::string_view file_name,
                                        const ReadLimits& limits) {
  std::shared_ptr<std::uint64_t[]> copy(
      new (std::nothrow) std::uint64_t[bytes.size() / 8 + 1]);
  if (!copy) {
    LoadError error;
    error.file = std::string(file_name);
    error.message = out_of_memory_message(bytes.size());
    return error;
  }
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  const auto* data = reinterpret_cast<const char*>(copy.get());
  return detail::read_package_columns(data, bytes.size(), std::move(copy),
                                      file_name, limits, false);
}

// Maps `path` when it is a non-empty regular file that starts like a
// package and reads it as columns; returns nothing when the file is for the
// buffered path (JSON, pipes, empty files, or a file that will not map).
std::optional<ColumnsResult> map_package(const std::filesystem::path& path,
                                         const ReadLimits& limits) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};  // the buffered path reports why
  struct stat info {};
  int error = 0;
  detail::MappedFile mapped;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size > limits.max_file_bytes) {
      ::close(fd);
      return file_error(path, too_large_message(size, limits.max_file_bytes));
    }
    mapped = detail::MappedFile::map(fd, static_cast<std::size_t>(size), error);
  }
  ::close(fd);
  if (mapped.data() == nullptr ||
      !looks_like_report_package({mapped.data(), mapped.size()})) {
    return {};
  }
  try {
    auto owner = std::make_shared<const detail::MappedFile>(std::move(mapped));
    const char* data = owner->data();
    const std::size_t size = owner->size();
    return detail::read_package_columns(data, size, std::move(owner),
                                        path.string(), limits, false);
  } catch (const std::bad_alloc&) {
    return file_error(path, "not enough memory to load the package");
  }
}

}  // namespace

LoadResult read_report(const std::filesystem::path& path,
                       const ReadLimits& limits) {
  return records_of(read_columns(path, limits), path.string(), limits);
}

ColumnsResult read_columns(const std::filesystem::path& path,
                           const ReadLimits& limits, ReadProgress* progress) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (std::filesystem::is_regular_file(status)) {
    if (std::optional<ColumnsResult> mapped = map_package(path, limits)) {
      return std::move(*mapped);
    }
    // JSON, read as a stream: the file is never in memory as a whole.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return file_error(path,
                        std::string("cannot read: ") + std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
      const int error = errno;
      ::close(fd);
      return file_error(path,
                        std::string("cannot read: ") + std::strerror(error));
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const std::unique_ptr<detail::ByteSource> source =
        detail::file_source(fd, size);
    if (size > limits.max_file_bytes) {
      return file_error(path, too_large_message(size, limits.max_file_bytes));
    }
    return detail::read_json_columns(*source, path.string(), limits, progress);
  }
  // A pipe or a device: read whole, then by its first bytes.
  Loaded<PaddedBytes> bytes = read_padded(path, limits);
  if (!bytes.ok()) return bytes.error();
  const PaddedBytes& read = bytes.value();
  const std::string_view text(read.buffer.get(), read.size);
  if (looks_like_report_package(text)) {
    return package_columns_from_copy(text, path.string(), limits);
  }
  return json_columns(text, path.string(), limits);
}

ColumnsResult parse_columns(std::string_view bytes, std::string_view file_name,
                            const ReadLimits& limits) {
  if (bytes.size() > limits.max_file_bytes) {
    LoadError error;
    error.file = std::string(file_name);
    error.message =
        "input is " + std::to_string(bytes.size()) + " bytes, more than the " +
        std::to_string(limits.max_file_bytes) + "-byte limit for reports";
    return error;
  }
  if (looks_like_report_package(bytes)) {
    return package_columns_from_copy(bytes, file_name, limits);
  }
  return json_columns(bytes, file_name, limits);
}

LoadResult parse_report(std::string_view bytes, std::string_view file_name,
                        const ReadLimits& limits) {
  if (looks_like_report_package(bytes) &&
      bytes.size() <= limits.max_file_bytes) {
    return parse_report_package(bytes, file_name, limits);
  }
  return records_of(parse_columns(bytes, file_name, limits), file_name, limits);
}

ReportFormat report_format_for(const std::filesystem::path& path) {
  return path.extension() == ".zpk" ? ReportFormat::Package
                                    : ReportFormat::Json;
}

Written write_report(const ProfileReport& report,
                     const std::filesystem::path& path, ReportFormat format) {
  switch (format) {
    case ReportFormat::Json:
      // The stream's state carries a failure to write_file_atomically,
      // which names the file; the result without a file adds nothing.
      return write_file_atomically(path, [&report](std::ostream& out) {
        static_cast<void>(write_report_json(report, out));
      });
    case ReportFormat::Package:
      try {
        return write_columns(to_columns(report), path, format);
      } catch (const std::bad_alloc&) {
        return WriteError{path.string(),
                          "not enough memory to encode the report"};
      }
  }
  return WriteError{path.string(), "unknown report format"};
}

Written write_columns(const ProfileColumns& columns,
                      const std::filesystem::path& path, ReportFormat format,
                      const PackageWriteOptions& options,
                      ReadProgress* progress, StagedFiles* staged) {
  switch (format) {
    case ReportFormat::Json: {
      // Any string length may be written; limits are for readers.
      ReadLimits unlimited;
      unlimited.max_string_bytes = SIZE_MAX;
      if (Loaded<void> checked = check_columns(columns, unlimited);
          !checked.ok()) {
        return WriteError{path.string(),
                          "invalid columns: " + checked.error().to_string()};
      }
      // Straight from the columns: records of a large profile would take
      // many times the memory of its columns.
      return write_file_atomically(
          path,
          [&columns, progress](std::ostream& out) {
            static_cast<void>(write_columns_json(columns, out, progress));
          },
          staged);
    }
    case ReportFormat::Package: {
      // Planned first (checks, compression, the directory needs every
      // section's size), then streamed from the columns to the file.
      detail::PackagePlan plan;
      if (Written planned =
              detail::plan_package(columns, options, plan, progress);
          !planned.ok()) {
        return WriteError{path.string(), planned.error().message};
      }
      return write_file_atomically(
          path,
          [&plan, progress](std::ostream& out) {
            detail::write_package(plan, out, progress);
          },
          staged);
    }
  }
  return WriteError{path.string(), "unknown report format"};
}

}  // namespace zyl_package
