// The one-line texts of load and write errors, and the failure paths of
// Outcome's checked accessors.
#include "zyl_package/load_result.h"

namespace zyl_package {

std::string LoadError::to_string() const {
  std::string text;
  text.reserve(file.size() + json_path.size() + message.size() + 32);
  if (!file.empty()) {
    text += file;
    text += ':';
  }
  if (line != 0) {
    text += std::to_string(line);
    text += ':';
    text += std::to_string(column);
    text += ':';
  } else if (byte_offset) {
    text += "byte ";
    text += std::to_string(*byte_offset);
    text += ':';
  }
  if (!text.empty()) text += ' ';
  if (!json_path.empty()) {
    text += json_path;
    text += ": ";
  }
  text += message;
  return text;
}

std::string WriteError::to_string() const {
  if (file.empty()) return message;
  std::string text = file;
  text += ": ";
  text += message;
  return text;
}

namespace detail {

void throw_bad_value_access(const std::string& error) {
  throw BadOutcomeAccess("value() of a failure: " + error);
}

void throw_bad_error_access() {
  throw BadOutcomeAccess("error() of a success");
}

}  // namespace detail

}  // namespace zyl_package
