// This server's section of config.json as the reports read it: the kill zones, DinosPerTick and
// DryRun. The plugin's own load decides what takes effect; this only shows what the file says.
#include <algorithm>
#include <fstream>

#include "server.h"

namespace brimwarden::devserver {
namespace {

std::filesystem::path ConfigPath(const std::filesystem::path& dir) {
  return dir / "ArkApi" / "Plugins" / "Brimwarden" / "config.json";
}

float ReadCoordinate(const nlohmann::json& value) {
  if (value.is_boolean()) return value.get<bool>() ? 1.0F : 0.0F;
  return value.get<float>();
}

}  // namespace

std::vector<ZoneBox> DevServer::ConfigZones() const {
  std::vector<ZoneBox> zones;
  try {
    std::ifstream in(ConfigPath(options_.dir), std::ios::binary);
    if (!in) return zones;
    nlohmann::json document;
    in >> document;
    const nlohmann::json& section = document.at(options_.server_key);
    if (!section.is_object() || !section.contains("Kill Zones")) return zones;
    for (const auto& [name, zone] : section.at("Kill Zones").items()) {
      const nlohmann::json& c1 = zone.at("Corner1");
      const nlohmann::json& c2 = zone.at("Corner2");
      const Vector3 a{ReadCoordinate(c1.at(0)), ReadCoordinate(c1.at(1)), ReadCoordinate(c1.at(2))};
      const Vector3 b{ReadCoordinate(c2.at(0)), ReadCoordinate(c2.at(1)), ReadCoordinate(c2.at(2))};
      zones.push_back({name,
                       {std::min(a.X, b.X), std::min(a.Y, b.Y), std::min(a.Z, b.Z)},
                       {std::max(a.X, b.X), std::max(a.Y, b.Y), std::max(a.Z, b.Z)}});
    }
  } catch (const std::exception&) {
    // A file the plugin itself would refuse: the zones read so far are all there are.
  }
  return zones;
}

nlohmann::json DevServer::ConfigSection() const {
  try {
    std::ifstream in(ConfigPath(options_.dir), std::ios::binary);
    nlohmann::json document;
    in >> document;
    return document.at(options_.server_key);
  } catch (const std::exception&) {
    return nullptr;
  }
}

std::int32_t DevServer::ConfiguredDinosPerTick() const {
  try {
    const auto value = ConfigSection().value("DinosPerTick", 0);
    return value == 0 ? 20 : value;
  } catch (const std::exception&) {
    return 0;
  }
}

bool DevServer::ConfiguredDryRun() const {
  const nlohmann::json section = ConfigSection();
  if (!section.is_object()) return false;
  const auto found = section.find("DryRun");
  return found != section.end() && found->is_boolean() && found->get<bool>();
}

}  // namespace brimwarden::devserver
