// Key sort throughput: N callbook name keys (FAM_+IM_+OTCH_, 55 bytes, as
// the FIO tag builds them), N country keys (STRANA_, 20 bytes, mostly one
// value: equal keys ordered by record number) and N numeric keys through
// TktSort, beside
// std::sort of the same encoded keys (value bytes + record number) in the
// same run. Both orders are checked to agree.
//
//   key_sort_bench [--keys N]
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "engine/engine.h"
#include "index/key_sort.h"
#include "platform/codepage.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

constexpr int kFamWidth = 20, kImWidth = 15, kOtchWidth = 20;
constexpr int kFioWidth = kFamWidth + kImWidth + kOtchWidth;  // 55
constexpr int kStranaWidth = 20;

void PutBigEndian(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

std::string Field(const std::string& utf8, int width) {
  std::string s = plat::Utf8ToOem(utf8);
  s.resize(static_cast<size_t>(width), ' ');
  return s;
}

struct SortResult {
  std::vector<int32_t> order;  // record numbers as delivered
  size_t runs = 0;
  size_t memory = 0;  // pool blocks and run pages when retrieval began
};

// Adds keys 1..n made by `make` (which fills a TktVariant) and takes them
// all back, timing both phases.
template <typename Make>
SortResult RunTktSort(const char* what, int32_t max_key, long long n, Make make) {
  SortResult r;
  tessera::TktSort sort(max_key, nullptr, true, false);
  tessera::TktVariant key(256);
  bench::Stopwatch all;
  for (long long i = 0; i < n; ++i) {
    make(i, key);
    sort.AddKey(key, static_cast<int32_t>(i + 1));
  }
  const double add_s = all.Seconds();
  r.memory = sort.MemoryBytes();
  r.order.reserve(static_cast<size_t>(n));
  int32_t recno = 0;
  bench::Stopwatch take;
  while (sort.NextKey(key, recno)) r.order.push_back(recno);
  const double take_s = take.Seconds();
  r.runs = sort.RunCount();
  bench::Report(std::string("TktSort ") + what + ": add", static_cast<double>(n), add_s, "keys");
  bench::Report(std::string("TktSort ") + what + ": merge and deliver", static_cast<double>(n), take_s, "keys");
  bench::Report(std::string("TktSort ") + what + ": total", static_cast<double>(n), add_s + take_s, "keys");
  std::printf("    %zu runs, %.1f MiB in node pool and run pages when retrieval began\n", r.runs,
              static_cast<double>(r.memory) / (1024.0 * 1024.0));
  return r;
}

// std::sort of fixed-size slots holding the encoded keys (length byte
// first), timed from encoding to the ordered record numbers.
template <size_t kSlot, typename Encode>
std::vector<int32_t> RunStdSort(const char* what, long long n, Encode encode) {
  std::vector<int32_t> order;
  order.reserve(static_cast<size_t>(n));
  bench::Stopwatch w;
  std::vector<std::array<uint8_t, kSlot>> keys(static_cast<size_t>(n));
  for (long long i = 0; i < n; ++i) {
    auto& k = keys[static_cast<size_t>(i)];
    const int len = encode(i, k.data() + 1);
    PutBigEndian(k.data() + 1 + len, static_cast<uint32_t>(i + 1));
    k[0] = static_cast<uint8_t>(len + 4);
  }
  std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
    const int m = std::min(a[0], b[0]);
    const int c = std::memcmp(a.data() + 1, b.data() + 1, static_cast<size_t>(m));
    return c != 0 ? c < 0 : a[0] < b[0];
  });
  for (const auto& k : keys) {
    const uint8_t* p = k.data() + 1 + k[0] - 4;
    const uint32_t recno = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    order.push_back(static_cast<int32_t>(recno));
  }
  bench::Report(std::string("std::sort ") + what + " (encoded keys)", static_cast<double>(n), w.Seconds(), "keys");
  return order;
}

}  // namespace

int main(int argc, char** argv) {
  long long n = 1000000;
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::string(argv[i]) == "--keys") n = std::atoll(argv[i + 1]);
  tessera::EngineScope engine;

  // The keys are made first so that only the sorting is timed.
  std::string fio(static_cast<size_t>(n) * kFioWidth, ' ');
  std::string strana(static_cast<size_t>(n) * kStranaWidth, ' ');
  {
    pyx_sample::CardGenerator gen(1);
    for (long long i = 0; i < n; ++i) {
      const pyx_sample::Card c = gen.Make(i, n);
      const std::string k = Field(c[1], kFamWidth) + Field(c[2], kImWidth) + Field(c[3], kOtchWidth);
      fio.replace(static_cast<size_t>(i) * kFioWidth, kFioWidth, k);
      strana.replace(static_cast<size_t>(i) * kStranaWidth, kStranaWidth, Field(c[10], kStranaWidth));
    }
  }
  std::vector<double> numbers(static_cast<size_t>(n));
  {
    // Amounts with two decimals over a wide range, a tenth of them negative.
    uint64_t s = 12345;
    for (auto& d : numbers) {
      s = s * 6364136223846793005ULL + 1442695040888963407ULL;
      const double v = static_cast<double>((s >> 20) % 100000000) / 100.0;
      d = ((s >> 60) == 0 ? -v : v) * std::pow(10.0, static_cast<double>((s >> 8) % 7) - 3);
    }
  }
  std::printf("%lld keys; start: peak %.1f MiB\n", n, bench::PeakMiB());

  auto fio_key = [&](long long i, tessera::TktVariant& key) {
    key.SetText(std::string_view(fio.data() + static_cast<size_t>(i) * kFioWidth, kFioWidth));
  };
  const SortResult t1 = RunTktSort("FIO keys (55 bytes)", kFioWidth + 1, n, fio_key);
  const std::vector<int32_t> s1 = RunStdSort<64>("FIO keys", n, [&](long long i, uint8_t* out) {
    const char* p = fio.data() + static_cast<size_t>(i) * kFioWidth;
    int len = kFioWidth;
    while (len > 0 && p[len - 1] == ' ') --len;
    std::memcpy(out, p, static_cast<size_t>(len));
    return len;
  });
  std::printf("    orders agree: %s\n", t1.order == s1 ? "yes" : "NO");

  auto strana_key = [&](long long i, tessera::TktVariant& key) {
    key.SetText(std::string_view(strana.data() + static_cast<size_t>(i) * kStranaWidth, kStranaWidth));
  };
  const SortResult t3 = RunTktSort("STRANA_ keys (20 bytes)", kStranaWidth + 1, n, strana_key);
  const std::vector<int32_t> s3 = RunStdSort<32>("STRANA_ keys", n, [&](long long i, uint8_t* out) {
    const char* p = strana.data() + static_cast<size_t>(i) * kStranaWidth;
    int len = kStranaWidth;
    while (len > 0 && p[len - 1] == ' ') --len;
    std::memcpy(out, p, static_cast<size_t>(len));
    return len;
  });
  std::printf("    orders agree: %s\n", t3.order == s3 ? "yes" : "NO");

  auto num_key = [&](long long i, tessera::TktVariant& key) { key.SetNumber(numbers[static_cast<size_t>(i)]); };
  const SortResult t2 = RunTktSort("numeric keys", 9, n, num_key);
  const std::vector<int32_t> s2 = RunStdSort<16>("numeric keys", n, [&](long long i, uint8_t* out) {
    uint64_t bits;
    std::memcpy(&bits, &numbers[static_cast<size_t>(i)], sizeof bits);
    bits = (bits >> 63) != 0 ? ~bits : bits | (uint64_t{1} << 63);
    PutBigEndian(out, static_cast<uint32_t>(bits >> 32));
    PutBigEndian(out + 4, static_cast<uint32_t>(bits));
    return 8;
  });
  std::printf("    orders agree: %s\n", t2.order == s2 ? "yes" : "NO");
  return (t1.order == s1 && t2.order == s2 && t3.order == s3) ? 0 : 1;
}
