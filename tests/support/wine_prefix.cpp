#include "support/wine_prefix.h"

#include <sstream>

#include "support/shell.h"

namespace zarvi::testing::wine {
namespace {

const std::string kWine = std::string(ZARVI_SOURCE_DIR) + "/scripts/wine.sh";

// The keys of an endpoint's properties: its endpoint GUID and its friendly name.
constexpr std::string_view kGuidKey = "{233164C8-1B2C-4C7D-BC68-B671687A2567},1";
constexpr std::string_view kNameKey = "{A45C254E-DF1C-4EFD-8020-67D146A850E0},14";

std::string valueAfter(const std::string& line, std::string_view key) {
  const auto type = line.find("REG_SZ", line.find(key));
  std::string value = line.substr(line.find_first_not_of(' ', type + 6));
  while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
  return value;
}

}  // namespace

std::map<std::string, std::string> endpoints(Flow flow) {
  const bool render = flow == Flow::render;
  const std::string key =
      std::string("'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio\\") +
      (render ? "Render" : "Capture") + "'";
  std::istringstream listing(runAndRead(kWine + " reg query " + key + " /s 2>/dev/null"));
  std::map<std::string, std::string> found;
  std::string guid;
  for (std::string line; std::getline(listing, line);) {
    if (line.find(kGuidKey) != std::string::npos) guid = valueAfter(line, kGuidKey);
    if (line.find(kNameKey) != std::string::npos && !guid.empty()) {
      found[valueAfter(line, kNameKey)] =
          std::string(render ? "{0.0.0.00000000}." : "{0.0.1.00000000}.") + guid;
      guid.clear();
    }
  }
  return found;
}

void setDefault(Flow flow, const std::string& endpointId) {
  runAndRead(kWine + " reg add 'HKCU\\Software\\Wine\\Drivers\\winepulse.drv' /v " +
             (flow == Flow::render ? "DefaultOutput" : "DefaultInput") + " /d '" + endpointId + "' /f 2>&1");
}

}  // namespace zarvi::testing::wine
