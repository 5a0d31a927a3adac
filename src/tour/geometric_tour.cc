// The search over coordinates; see geometric_tour.h.
#include "tour/geometric_tour.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numeric>
#include <thread>

#include "tour/chained_search.h"
#include "tour/neighbours.h"
#include "tour/one_tree_bound.h"

namespace {

// The bound's candidate edges are the search's.
using chained_search::CANDIDATES;

// A chain over the candidates; its kicks stay local (see lin_kernighan.cc).
std::vector<int> one_chain(int n, const CoordinateCosts& cost, const std::vector<int>& neighbour,
                           int count, const std::vector<int>& start,
                           const LocalSearchOptions& options) {
  return chained_search::chained_search(n, cost, neighbour, count, start, options, false);
}

using chained_search::order_cost;

// What both threads share: the best tour's cost and bound so far, for progress.
struct Shared {
  std::mutex lock;
  const CoordinateSearchOptions* options = nullptr;
  bool has_best = false;
  int64_t best = 0;
  bool has_bound = false;
  int64_t bound = 0;
  const char* phase = "local search";
};

void report(Shared& shared) {
  if (shared.options->progress) {
    shared.options->progress(shared.options->context, shared.phase, shared.has_best, shared.best,
                             shared.has_bound, shared.bound);
  }
}

void note_tour(void* context, int64_t cost) {
  Shared& shared = *static_cast<Shared*>(context);
  std::lock_guard<std::mutex> hold(shared.lock);
  if (shared.has_best && cost >= shared.best) return;
  shared.has_best = true;
  shared.best = cost;
  report(shared);
}

void note_bound(void* context, int64_t bound) {
  Shared& shared = *static_cast<Shared*>(context);
  std::lock_guard<std::mutex> hold(shared.lock);
  if (shared.has_bound && bound <= shared.bound) return;
  shared.has_bound = true;
  shared.bound = bound;
  report(shared);
}

int64_t best_now(void* context) {
  Shared& shared = *static_cast<Shared*>(context);
  std::lock_guard<std::mutex> hold(shared.lock);
  return shared.best;
}

}  // namespace

std::vector<Site> coordinate_sites(const Problem& problem) {
  std::vector<Site> sites;
  sites.reserve(problem.points.size());
  for (const Point& p : problem.points) {
    if (problem.geometry == GEOMETRY_SPHERE) {
      // Latitude and longitude to a point on the unit sphere: the chord grows with the arc.
      const double latitude = geo_radians(p.x), longitude = geo_radians(p.y);
      sites.push_back({std::cos(latitude) * std::cos(longitude),
                       std::cos(latitude) * std::sin(longitude), std::sin(latitude)});
    } else {
      sites.push_back({p.x, p.y, problem.geometry == GEOMETRY_SPACE ? p.z : 0.0});
    }
  }
  return sites;
}

double cost_per_distance(const Problem& problem) {
  // ATT: the distance over sqrt(10), never rounded down. GEO: the earth's radius times the
  // arc, never rounded down, and the arc is longer than the chord. The others: the distance
  // rounded to nearest or up.
  if (problem.distance == att_distance) return 1.0 / std::sqrt(10.0);
  if (problem.geometry == GEOMETRY_SPHERE) return 6378.388;
  return 1.0;
}

std::vector<int> coordinate_neighbours(const Problem& problem, int count, bool (*stop)()) {
  return nearest_neighbours(coordinate_sites(problem), count, stop);
}

CoordinateSearchResult coordinate_search(const Problem& problem,
                                         const CoordinateSearchOptions& options) {
  const int n = static_cast<int>(problem.dimension);
  const CoordinateCosts cost{problem.points.data(), problem.distance};
  const LocalSearchOptions& search = options.search;
  CoordinateSearchResult result;
  const int count = std::min(CANDIDATES, n - 1);
  const std::vector<Site> sites = coordinate_sites(problem);
  std::vector<int> neighbour = nearest_neighbours(sites, count, search.stop);
  if (neighbour.empty()) {  // stopped: the points in their order, a tour all the same
    result.order.resize(n);
    std::iota(result.order.begin(), result.order.end(), 0);
    result.cost = order_cost(cost, result.order);
    return result;
  }
  // Past this many points the greedy fragments are joined along the k-d tree's order.
  constexpr int JOIN_ALONG_TREE_FROM = 20000;
  std::vector<int> rank;
  if (n >= JOIN_ALONG_TREE_FROM) {
    const std::vector<int> along = spatial_order(sites);
    rank.resize(n);
    for (int k = 0; k < n; ++k) rank[along[k]] = k;
  }
  // The fragments' ends, joined to their nearest other ends: most of them are near one another.
  auto near_ends = [&](const std::vector<int>& ends) {
    std::vector<chained_search::Edge> pairs;
    if (ends.size() < 3) return pairs;
    std::vector<Site> end_sites;
    for (int e : ends) end_sites.push_back(sites[e]);
    const int k = std::min<int>(CANDIDATES, static_cast<int>(ends.size()) - 1);
    const std::vector<int> nearest = nearest_neighbours(end_sites, k);
    for (size_t i = 0; i < ends.size(); ++i) {
      for (int j = 0; j < k; ++j) pairs.push_back({ends[i], ends[nearest[i * k + j]]});
    }
    return pairs;
  };
  const std::vector<int> start = chained_search::greedy_order(
      n, cost, neighbour, count, rank.empty() ? nullptr : &rank, near_ends);
  Shared shared;
  shared.options = &options;
  const int64_t start_cost = order_cost(cost, start);
  note_tour(&shared, start_cost);

  LocalSearchOptions chain = search;
  chain.better = note_tour;
  chain.context = &shared;
  std::vector<int> second_order;
  std::thread second;
  if (options.bound || options.two_chains) {
    second = std::thread([&] {
      if (options.bound) {
        OneTreeOptions ascent;
        ascent.upper = start_cost;
        ascent.upper_now = best_now;
        ascent.stop = search.stop;
        ascent.better = note_bound;
        ascent.context = &shared;
        ascent.sites = &sites;
        ascent.cost_per_distance = cost_per_distance(problem);
        one_tree_bound(n, cost, neighbour, count, ascent);
      }
      if (options.two_chains && !(search.stop && search.stop())) {
        LocalSearchOptions other = chain;
        other.seed = search.seed + 1;
        second_order = one_chain(n, cost, neighbour, count, start, other);
      }
    });
  }
  result.order = one_chain(n, cost, neighbour, count, start, chain);
  if (second.joinable()) second.join();
  result.cost = order_cost(cost, result.order);
  if (!second_order.empty()) {
    const int64_t other = order_cost(cost, second_order);
    if (other < result.cost) {
      result.order = std::move(second_order);
      result.cost = other;
    }
  }
  result.has_bound = shared.has_bound;
  result.lower_bound = shared.bound;
  return result;
}
