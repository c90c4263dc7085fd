// Reading and writing speed of the Newick reader/writer on the real tree files
// and on generated trees, against a plain memchr scan for ';' over the same
// bytes in the same run; distance-matrix times for random trees.
//
//   bench_newick [DATA_DIR] [EXTRA_FILE...]
//
// DATA_DIR defaults to the shared data folder beside the repository, found
// from this source file's own place. Random and caterpillar trees of 10^6
// leaves are made by make_trees.py (in DATA_DIR/../tools) into fresh
// temporary files, removed again at the end.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tree/distance_matrix.hpp"
#include "tree/length_text.hpp"
#include "tree/newick.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Best wall time of `reps` runs, in seconds.
double best_of(int reps, const std::function<void()>& f) {
  double best = 1e300;
  for (int i = 0; i < reps; ++i) {
    const auto t0 = Clock::now();
    f();
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (s < best) best = s;
  }
  return best;
}

bool read_file(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream buf;
  buf << in.rdbuf();
  out = buf.str();
  return true;
}

volatile size_t sink;

size_t memchr_scan(const std::string& text) {
  size_t n = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  while (const void* q = std::memchr(p, ';', static_cast<size_t>(end - p))) {
    ++n;
    p = static_cast<const char*>(q) + 1;
  }
  return n;
}

void bench_file(const std::string& label, const std::string& text) {
  const double mb = static_cast<double>(text.size()) / 1e6;
  const int reps = text.size() > 50'000'000 ? 3 : 15;
  const double scan = best_of(reps * 3, [&] { sink = memchr_scan(text); });
  auto parsed = qb::parse_newick_trees(text, false);
  if (!parsed.ok()) {
    std::printf("%-42s  %s\n", label.c_str(), parsed.error().c_str());
    return;
  }
  // Results are kept until after the timing, so that it measures the
  // reading and not the freeing of the previous result.
  std::vector<qb::ParsedTrees> keep;
  keep.reserve(static_cast<size_t>(reps));
  const double read = best_of(reps, [&] { keep.push_back(qb::parse_newick_trees(text, false).value()); });
  keep.clear();
  std::string written;
  const double write = best_of(reps, [&] {
    written = qb::to_newick_string(parsed->trees, parsed->taxon_set);
  });
  size_t nodes = 0;
  size_t bytes = 0;
  for (const qb::Tree& t : parsed->trees) {
    nodes += t.node_count();
    bytes += t.taxa.capacity() * 4 + t.parents.capacity() * 4 + t.support.capacity() * 8 +
             t.lengths.capacity() * 8 + t.firstchild.capacity() * 4 + t.nextsib.capacity() * 4 +
             t.childcount.capacity() * 4 + sizeof(qb::Tree);
  }
  std::printf("%-40s %6.2f MB %5zu trees  read %6.0f MB/s  memchr %6.0f MB/s  write %6.0f MB/s  "
              "write:read speed %4.2f  %4.1f B/node\n",
              label.c_str(), mb, parsed->trees.size(), mb / read, mb / scan,
              static_cast<double>(written.size()) / 1e6 / write, read / write,
              static_cast<double>(bytes) / static_cast<double>(nodes));
}

// Text made by make_trees.py with `args`, through a fresh temporary file.
std::string generated(const std::filesystem::path& tools, const std::string& args) {
  std::string path = (std::filesystem::temp_directory_path() / "qb_bench_XXXXXX").string();
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return {};
  ::close(fd);
  const std::string cmd = "python3 '" + (tools / "make_trees.py").string() + "' " + args + " > '" + path + "'";
  std::string text;
  if (std::system(cmd.c_str()) != 0 || !read_file(path, text)) text.clear();
  std::filesystem::remove(path);
  return text;
}

// Random binary tree over names t0..t{n-1}, joined bottom-up like make_trees.py.
qb::Tree random_tree(uint64_t leaves, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> parts;
  parts.reserve(leaves);
  for (uint64_t i = 0; i < leaves; ++i) parts.push_back("t" + std::to_string(i));
  while (parts.size() > 1) {
    const size_t i = rng() % parts.size();
    std::string a = std::move(parts[i]);
    parts[i] = std::move(parts.back());
    parts.pop_back();
    const size_t j = rng() % parts.size();
    parts[j] = "(" + a + "," + parts[j] + ")";
  }
  qb::TaxonSet ts;
  return qb::parse_newick_tree(ts, parts[0] + ";");
}

// ns per length text, fast paths and the general algorithm, on 6-decimal
// lengths (as make_trees.py writes them) and on full-precision ones.
void bench_length_texts() {
  std::mt19937_64 rng(9);
  std::vector<double> short_ones, full_ones;
  for (int i = 0; i < 1'000'000; ++i) {
    short_ones.push_back(static_cast<double>(rng() % 1'000'000) / 1e6);
    full_ones.push_back(std::ldexp(static_cast<double>(rng() >> 11), -53));
  }
  char buf[qb::kMaxLengthText];
  for (const auto& [label, values] : {std::pair{"6 decimals", &short_ones}, std::pair{"full precision", &full_ones}}) {
    const double n = static_cast<double>(values->size());
    const double fast = best_of(5, [&] {
      for (double v : *values) sink = static_cast<size_t>(qb::write_length_text(v, buf) - buf);
    });
    const double ref = best_of(5, [&] {
      for (double v : *values) sink = qb::shortest_decimal_reference(v).digits;
    });
    std::printf("length text, %-15s %6.1f ns (general algorithm alone, digits only: %6.1f ns)\n", label,
                fast * 1e9 / n, ref * 1e9 / n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path here = std::filesystem::path(__FILE__).parent_path();
  const std::string dir = argc > 1 ? argv[1] : (here / "../../../shared/data").lexically_normal().string();
  const char* files[] = {"bees32_genetrees.tre",
                         "mammals37_genetrees.tre",
                         "mammals37_astral_testdata_genetrees.tre",
                         "palaeognathae15_intron_genetrees.tre",
                         "plants103_1kp_genetrees.tre",
                         "sim100_bootstrap_genetrees.tre",
                         "wol10575_species_astral.nwk"};
  std::string text;
  std::string all;
  for (const char* f : files) {
    if (!read_file(dir + "/" + f, text)) {
      std::printf("%-42s  (missing)\n", f);
      continue;
    }
    bench_file(f, text);
    all += text;
  }
  if (!all.empty()) bench_file("all of the above, concatenated", all);

  const std::filesystem::path tools = std::filesystem::path(dir) / "../tools";
  text = generated(tools, "random 100000 --lengths --seed 5");
  if (!text.empty()) bench_file("random 10^5 leaves, lengths", text);
  text = generated(tools, "random 1000000 --lengths");
  if (!text.empty()) bench_file("random 10^6 leaves, lengths", text);
  text = generated(tools, "caterpillar 1000000");
  if (!text.empty()) bench_file("caterpillar 10^6 leaves", text);
  for (int i = 2; i < argc; ++i)
    if (read_file(argv[i], text)) bench_file(argv[i], text);

  std::printf("\n");
  bench_length_texts();
  std::printf("\ndistance matrix (random binary trees; literal = pairwise lists at each LCA)\n");
  for (uint64_t n : {1000u, 5000u, 10000u}) {
    const qb::Tree t = random_tree(n, 42);
    const double fast = best_of(n >= 10000 ? 3 : 5, [&] { sink = qb::distance_matrix(t).distances.size(); });
    const double lists =
        best_of(n >= 10000 ? 1 : 3, [&] { sink = qb::distance_matrix_by_lists(t).distances.size(); });
    const double cells = static_cast<double>(n) * static_cast<double>(n - 1) / 2;
    std::printf("  %6llu leaves: %9.2f ms (%5.2f ns/cell)   literal %9.2f ms\n",
                static_cast<unsigned long long>(n), fast * 1e3, fast * 1e9 / cells, lists * 1e3);
  }
  // Zero-filling the cells alone, the floor for the exact allocation.
  const double zero = best_of(3, [] { sink = std::vector<double>(49995000).size(); });
  std::printf("  zero-filled 10^4-leaf storage alone, 4 KiB pages: %.2f ms\n", zero * 1e3);
  return 0;
}
