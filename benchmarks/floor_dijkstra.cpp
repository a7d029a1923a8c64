// The floor of a label-setting search on a network: a plain binary-heap
// Dijkstra in float32 with lazy deletion over the reversed arcs, from every
// destination. Built and run by floor.py.
//
//   floor_dijkstra INPUT REPEAT
//
// INPUT: uint64 arcs, nodes, destinations; uint32 tail[arcs], head[arcs];
// float cost[arcs]; uint32 destination[destinations]. Prints the least
// thread CPU time of REPEAT runs over all destinations, in seconds, and the
// number of nodes settled in a run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <limits>
#include <queue>
#include <utility>
#include <vector>

namespace {

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

template <class T>
void read(std::FILE* f, T* out, std::size_t count) {
  if (std::fread(out, sizeof(T), count, f) != count) {
    std::fprintf(stderr, "short input\n");
    std::exit(2);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s INPUT REPEAT\n", argv[0]);
    return 2;
  }
  std::FILE* f = std::fopen(argv[1], "rb");
  if (f == nullptr) {
    std::perror(argv[1]);
    return 2;
  }
  std::uint64_t sizes[3];
  read(f, sizes, 3);
  const std::size_t m = sizes[0], n = sizes[1], n_dst = sizes[2];
  std::vector<std::uint32_t> tail(m), head(m), dests(n_dst);
  std::vector<float> cost(m);
  read(f, tail.data(), m);
  read(f, head.data(), m);
  read(f, cost.data(), m);
  read(f, dests.data(), n_dst);
  std::fclose(f);

  // Arcs grouped by head: the search runs from the destination backwards.
  std::vector<std::uint32_t> first(n + 1, 0);
  for (std::size_t a = 0; a < m; ++a) ++first[head[a] + 1];
  for (std::size_t v = 0; v < n; ++v) first[v + 1] += first[v];
  std::vector<std::uint32_t> next(first.begin(), first.end() - 1);
  std::vector<std::pair<std::uint32_t, float>> in(m);
  for (std::size_t a = 0; a < m; ++a) in[next[head[a]]++] = {tail[a], cost[a]};

  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> dist(n);
  using Item = std::pair<float, std::uint32_t>;
  std::vector<Item> storage;
  storage.reserve(m + 1);
  std::priority_queue<Item, std::vector<Item>, std::greater<Item>> heap(std::greater<Item>(),
                                                                       std::move(storage));
  double best = std::numeric_limits<double>::infinity();
  std::uint64_t settled = 0;
  const int repeat = std::atoi(argv[2]);
  for (int r = 0; r < repeat; ++r) {
    const double start = cpu_seconds();
    settled = 0;
    for (const std::uint32_t d : dests) {
      dist.assign(n, inf);
      dist[d] = 0.0f;
      heap.push({0.0f, d});
      while (!heap.empty()) {
        const auto [du, u] = heap.top();
        heap.pop();
        if (du > dist[u]) continue;  // a stale entry
        ++settled;
        for (std::uint32_t e = first[u]; e < first[u + 1]; ++e) {
          const auto [v, c] = in[e];
          const float dv = du + c;
          if (dv < dist[v]) {
            dist[v] = dv;
            heap.push({dv, v});
          }
        }
      }
    }
    const double took = cpu_seconds() - start;
    if (took < best) best = took;
  }
  std::printf("%.6f %llu\n", best, static_cast<unsigned long long>(settled));
  return 0;
}
