// Reading a report file into memory in one go and handing it to the parser
// its first bytes call for; writing a report file atomically.
#include "zyl_package/report_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>

#include "report_json.h"
#include "zyl_package/atomic_file.h"
#include "zyl_package/report_package.h"

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

// The one place where the stored form is chosen from the bytes themselves.
LoadResult parse_bytes(const char* data, std::size_t size, std::size_t capacity,
                       std::string_view file_name, const ReadLimits& limits) {
  // Binary packages are recognised here by their magic bytes, before the
  // JSON reader sees them.
  if (looks_like_report_package(std::string_view(data, size))) {
    return parse_report_package(std::string_view(data, size), file_name,
                                limits);
  }
  return detail::parse_report_json(data, size, capacity, file_name, limits);
}

}  // namespace

LoadResult read_report(const std::filesystem::path& path,
                       const ReadLimits& limits) {
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
  return parse_bytes(buffer.get(), size, size + detail::kJsonPadding,
                     path.string(), limits);
}

LoadResult parse_report(std::string_view bytes, std::string_view file_name,
                        const ReadLimits& limits) {
  if (bytes.size() > limits.max_file_bytes) {
    LoadError error;
    error.file = std::string(file_name);
    error.message =
        "input is " + std::to_string(bytes.size()) + " bytes, more than the " +
        std::to_string(limits.max_file_bytes) + "-byte limit for reports";
    return error;
  }
  // The parser reads a little past the end, so the text gets a padded copy.
  auto buffer = allocate_padded(bytes.size());
  if (!buffer) {
    LoadError error;
    error.file = std::string(file_name);
    error.message = out_of_memory_message(bytes.size());
    return error;
  }
  if (!bytes.empty()) std::memcpy(buffer.get(), bytes.data(), bytes.size());
  std::memset(buffer.get() + bytes.size(), 0, detail::kJsonPadding);
  return parse_bytes(buffer.get(), bytes.size(),
                     bytes.size() + detail::kJsonPadding, file_name, limits);
}

ReportFormat report_format_for(const std::filesystem::path& path) {
  return path.extension() == ".zpk" ? ReportFormat::Package
                                    : ReportFormat::Json;
}

std::optional<std::string> write_report(const ProfileReport& report,
                                        const std::filesystem::path& path,
                                        ReportFormat format) {
  switch (format) {
    case ReportFormat::Json:
      return write_file_atomically(path, [&report](std::ostream& out) {
        write_report_json(report, out);
      });
    case ReportFormat::Package: {
      // Encoded in memory first: the directory needs every section's size
      // before the first byte is written.
      std::string bytes;
      if (auto error = encode_report_package(report, bytes)) {
        return path.string() + ": " + *error;
      }
      return write_file_atomically(path, [&bytes](std::ostream& out) {
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      });
    }
  }
  return path.string() + ": unknown report format";
}

}  // namespace zyl_package
