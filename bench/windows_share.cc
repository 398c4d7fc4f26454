// The windows' share of the id 41 builder's fingerprint: Fingerprint::compute (whole text and
// windows) against Fingerprint::compute_whole on each text file named, the two taking turns
// in every round. Prints "compute_ms whole_ms" (medians of processor time, the clock the Python
// side reads too) per file. Built and run by bench_soft_binding.py, since no Python function
// computes the windows alone.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "simhash.h"

namespace {

double process_milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return 1e3 * static_cast<double>(now.tv_sec) + 1e-6 * static_cast<double>(now.tv_nsec);
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

template <typename F>
double milliseconds(F&& run) {
  const double start = process_milliseconds();
  run();
  return process_milliseconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s ROUNDS FILE...\n", argv[0]);
    return 2;
  }
  const int rounds = std::atoi(argv[1]);
  for (int f = 2; f < argc; ++f) {
    std::ifstream in(argv[f], std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    std::vector<double> compute, whole;
    size_t sink = 0;  // keeps the results observable
    for (int r = 0; r < rounds; ++r) {
      compute.push_back(milliseconds([&] { sink += quelvane::simhash::Fingerprint::compute(text).windows.size(); }));
      whole.push_back(milliseconds([&] { sink += quelvane::simhash::Fingerprint::compute_whole(text).bytes[0]; }));
    }
    std::printf("%.6f %.6f %zu\n", median(compute), median(whole), sink);
  }
  return 0;
}
