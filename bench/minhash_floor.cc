// The arithmetic floor of minhash_signature: for each of N distinct shingle values, the 128
// products a x mod 2^61 - 1 (plus b) and the running minimum, nothing else. No text, no
// tokens, no hashing of bytes. Prints the median processor seconds of ROUNDS runs (the clock
// report.py reads too). Built and run by report.py with the flags of a Release build.
#include <algorithm>
#include <array>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr uint64_t kPrime = (uint64_t{1} << 61) - 1;
constexpr size_t kNumPerm = 128;

uint64_t splitmix(uint64_t& state) {
  state += 0x9E3779B97F4A7C15ULL;
  uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

uint64_t mul_mod(uint64_t a, uint64_t x) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * x;
  const uint64_t r = (static_cast<uint64_t>(product) & kPrime) + static_cast<uint64_t>(product >> 61);
  return r >= kPrime ? r - kPrime : r;
}

uint64_t add_mod(uint64_t a, uint64_t b) {
  const uint64_t r = a + b;
  return r >= kPrime ? r - kPrime : r;
}

double process_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DISTINCT_SHINGLES ROUNDS\n", argv[0]);
    return 2;
  }
  const size_t count = std::strtoull(argv[1], nullptr, 10);
  const int rounds = std::atoi(argv[2]);
  uint64_t state = 0x0123456789ABCDEFULL;
  std::array<uint64_t, kNumPerm> a, b;
  for (size_t i = 0; i < kNumPerm; ++i) {
    a[i] = 1 + splitmix(state) % (kPrime - 1);
    b[i] = splitmix(state) % kPrime;
  }
  std::vector<uint64_t> xs(count);
  for (uint64_t& x : xs) x = splitmix(state) % kPrime;

  std::vector<double> seconds;
  uint64_t sink = 0;  // keeps the minima observable
  for (int r = 0; r < rounds; ++r) {
    const double start = process_seconds();
    std::array<uint64_t, kNumPerm> signature;
    signature.fill(kPrime);
    for (uint64_t x : xs) {
      for (size_t i = 0; i < kNumPerm; ++i) signature[i] = std::min(signature[i], add_mod(mul_mod(a[i], x), b[i]));
    }
    seconds.push_back(process_seconds() - start);
    sink += signature[r % kNumPerm];
  }
  std::sort(seconds.begin(), seconds.end());
  std::printf("%.9f %llu\n", seconds[seconds.size() / 2], static_cast<unsigned long long>(sink));
  return 0;
}
