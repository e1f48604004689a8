// The terrain model: a ground height for each (X, Y). Either flat at one height, or smooth hills
// made from a seed: a sum of a few long waves in different directions, a few hundred units of
// relief around the height 100, the same for the same seed on every run. There are no holes.
#include <cmath>
#include <cstdint>

#include "internal.h"

namespace standin {
namespace {

constexpr float kDefaultHeight = 100.0F;
constexpr int kWaves = 4;
constexpr double kPi = 3.14159265358979323846;

struct Wave {
  double amplitude;
  double number;  // radians per world unit
  double direction_x;
  double direction_y;
  double phase;
};

struct Terrain {
  bool hills = false;
  float flat_height = kDefaultHeight;
  Wave waves[kWaves]{};
};

Terrain& TheTerrain() {
  static auto& terrain = *new Terrain;  // never destroyed: see internal.h
  return terrain;
}

std::uint64_t SplitMix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

/// A number in [0, 1) from the generator.
double Unit(std::uint64_t& state) { return static_cast<double>(SplitMix(state) >> 11) * 0x1.0p-53; }

}  // namespace

namespace internal {

float TerrainHeight(float x, float y) {
  const Terrain& terrain = TheTerrain();
  if (!terrain.hills) return terrain.flat_height;
  double height = kDefaultHeight;
  for (const Wave& wave : terrain.waves) {
    const double along = x * wave.direction_x + y * wave.direction_y;
    height += wave.amplitude * std::sin(along * wave.number + wave.phase);
  }
  return static_cast<float>(height);
}

void ResetTerrain() { SetFlatTerrain(kDefaultHeight); }

}  // namespace internal

void SetFlatTerrain(float height) {
  Terrain& terrain = TheTerrain();
  terrain.hills = false;
  terrain.flat_height = height;
}

void SetHillsTerrain(std::uint32_t seed) {
  Terrain& terrain = TheTerrain();
  terrain.hills = true;
  std::uint64_t state = seed;
  // Wavelengths from about 20000 down to 2500 units, amplitudes halving: at most 300 units of
  // relief above or below the middle height, with slopes gentle enough to walk.
  double amplitude = 160.0;
  double wavelength = 20000.0;
  for (Wave& wave : terrain.waves) {
    const double angle = 2.0 * kPi * Unit(state);
    wave.amplitude = amplitude * (0.75 + 0.25 * Unit(state));
    wave.number = 2.0 * kPi / (wavelength * (0.8 + 0.4 * Unit(state)));
    wave.direction_x = std::cos(angle);
    wave.direction_y = std::sin(angle);
    wave.phase = 2.0 * kPi * Unit(state);
    amplitude /= 2.0;
    wavelength /= 2.0;
  }
}

float GroundHeightAt(float x, float y) { return internal::TerrainHeight(x, y); }

}  // namespace standin
