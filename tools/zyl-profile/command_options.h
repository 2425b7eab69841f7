// The subcommands of zyl-profile: each one's options, bound to the command
// it fills in, the checks that need several of its options at once, and
// its line and footer in --help.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <span>
#include <string_view>
#include <variant>

#include "options.h"

namespace zyl_profile::cli {

// One subcommand's part of the command line.
class CommandLine {
 public:
  virtual ~CommandLine() = default;
  // Declares the command's options on `app`, bound to this object, which
  // must outlive the parse.
  virtual void declare(CLI::App& app) = 0;
  // Returns the command CLI11 has filled in, or the reason its options
  // cannot be run together. Called once, after a successful parse.
  [[nodiscard]] virtual Parsed<Options> finish() = 0;
};

struct CommandRow {
  std::string_view name;
  std::string_view summary;
  std::string_view footer;  // examples, and what the numbers mean
  std::unique_ptr<CommandLine> (*make)();
};

// Returns the subcommands, in the order --help lists them.
[[nodiscard]] std::span<const CommandRow> command_rows();

}  // namespace zyl_profile::cli
