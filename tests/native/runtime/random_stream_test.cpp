#include "runtime/random_stream.h"

#include <array>    // std::array
#include <cmath>    // std::ldexp
#include <cstddef>  // std::ptrdiff_t
#include <cstdint>  // std::uint32_t, std::uint64_t
#include <set>      // std::set
#include <utility>  // std::pair
#include <vector>   // std::vector

#include <gtest/gtest.h>

#include "runtime/internal_error.h"

namespace gapwright {
namespace {

std::vector<std::uint32_t> words(RandomStream stream, std::size_t count) {
  std::vector<std::uint32_t> out(count);
  for (auto& word : out) word = stream.draw_u32();
  return out;
}

// FNV-1a over the words' bytes, lowest byte first whatever the machine's order.
std::uint64_t digest(const std::vector<std::uint32_t>& words) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const std::uint32_t word : words) {
    for (int shift = 0; shift < 32; shift += 8) {
      hash = (hash ^ ((word >> shift) & 0xFFU)) * 0x100000001b3ULL;
    }
  }
  return hash;
}

// Words a call consumed, measured on the stream's read position and counter.
std::uint64_t words_read(const RandomStream& before, const RandomStream& after) {
  const auto total = [](const RandomStream& s) { return s.block_counter() * 16 - (64 - s.position()); };
  return total(after) - total(before);
}

TEST(random_stream_test, seeding) {
  std::uint64_t state = 0;
  detail::pcg32_next(state);
  EXPECT_EQ(state, 11634580027462260723ULL);

  const RandomStream stream = RandomStream::seed_from_u64(0);
  EXPECT_EQ(stream.position(), RandomStream::kBufferWords);
  EXPECT_EQ(stream.block_counter(), 0U);
}

TEST(random_stream_test, stream_is_chacha12_of_the_pcg_key) {
  // "expand 32-byte k", the eight PCG32 outputs, counter 0, stream 0.
  for (std::uint64_t seed : {0ULL, 1ULL, 0xDEADBEEFCAFEF00DULL}) {
    std::array<std::uint32_t, 16> state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    std::uint64_t pcg = seed;
    for (int i = 4; i < 12; ++i) state[i] = detail::pcg32_next(pcg);
    std::vector<std::uint32_t> expected(128);
    detail::refill_scalar(state, 12, expected.data());
    state[12] = 4;
    detail::refill_scalar(state, 12, expected.data() + 64);
    EXPECT_EQ(words(RandomStream::seed_from_u64(seed), 128), expected) << "seed " << seed;
  }
}

TEST(random_stream_test, refill_moves_counter_and_position) {
  RandomStream stream = RandomStream::seed_from_u64(3);
  stream.draw_u32();
  EXPECT_EQ(stream.position(), 1U);
  EXPECT_EQ(stream.block_counter(), 4U);
  for (int i = 1; i < 64; ++i) stream.draw_u32();
  EXPECT_EQ(stream.position(), 64U);
  EXPECT_EQ(stream.block_counter(), 4U);
  stream.draw_u32();
  EXPECT_EQ(stream.position(), 1U);
  EXPECT_EQ(stream.block_counter(), 8U);
}

TEST(random_stream_test, words_match_the_recorded_digests) {
  // Recorded on x86-64; builds for other processors, which refill with other
  // code, must hand out the same words.
  const std::pair<std::uint64_t, std::uint64_t> recorded[] = {
      {0, 0xD1C5F0861E8ADD05ULL},
      {1, 0x2ACF7F3DFA3CBBF8ULL},
      {42, 0xF57C05698ADCCAEEULL},
      {0xFFFFFFFFFFFFFFFFULL, 0xCAF371B94C5C6370ULL}};
  for (const auto& [seed, expected] : recorded) {
    EXPECT_EQ(digest(words(RandomStream::seed_from_u64(seed), 4096)), expected) << "seed " << seed;
  }
}

TEST(random_stream_test, seek_lands_where_drawing_does) {
  for (const std::uint64_t count : {0ULL, 1ULL, 63ULL, 64ULL, 65ULL, 1000ULL, 4096ULL}) {
    RandomStream drawn = RandomStream::seed_from_u64(5);
    for (std::uint64_t i = 0; i < count; ++i) drawn.draw_u32();
    RandomStream sought = RandomStream::seed_from_u64(5);
    sought.draw_u32();  // seeking from any point, not only the start
    sought.seek(count);
    EXPECT_EQ(sought.words_drawn(), count);
    EXPECT_EQ(drawn.words_drawn(), count);
    for (int i = 0; i < 130; ++i) ASSERT_EQ(sought.draw_u32(), drawn.draw_u32()) << count;
  }
}

TEST(random_stream_test, draw_u64_pairs_words_low_first) {
  const std::vector<std::uint32_t> reference = words(RandomStream::seed_from_u64(21), 200);

  RandomStream stream = RandomStream::seed_from_u64(21);
  for (int i = 0; i < 63; ++i) stream.draw_u32();
  const std::uint64_t straddling = stream.draw_u64();
  EXPECT_EQ(straddling & 0xFFFFFFFFU, reference[63]);
  EXPECT_EQ(straddling >> 32, reference[64]);
  EXPECT_EQ(stream.position(), 1U);
  EXPECT_EQ(stream.block_counter(), 8U);

  // Mixing the two widths loses and reorders nothing, at any parity.
  RandomStream mixed = RandomStream::seed_from_u64(21);
  std::vector<std::uint32_t> seen;
  for (int i = 0; static_cast<std::size_t>(seen.size()) + 2 <= reference.size(); ++i) {
    if (i % 3 == 0) {
      seen.push_back(mixed.draw_u32());
    } else {
      const std::uint64_t v = mixed.draw_u64();
      seen.push_back(static_cast<std::uint32_t>(v));
      seen.push_back(static_cast<std::uint32_t>(v >> 32));
    }
  }
  EXPECT_EQ(seen, std::vector<std::uint32_t>(reference.begin(), reference.begin() + static_cast<std::ptrdiff_t>(seen.size())));
}

TEST(random_stream_test, draw_f64_uses_the_top_53_bits) {
  RandomStream stream = RandomStream::seed_from_u64(77);
  for (int i = 0; i < 100; ++i) {
    RandomStream copy = stream;
    const std::uint64_t v = copy.draw_u64();
    const double f = stream.draw_f64();
    EXPECT_EQ(f, std::ldexp(static_cast<double>(v >> 11), -53));
    EXPECT_GE(f, 0.0);
    EXPECT_LT(f, 1.0);
  }
}

TEST(random_stream_test, random_range_word_use) {
  RandomStream stream = RandomStream::seed_from_u64(5);
  for (int i = 0; i < 130; ++i) {
    const RandomStream before = stream;
    EXPECT_EQ(stream.random_range(1), 0U);
    EXPECT_EQ(words_read(before, stream), 1U);
  }

  // n = 2^32: the 64-bit product's low half never exceeds 2^64 - n, so one
  // 64-bit draw decides and the result is its high word.
  for (int i = 0; i < 50; ++i) {
    RandomStream copy = stream;
    const std::uint64_t x = copy.draw_u64();
    const RandomStream before = stream;
    EXPECT_EQ(stream.random_range(1ULL << 32), x >> 32);
    EXPECT_EQ(words_read(before, stream), 2U);
  }

  // n = 2^32 - 1 on 32-bit words: for x >= 2 the first product gives
  // hi = x - 1 with lo = 2^32 - x, which always needs the second word y, and
  // lo + (y - 1) carries exactly when y > x.
  int checked = 0;
  while (checked < 50) {
    RandomStream copy = stream;
    const std::uint32_t x = copy.draw_u32();
    const std::uint32_t y = copy.draw_u32();
    const RandomStream before = stream;
    const std::uint64_t got = stream.random_range(0xFFFFFFFFULL);
    if (x < 2 || y == 0) continue;
    EXPECT_EQ(got, static_cast<std::uint64_t>(x) - 1 + (y > x ? 1 : 0));
    EXPECT_EQ(words_read(before, stream), 2U);
    ++checked;
  }
}

TEST(random_stream_test, wide_multiply_carries_between_halves) {
  struct Case {
    std::uint64_t a, b, high, low;
  };
  const Case cases[] = {
      {0, 0xFFFFFFFFFFFFFFFFULL, 0, 0},
      {0xFFFFFFFFULL, 0xFFFFFFFFULL, 0, 0xFFFFFFFE00000001ULL},
      {0x100000001ULL, 0x100000001ULL, 1, 0x200000001ULL},
      {0x1FFFFFFFFULL, 0x1FFFFFFFFULL, 3, 0xFFFFFFFC00000001ULL},
      {0xFFFFFFFFFFFFFFFFULL, 0xFFFFFFFFFFFFFFFFULL, 0xFFFFFFFFFFFFFFFEULL, 1},
      {0xFFFFFFFF00000001ULL, 0x80000000FFFFFFFFULL, 0x800000007FFFFFFEULL, 0x80000001FFFFFFFFULL},
      {0xDEADBEEFCAFEF00DULL, 0x0123456789ABCDEFULL, 0x00FD5BDEEEB2A05AULL, 0x25F76468F7EB8523ULL},
  };
  for (const Case& c : cases) {
    for (const auto& [a, b] : {std::pair{c.a, c.b}, std::pair{c.b, c.a}}) {
      const detail::WideProduct product = detail::wide_multiply(a, b);
      EXPECT_EQ(product.high, c.high) << a << " * " << b;
      EXPECT_EQ(product.low, c.low) << a << " * " << b;
    }
  }
}

TEST(random_stream_test, random_range_stays_in_bounds) {
  RandomStream stream = RandomStream::seed_from_u64(8);
  for (std::uint64_t n : {2ULL, 3ULL, 10ULL, 1000ULL, 0x80000001ULL, 0x100000001ULL, 0x8000000000000001ULL,
                          0xFFFFFFFFFFFFFFFFULL}) {
    for (int i = 0; i < 200; ++i) EXPECT_LT(stream.random_range(n), n) << "n " << n;
  }
  std::set<std::uint64_t> seen;
  for (int i = 0; i < 200; ++i) seen.insert(stream.random_range(3));
  EXPECT_EQ(seen, (std::set<std::uint64_t>{0, 1, 2}));
}

TEST(random_stream_test, random_range_of_zero_fails) {
  RandomStream stream = RandomStream::seed_from_u64(1);
  try {
    stream.random_range(0);
    FAIL() << "no failure";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "cannot sample empty range");
  }
  EXPECT_EQ(stream.position(), RandomStream::kBufferWords);
}

TEST(random_stream_test, pick_indices_takes_all_without_drawing) {
  RandomStream stream = RandomStream::seed_from_u64(2);
  stream.draw_u32();
  for (std::uint64_t amount : {5ULL, 6ULL, 100ULL}) {
    EXPECT_EQ(stream.pick_indices(5, amount), (std::vector<std::uint64_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(stream.position(), 1U);
  }
  EXPECT_TRUE(stream.pick_indices(0, 0).empty());
  EXPECT_EQ(stream.position(), 1U);
}

TEST(random_stream_test, pick_indices_draws_once_per_candidate) {
  RandomStream stream = RandomStream::seed_from_u64(13);
  RandomStream replica = stream;
  EXPECT_TRUE(stream.pick_indices(5, 0).empty());
  for (std::uint64_t bound = 1; bound <= 5; ++bound) replica.random_range(bound);
  EXPECT_EQ(stream.position(), replica.position());
  EXPECT_EQ(stream.draw_u32(), replica.draw_u32());

  for (std::uint64_t amount : {1ULL, 3ULL, 9ULL}) {
    replica = stream;
    const std::vector<std::uint64_t> picked = stream.pick_indices(10, amount);
    std::vector<std::uint64_t> expected(amount);
    for (std::uint64_t i = 0; i < amount; ++i) expected[i] = i;
    for (std::uint64_t e = amount; e < 10; ++e) {
      const std::uint64_t k = replica.random_range(e + 1);
      if (k < amount) expected[k] = e;
    }
    EXPECT_EQ(picked, expected) << "amount " << amount;
    EXPECT_EQ(std::set<std::uint64_t>(picked.begin(), picked.end()).size(), amount);
    EXPECT_EQ(stream.draw_u32(), replica.draw_u32());
  }
}

TEST(random_stream_test, same_seed_same_draws) {
  EXPECT_EQ(words(RandomStream::seed_from_u64(42), 300), words(RandomStream::seed_from_u64(42), 300));
  EXPECT_NE(words(RandomStream::seed_from_u64(42), 8), words(RandomStream::seed_from_u64(43), 8));

  RandomStream stream = RandomStream::seed_from_u64(42);
  for (int i = 0; i < 70; ++i) stream.draw_u32();
  const std::vector<std::uint32_t> all = words(RandomStream::seed_from_u64(42), 300);
  EXPECT_EQ(words(stream, 230), std::vector<std::uint32_t>(all.begin() + 70, all.end()));
}

}  // namespace
}  // namespace gapwright
