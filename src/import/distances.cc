// The library's rounding rules. They are part of each instance's definition: published optima
// hold only for costs rounded exactly this way.
#include <algorithm>
#include <cmath>

#include "import/tsplib.h"

// The library's nint: add a half and cut, for the non-negative values it is used on.
static double nint(double value) { return std::floor(value + 0.5); }

static double euclidean(Point a, Point b) {
  const double dx = a.x - b.x;
  const double dy = a.y - b.y;
  return std::sqrt(dx * dx + dy * dy);
}

double euc_2d_distance(Point a, Point b) { return nint(euclidean(a, b)); }

double ceil_2d_distance(Point a, Point b) { return std::ceil(euclidean(a, b)); }

// Pseudo-Euclidean: the distance scaled down by sqrt(10), and never rounded down.
double att_distance(Point a, Point b) {
  const double dx = a.x - b.x;
  const double dy = a.y - b.y;
  const double r = std::sqrt((dx * dx + dy * dy) / 10.0);
  const double t = nint(r);
  return t < r ? t + 1 : t;
}

double geo_radians(double degrees_minutes) {
  // The library's own value of pi; a more precise one changes some distances.
  const double pi = 3.141592;
  // trunc, not a cast to int: the same for real coordinates, and defined for absurd ones.
  const double degrees = std::trunc(degrees_minutes);
  const double minutes = degrees_minutes - degrees;
  return pi * (degrees + 5.0 * minutes / 3.0) / 180.0;
}

double geo_distance(Point a, Point b) {
  const double earth_radius = 6378.388;
  const double latitude_a = geo_radians(a.x);
  const double longitude_a = geo_radians(a.y);
  const double latitude_b = geo_radians(b.x);
  const double longitude_b = geo_radians(b.y);
  const double q1 = std::cos(longitude_a - longitude_b);
  const double q2 = std::cos(latitude_a - latitude_b);
  const double q3 = std::cos(latitude_a + latitude_b);
  // Rounding can carry the cosine a hair past 1, where acos has no value.
  const double cosine = std::clamp(0.5 * ((1.0 + q1) * q2 - (1.0 - q1) * q3), -1.0, 1.0);
  return std::trunc(earth_radius * std::acos(cosine) + 1.0);
}

double euc_3d_distance(Point a, Point b) {
  const double dx = a.x - b.x;
  const double dy = a.y - b.y;
  const double dz = a.z - b.z;
  return nint(std::sqrt(dx * dx + dy * dy + dz * dz));
}

// Manhattan: the sum of the differences is rounded, not each difference.
double man_2d_distance(Point a, Point b) {
  return nint(std::fabs(a.x - b.x) + std::fabs(a.y - b.y));
}

double man_3d_distance(Point a, Point b) {
  return nint(std::fabs(a.x - b.x) + std::fabs(a.y - b.y) + std::fabs(a.z - b.z));
}

// Maximum: each difference is rounded before the largest is taken.
double max_2d_distance(Point a, Point b) {
  return std::max(nint(std::fabs(a.x - b.x)), nint(std::fabs(a.y - b.y)));
}

double max_3d_distance(Point a, Point b) {
  return std::max({nint(std::fabs(a.x - b.x)), nint(std::fabs(a.y - b.y)),
                   nint(std::fabs(a.z - b.z))});
}
