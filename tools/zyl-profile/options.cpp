// parse_options: the zyl-profile command line built from the command table,
// parsed by CLI11 straight into the chosen command, and finished by that
// command's own checks; --help and --version become text to print.
#include "options.h"

#include <CLI/CLI.hpp>
#include <memory>
#include <utility>

#include "command_options.h"
#include "usage_errors.h"

namespace zyl_profile::cli {
namespace {

constexpr std::string_view kVersionText = "zyl-profile " ZYL_PROFILE_VERSION;

// An option's help line names its value alone ("--limit N", "-o,--output
// FILE", "--tile LIST"): whether it is required or repeatable, and what it
// accepts, its help text says in words.
class HelpFormatter final : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override {
    if (option->get_positional()) {
      return CLI::Formatter::make_option_opts(option);
    }
    return option->get_type_size() == 0 ? std::string()
                                        : " " + option->get_type_name();
  }
};

// CLI11 reads "--kernel=" as "--kernel" waiting for a value, so the empty
// value is passed as a separate argument; everything after "--" is a
// positional and stays as it is.
std::vector<std::string> split_empty_values(
    const std::vector<std::string>& args) {
  std::vector<std::string> out;
  out.reserve(args.size() + 4);
  bool positional_only = false;
  for (const std::string& arg : args) {
    if (arg == "--") positional_only = true;
    if (!positional_only && arg.size() > 3 && arg.starts_with("--") &&
        arg.back() == '=' && arg.find('=') == arg.size() - 1) {
      out.push_back(arg.substr(0, arg.size() - 1));
      out.emplace_back();
      continue;
    }
    out.push_back(arg);
  }
  return out;
}

// True when --help was given to the program or to the chosen command: it
// answers even a line with mistakes elsewhere, since whoever asks for help
// is still writing the line.
bool asks_for_help(const CLI::App& app) {
  if (app.get_help_ptr()->count() > 0) return true;
  for (const CLI::App* command : app.get_subcommands()) {
    if (command->get_help_ptr()->count() > 0) return true;
  }
  return false;
}

}  // namespace

ParseResult parse_options(const std::vector<std::string>& args) {
  const std::string program(kProgramName);
  CLI::App app{"Answers questions about tile profile reports.", program};
  app.formatter(std::make_shared<HelpFormatter>());
  app.set_version_flag("--version", std::string(kVersionText));
  app.require_subcommand(1);
  app.footer(
      "Examples:\n"
      "  zyl-profile query examples/small.json --limit 10\n"
      "  zyl-profile query examples/small.json --tile 3 --at-offset 50% "
      "--sample-limit 5\n"
      "  zyl-profile generate -o report.zpk --tiles 64 --samples-per-tile "
      "100\n"
      "Run 'zyl-profile COMMAND --help' for a command's options.");

  std::vector<std::pair<const CLI::App*, std::unique_ptr<CommandLine>>> lines;
  for (const CommandRow& row : command_rows()) {
    CLI::App* command =
        app.add_subcommand(std::string(row.name), std::string(row.summary));
    command->footer(std::string(row.footer));
    std::unique_ptr<CommandLine> line = row.make();
    line->declare(*command);
    lines.emplace_back(command, std::move(line));
  }

  const std::vector<std::string> words = split_empty_values(args);
  std::vector<const char*> argv{program.c_str()};
  for (const std::string& word : words) argv.push_back(word.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& error) {
    if (Parsed<void> command = known_command(app); !command.ok()) {
      return command.error();
    }
    if (dynamic_cast<const CLI::CallForVersion*>(&error) != nullptr) {
      return Options{PrintText{std::string(kVersionText) + "\n"}};
    }
    if (asks_for_help(app)) return Options{PrintText{app.help()}};
    return usage_error(app, error);
  }

  for (const auto& [command, line] : lines) {
    if (!command->parsed()) continue;
    Parsed<Options> built = line->finish();
    // A page shows the command line that made it, as typed.
    if (built.ok()) {
      if (auto* page = std::get_if<PageCommand>(&built.value())) {
        page->arguments = args;
      }
      if (auto* serve = std::get_if<ServeCommand>(&built.value())) {
        serve->arguments = args;
      }
    }
    return built;
  }
  return UsageError{"no command given"};  // require_subcommand prevents it
}

std::string_view group_by_name(GroupBy group_by) {
  for (const auto& [name, value] : kGroupByNames) {
    if (value == group_by) return name;
  }
  return "kernel";
}

}  // namespace zyl_profile::cli
