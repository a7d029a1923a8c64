#include "core/common.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <thread>

#include <unistd.h>

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/task_arena.h>

namespace lumo {

namespace {

// The process that started the pool; 0 before any computation.
std::atomic<pid_t> pool_owner{0};

std::string thread_name() {
  std::ostringstream out;
  out << "thread " << std::this_thread::get_id();
  if (pool_owner.load(std::memory_order_relaxed) == ::getpid()) {
    int slot = tbb::this_task_arena::current_thread_index();
    if (slot >= 0) out << " (pool slot " << slot << ")";
  }
  return out.str();
}

// Parses a positive decimal integer the way an environment setting is read:
// optional '+', digits only, no surrounding space; 0 when it is none. A value
// too large for a machine word saturates (it is capped anyway).
std::size_t parse_thread_count(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  if (*p == '+') ++p;
  if (*p == '\0') return 0;
  std::size_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    std::size_t digit = static_cast<std::size_t>(*p - '0');
    if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) {
      value = std::numeric_limits<std::size_t>::max();
    } else {
      value = value * 10 + digit;
    }
  }
  return value;
}

std::size_t processors() {
  return static_cast<std::size_t>(std::max(1, tbb::info::default_concurrency()));
}

pid_t start_pool() {
  // More threads than processors never run at once on the default arena, and
  // the pool's per-slot state grows with the limit: cap it there.
  std::size_t n = parse_thread_count(std::getenv("RAYON_NUM_THREADS"));
  if (n != 0) {
    n = std::min(n, processors());
    // Never destroyed: the pool lives until the process ends.
    new tbb::global_control(tbb::global_control::max_allowed_parallelism, n);
  }
  const pid_t self = ::getpid();
  pool_owner.store(self);
  return self;
}

}  // namespace

Panic make_panic(std::string message, std::source_location where) {
  // Report positions relative to the project. The build maps the project
  // folder away; should a compiler keep a full path, the project's own src/ is
  // the last one in it (an enclosing folder may be called src too).
  const char* file = where.file_name();
  if (file[0] == '/') {
    for (const char* p = std::strstr(file, "/src/"); p != nullptr; p = std::strstr(p + 1, "/src/")) {
      file = p + 1;
    }
  }
  return Panic(std::move(message), file, where.line(), thread_name());
}

std::string out_of_bounds(std::size_t len, std::size_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}

bool ensure_pool() {
  static const pid_t owner = start_pool();
  return owner == ::getpid();
}

int thread_limit(std::size_t requested) {
  return static_cast<int>(std::min(std::max<std::size_t>(requested, 1), processors()));
}

std::size_t physical_memory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES), size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || size <= 0) return 0;
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(size);
}

std::size_t checked_count(std::size_t a, std::size_t b, std::size_t elem_size) {
  std::size_t count = 0, bytes = 0;
  if (__builtin_mul_overflow(a, b, &count) || __builtin_mul_overflow(count, elem_size, &bytes) ||
      bytes > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
    panic(kCapacityOverflow);
  }
  return count;
}

ArcIndex index_arcs(std::span<const Index> node_of, Index n_nodes) {
  ArcIndex index;
  index.offsets.assign(n_nodes + 1, 0);
  for (Index v : node_of) ++index.offsets[v + 1];
  for (Index v = 0; v < n_nodes; ++v) index.offsets[v + 1] += index.offsets[v];
  index.arcs.resize(node_of.size());
  std::vector<std::uint32_t> next(index.offsets.begin(), index.offsets.end() - 1);
  for (std::size_t a = 0; a < node_of.size(); ++a) {
    index.arcs[next[node_of[a]]++] = static_cast<std::uint32_t>(a);
  }
  return index;
}

std::string float_text(float v) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

}  // namespace lumo
