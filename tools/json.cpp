// Scenario files and manifests are read with nlohmann-json; errors name the byte.
#include "synth_internal.h"

namespace synth {

std::string parseJson(const std::string& text, Json& out) {
  try {
    out = Json::parse(text);
  } catch (const Json::parse_error& e) {
    out = Json();
    // The library's text begins with its own exception id in brackets.
    std::string what = e.what();
    size_t after = what.find("] ");
    if (after != std::string::npos) what.erase(0, after + 2);
    return "JSON error at byte " + std::to_string(e.byte) + ": " + what;
  }
  return "";
}

}  // namespace synth
