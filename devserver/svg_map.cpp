// The map picture: the terrain's height as shading, the kill zones of config.json with their
// names, and every creature coloured by what became of it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "events.h"
#include "server.h"

namespace brimwarden::devserver {
namespace {

constexpr int kPixels = 1000;
constexpr int kCells = 100;  // terrain samples per side
constexpr int kLegendHeight = 120;

double ToPixelX(double x) { return (x + kWorldHalfSize) / (2.0 * kWorldHalfSize) * kPixels; }
double ToPixelY(double y) { return (kWorldHalfSize - y) / (2.0 * kWorldHalfSize) * kPixels; }

/// Makes text safe inside an XML element or attribute: valid UTF-8, markup characters escaped,
/// control characters (which XML 1.0 forbids) replaced.
std::string XmlText(const std::string& text) {
  const std::string valid =
      nlohmann::ordered_json::parse(JsonLine(nlohmann::ordered_json(text))).get<std::string>();
  std::string out;
  for (const char c : valid) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
  }
  return out;
}

std::string Number(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%.1f", value);
  return buffer;
}

struct Layer {
  const char* label;
  const char* colour;
  double radius;
  std::ostringstream circles;
  int count = 0;
};

}  // namespace

void DevServer::WriteMap(const std::filesystem::path& path) const {
  std::ostringstream svg;
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kPixels << "\" height=\""
      << kPixels + kLegendHeight << "\" viewBox=\"0 0 " << kPixels << ' ' << kPixels + kLegendHeight
      << "\">\n"
      << "<title>Brimwarden dev server map, server key " << XmlText(options_.server_key)
      << ", tick " << standin::TickCount() << "</title>\n";

  // Terrain: one square per sample, lighter where the ground is higher; holes in black.
  std::vector<float> heights(static_cast<std::size_t>(kCells) * kCells);
  float low = std::numeric_limits<float>::infinity();
  float high = -std::numeric_limits<float>::infinity();
  const double cell_world = 2.0 * kWorldHalfSize / kCells;
  for (int row = 0; row < kCells; ++row) {
    for (int column = 0; column < kCells; ++column) {
      const double x = -kWorldHalfSize + (column + 0.5) * cell_world;
      const double y = kWorldHalfSize - (row + 0.5) * cell_world;
      const float h = standin::GroundHeightAt(static_cast<float>(x), static_cast<float>(y));
      heights[static_cast<std::size_t>(row) * kCells + column] = h;
      if (std::isfinite(h)) {
        low = std::min(low, h);
        high = std::max(high, h);
      }
    }
  }
  const double cell_pixels = static_cast<double>(kPixels) / kCells;
  svg << "<g id=\"terrain\" shape-rendering=\"crispEdges\">\n";
  for (int row = 0; row < kCells; ++row) {
    for (int column = 0; column < kCells; ++column) {
      const float h = heights[static_cast<std::size_t>(row) * kCells + column];
      int r = 0;
      int g = 0;
      int b = 0;
      if (std::isfinite(h)) {
        const double t = high > low ? (h - low) / (high - low) : 0.5;
        r = static_cast<int>(110 + 120 * t);
        g = static_cast<int>(130 + 110 * t);
        b = static_cast<int>(90 + 100 * t);
      }
      char colour[8];
      std::snprintf(colour, sizeof(colour), "#%02x%02x%02x", r, g, b);
      svg << "<rect x=\"" << Number(column * cell_pixels) << "\" y=\"" << Number(row * cell_pixels)
          << "\" width=\"" << Number(cell_pixels + 0.5) << "\" height=\""
          << Number(cell_pixels + 0.5) << "\" fill=\"" << colour << "\"/>\n";
    }
  }
  svg << "</g>\n";

  // Creatures, one layer per fate, drawn under the zone outlines.
  const std::vector<ZoneBox> zones = ConfigZones();
  Layer layers[] = {
      {"wild, alive", "#1b5e20", 1.2, {}, 0},
      {"tamed, alive", "#0d47a1", 1.2, {}, 0},
      {"sunk, alive", "#aa00ff", 2.5, {}, 0},
      {"destroyed: no ground", "#d50000", 2.5, {}, 0},
      {"destroyed: kill zone", "#ff6d00", 2.5, {}, 0},
      {"destroyed by the game", "#424242", 2.5, {}, 0},
  };
  for (const standin::CreatureInfo& creature : standin::Creatures()) {
    const Vector3& p = creature.position;
    if (!std::isfinite(p.X) || !std::isfinite(p.Y)) continue;
    Layer* layer = nullptr;
    switch (FateOf(creature, zones)) {
      case Fate::kAlive:
        layer = creature.team >= kTamedTeam ? &layers[1] : IsSunk(p) ? &layers[2] : &layers[0];
        break;
      case Fate::kNoGround:
        layer = &layers[3];
        break;
      case Fate::kInZone:
        layer = &layers[4];
        break;
      case Fate::kByGame:
        layer = &layers[5];
        break;
    }
    ++layer->count;
    layer->circles << "<circle cx=\"" << Number(ToPixelX(p.X)) << "\" cy=\""
                   << Number(ToPixelY(p.Y)) << "\" r=\"" << Number(layer->radius) << "\"/>\n";
  }
  for (Layer& layer : layers) {
    svg << "<g class=\"creatures\" fill=\"" << layer.colour << "\"><desc>" << layer.label
        << "</desc>\n";
    svg << layer.circles.str() << "</g>\n";
  }

  // Kill zones: outlines with their names.
  svg << "<g id=\"zones\" font-family=\"sans-serif\" font-size=\"14\">\n";
  for (const ZoneBox& zone : zones) {
    const double x1 = std::clamp(ToPixelX(zone.low.X), -10.0, kPixels + 10.0);
    const double x2 = std::clamp(ToPixelX(zone.high.X), -10.0, kPixels + 10.0);
    const double y1 = std::clamp(ToPixelY(zone.high.Y), -10.0, kPixels + 10.0);
    const double y2 = std::clamp(ToPixelY(zone.low.Y), -10.0, kPixels + 10.0);
    svg << "<rect x=\"" << Number(x1) << "\" y=\"" << Number(y1) << "\" width=\""
        << Number(std::max(1.0, x2 - x1)) << "\" height=\"" << Number(std::max(1.0, y2 - y1))
        << "\" fill=\"#ff6d00\" fill-opacity=\"0.15\" stroke=\"#e65100\" stroke-width=\"2\"/>\n"
        << "<text x=\"" << Number(x1 + 4) << "\" y=\"" << Number(std::max(14.0, y1 - 4))
        << "\" fill=\"#000000\">" << XmlText(zone.name) << "</text>\n";
  }
  svg << "</g>\n";

  // Legend.
  svg << "<g id=\"legend\" font-family=\"sans-serif\" font-size=\"14\">\n"
      << "<rect x=\"0\" y=\"" << kPixels << "\" width=\"" << kPixels << "\" height=\""
      << kLegendHeight << "\" fill=\"#ffffff\"/>\n";
  int index = 0;
  for (const Layer& layer : layers) {
    const int x = 10 + (index % 3) * 330;
    const int y = kPixels + 25 + (index / 3) * 25;
    svg << "<circle cx=\"" << x + 5 << "\" cy=\"" << y - 5 << "\" r=\"5\" fill=\"" << layer.colour
        << "\"/><text x=\"" << x + 16 << "\" y=\"" << y << "\">" << layer.label << ": "
        << layer.count << "</text>\n";
    ++index;
  }
  svg << "<text x=\"10\" y=\"" << kPixels + 95 << "\">world " << -kWorldHalfSize << " to "
      << kWorldHalfSize << " on X (left to right) and Y (bottom to top); terrain height "
      << (std::isfinite(low) ? Number(low) : std::string("n/a")) << " (dark) to "
      << (std::isfinite(high) ? Number(high) : std::string("n/a"))
      << " (light), black: no ground</text>\n"
      << "</g>\n</svg>\n";

  std::FILE* file = OpenFile(path, "wb");
  if (file == nullptr) throw std::runtime_error("cannot write the map " + PathToUtf8(path));
  const std::string text = svg.str();
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) != 0 || !written) {
    throw std::runtime_error("cannot write the map " + PathToUtf8(path));
  }
}

}  // namespace brimwarden::devserver
