// Usage errors: CLI11 collects the words it cannot place and counts each
// option's values; this file reads that state back to say, in one line,
// which command or option was meant.
#include "usage_errors.h"

#include <algorithm>
#include <cstddef>

#include "zyl_package/quote.h"

namespace zyl_profile::cli {
namespace {

// Returns the edit distance between `a` and `b` (insertions, deletions,
// substitutions and swaps of neighbours), or `cap` + 1 when it is larger
// than `cap`.
std::size_t edit_distance(std::string_view a, std::string_view b,
                          std::size_t cap) {
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > cap) {
    return cap + 1;
  }
  const std::size_t width = b.size() + 1;
  std::vector<std::size_t> d((a.size() + 1) * width);
  const auto at = [&](std::size_t i, std::size_t j) -> std::size_t& {
    return d[i * width + j];
  };
  for (std::size_t i = 0; i <= a.size(); ++i) at(i, 0) = i;
  for (std::size_t j = 0; j <= b.size(); ++j) at(0, j) = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1,
                           at(i - 1, j - 1) + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
      }
    }
  }
  return std::min(at(a.size(), b.size()), cap + 1);
}

std::string in_quotes(std::string_view text) {
  return zyl_package::quoted_text(text, '\'');
}

// The command CLI11 chose, or null when the line named none.
const CLI::App* chosen_command(const CLI::App& app) {
  const std::vector<CLI::App*> chosen = app.get_subcommands();
  return chosen.empty() ? nullptr : chosen.front();
}

// The first word CLI11 could not place in `command` that looks like a long
// option ("--name" or "--name=value"): one the command does not have.
// Words after "--" are positionals, whatever they look like.
std::optional<std::string> unknown_option_name(const CLI::App& command) {
  for (const std::string& word : command.remaining()) {
    if (word == "--") break;
    if (word.size() > 2 && word.starts_with("--")) {
      return word.substr(0, word.find('='));
    }
  }
  return std::nullopt;
}

// CLI11 refuses a second value of a single-valued option (AtMost); find
// which one, since its message counts values rather than naming the repeat.
const CLI::Option* repeated_option(const CLI::App& command) {
  for (const CLI::Option* option : command.get_options()) {
    const std::size_t most = std::max(1, option->get_items_expected_max());
    if (option->get_multi_option_policy() == CLI::MultiOptionPolicy::Throw &&
        option->count() > most) {
      return option;
    }
  }
  return nullptr;
}

}  // namespace

std::string did_you_mean(std::string_view text,
                         const std::vector<std::string>& candidates) {
  const std::size_t cap = std::max<std::size_t>(1, text.size() / 3);
  std::size_t best = cap + 1;
  std::string_view closest;
  for (const std::string& candidate : candidates) {
    const std::size_t distance = edit_distance(text, candidate, cap);
    if (distance < best) best = distance, closest = candidate;
  }
  if (closest.empty()) return {};
  return " (did you mean " + std::string(closest) + "?)";
}

Parsed<void> known_command(const CLI::App& app) {
  if (chosen_command(app) != nullptr) return {};
  const std::vector<std::string> words = app.remaining();
  if (words.empty() || words.front().starts_with('-')) return {};
  std::vector<std::string> names;
  std::string list;
  for (const CLI::App* command : app.get_subcommands({})) {
    names.push_back(command->get_name());
    list += (list.empty() ? "" : ", ") + command->get_name();
  }
  return UsageError{"unknown command " + in_quotes(words.front()) +
                    did_you_mean(words.front(), names) +
                    "; the commands: " + list};
}

UsageError usage_error(const CLI::App& app, const CLI::ParseError& error) {
  if (const CLI::App* command = chosen_command(app)) {
    if (const std::optional<std::string> name = unknown_option_name(*command)) {
      std::vector<std::string> names;
      for (const CLI::Option* option : command->get_options()) {
        for (const std::string& long_name : option->get_lnames()) {
          names.push_back("--" + long_name);
        }
      }
      return UsageError{"unknown option " + in_quotes(*name) + " for " +
                        command->get_name() + did_you_mean(*name, names)};
    }
    if (const CLI::Option* option = repeated_option(*command)) {
      return UsageError{option->get_name() + ": given more than once"};
    }
  }
  const std::string_view what = error.what();
  return UsageError{std::string(what.substr(0, what.find('\n')))};
}

}  // namespace zyl_profile::cli
