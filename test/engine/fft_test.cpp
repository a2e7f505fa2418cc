#include "engine/analysis/fft.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <complex>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

namespace segue {
namespace {

// The definition itself, in 64-bit: bin b = sum of x[i] e^(-2 pi i b i / n).
std::vector<std::complex<double>> naive_dft(const std::vector<float>& x) {
  const std::size_t n = x.size();
  std::vector<std::complex<double>> bins(n / 2 + 1);
  for (std::size_t b = 0; b < bins.size(); ++b) {
    std::complex<double> sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      // Reduced modulo n so the angle stays exact for large products.
      const double angle = -2.0 * std::numbers::pi * static_cast<double>((b * i) % n) / static_cast<double>(n);
      sum += static_cast<double>(x[i]) * std::polar(1.0, angle);
    }
    bins[b] = sum;
  }
  return bins;
}

TEST(RealFft, MatchesANaiveDftUnnormalised) {
  std::mt19937 rng(20240517);
  std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
  for (std::size_t n : {2048u, 1000u, 7u, 1u}) {
    auto fft = RealFft::create(n);
    ASSERT_TRUE(fft) << n;
    ASSERT_EQ(fft->bins(), n / 2 + 1);
    std::vector<float> x(n);
    for (float& v : x) v = sample(rng);
    std::copy(x.begin(), x.end(), fft->input().begin());
    fft->forward();

    const auto expected = naive_dft(x);
    // Single-precision rounding grows with sqrt(n) on random data; an
    // accidental 1/n or 1/sqrt(n) scaling would be off by far more.
    const double tolerance = 1e-5 * std::sqrt(static_cast<double>(n)) + 1e-6;
    for (std::size_t b = 0; b < expected.size(); ++b) {
      const std::complex<double> got(fft->output()[b].real(), fft->output()[b].imag());
      ASSERT_LT(std::abs(got - expected[b]), tolerance) << "n " << n << " bin " << b;
    }
    // The input is still there for a caller that reads it afterwards.
    EXPECT_TRUE(std::equal(x.begin(), x.end(), fft->input().begin())) << n;
  }
}

// The magnitudes must be exactly what std::hypot(float, float) gives, across
// the whole float range: tiny and huge bins, bins that overflow, NaN bins.
TEST(RealFft, MagnitudesAreBitForBitHypot) {
  std::mt19937 rng(99);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-140, 126);
  auto fft = RealFft::create(64);
  ASSERT_TRUE(fft);
  std::vector<float> magnitude(fft->bins());
  for (int round = 0; round < 400; ++round) {
    // One scale per frame keeps bins in a common range; rounds sweep the
    // range, and some mix in a few values far off that scale.
    const int scale = exponent(rng);
    for (float& v : fft->input()) v = std::ldexp(mantissa(rng), scale);
    if (round % 7 == 0) fft->input()[3] = std::ldexp(mantissa(rng), exponent(rng));
    if (round == 1) {  // finite bins whose magnitude overflows to inf
      std::fill(fft->input().begin(), fft->input().end(), 0.0f);
      fft->input()[0] = fft->input()[16] = 0.8f * std::numeric_limits<float>::max();
    }
    if (round == 2) fft->input()[9] = std::nanf("");
    if (round == 3) fft->input()[0] = std::numeric_limits<float>::infinity();
    fft->forward();
    fft->magnitudes(magnitude);
    for (std::size_t b = 0; b < fft->bins(); ++b) {
      const float expected = std::hypot(fft->output()[b].real(), fft->output()[b].imag());
      ASSERT_EQ(std::bit_cast<std::uint32_t>(magnitude[b]), std::bit_cast<std::uint32_t>(expected))
          << "round " << round << " bin " << b << ": " << magnitude[b] << " vs " << expected;
    }
  }
  // A shorter output gets only its own length.
  std::vector<float> few(3, -1.0f);
  fft->magnitudes(few);
  EXPECT_EQ(few[2], std::hypot(fft->output()[2].real(), fft->output()[2].imag()));
}

TEST(RealFft, RejectsSizesItCannotPlan) {
  auto zero = RealFft::create(0);
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error().to_text(), "dsp failure: FFT size must be between 1 and 2147483647, got 0");
  auto huge = RealFft::create(std::size_t{1} << 31);
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().to_text(), "dsp failure: FFT size must be between 1 and 2147483647, got 2147483648");
}

TEST(RealFft, MovedTransformKeepsWorkingAndTheSourceIsInert) {
  auto made = RealFft::create(16);
  ASSERT_TRUE(made);
  RealFft moved = std::move(*made);
  EXPECT_EQ(made->size(), 0u);
  EXPECT_EQ(made->bins(), 0u);
  made->forward();  // must not touch a plan or buffers it no longer owns
  std::vector<float> untouched(4, -1.0f);
  made->magnitudes(untouched);
  EXPECT_EQ(untouched, std::vector<float>(4, -1.0f));

  std::fill(moved.input().begin(), moved.input().end(), 1.0f);
  moved.forward();
  EXPECT_FLOAT_EQ(moved.output()[0].real(), 16.0f);
  EXPECT_FLOAT_EQ(std::abs(moved.output()[3]), 0.0f);

  auto other = RealFft::create(8);
  ASSERT_TRUE(other);
  moved = std::move(*other);  // releases the 16-point plan
  EXPECT_EQ(moved.size(), 8u);
}

// Jobs plan and destroy their transforms on different worker threads at
// the same time; the planner must survive that.
TEST(RealFft, PlansConcurrentlyOnSeveralThreads) {
  constexpr int kThreads = 4;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int round = 0; round < 25; ++round) {
        // Different sizes per thread make the planner build different plans.
        const std::size_t n = 256 + static_cast<std::size_t>(t * 96 + round);
        auto fft = RealFft::create(n);
        if (!fft) {
          ++failures[t];
          continue;
        }
        fft->input()[0] = 1.0f;  // an impulse: every bin is exactly 1
        fft->forward();
        for (const auto& bin : fft->output()) {
          if (std::abs(bin - std::complex<float>(1.0f, 0.0f)) > 1e-6f) ++failures[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace segue
