// Package files of generated profiles, written once per size into a private
// temporary folder and removed when the run ends: the benchmarks open and
// query them as the command line does.
#pragma once

#include <unistd.h>  // getpid

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "zyl_package/generate.h"
#include "zyl_package/report_io.h"

namespace zyl_bench {

namespace fs = std::filesystem;

// Package files written once per size into a private temporary folder,
// removed when the run ends.
class PackageFiles {
 public:
  ~PackageFiles() {
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);
  }

  // Returns the path of a package holding the generated profile of `samples`
  // samples on `tiles` tiles in `model`, or an empty path (and `error`) when
  // it cannot be written.
  fs::path path_of(std::int64_t samples, std::uint32_t tiles,
                   std::string& error,
                   zyl_package::GenerateModel model =
                       zyl_package::GenerateModel::Independent) {
    const std::lock_guard lock(mutex_);
    auto& path = paths_[{samples, model}];
    if (!path.empty()) return path;
    std::error_code ec;
    if (folder_.empty()) {
      folder_ = fs::temp_directory_path(ec) /
                ("zyl_first_answer_" + std::to_string(::getpid()));
      fs::create_directories(folder_, ec);
      if (ec) {
        error = folder_.string() + ": " + ec.message();
        folder_.clear();
        return {};
      }
    }
    const bool independent = model == zyl_package::GenerateModel::Independent;
    const fs::path file = folder_ / (std::to_string(samples) +
                                     (independent ? ".zpk" : "-bsp.zpk"));
    zyl_package::GenerateOptions options = zyl_package::options_for_total(
        static_cast<std::uint64_t>(samples), tiles);
    options.model = model;
    const zyl_package::Written written =
        zyl_package::write_report(zyl_package::generate_report(options), file,
                                  zyl_package::ReportFormat::Package);
    if (!written.ok()) {
      error = written.error().to_string();
      return {};
    }
    path = file;
    return path;
  }

 private:
  std::mutex mutex_;
  fs::path folder_;
  std::map<std::pair<std::int64_t, zyl_package::GenerateModel>, fs::path>
      paths_;
};

inline PackageFiles& package_files() {
  static PackageFiles files;
  return files;
}

}  // namespace zyl_bench
