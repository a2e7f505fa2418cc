#include "engine/analysis/fft.hpp"

#include <fftw3.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace segue {
namespace {

// FFTW's planner keeps process-wide tables; several jobs plan at once on
// different workers, so it has to lock. Making it thread-safe is itself not
// thread-safe, hence the one-time initialisation.
void make_planner_thread_safe() {
  static const bool done = [] {
    fftwf_make_planner_thread_safe();
    return true;
  }();
  (void)done;
}

}  // namespace

Result<RealFft> RealFft::create(std::size_t size) {
  if (size == 0 || size > static_cast<std::size_t>(INT_MAX)) {
    return std::unexpected(
        EngineError::dsp("FFT size must be between 1 and 2147483647, got " + std::to_string(size)));
  }
  make_planner_thread_safe();

  const std::size_t bins = size / 2 + 1;
  auto* input = static_cast<float*>(fftwf_malloc(size * sizeof(float)));
  auto* raw_output = static_cast<fftwf_complex*>(fftwf_malloc(bins * sizeof(fftwf_complex)));
  fftwf_plan plan = nullptr;
  if (input != nullptr && raw_output != nullptr) {
    // FFTW_ESTIMATE plans without touching the buffers and without timing
    // trial runs, so every job gets the same plan quickly.
    plan = fftwf_plan_dft_r2c_1d(static_cast<int>(size), input, raw_output, FFTW_ESTIMATE);
  }
  if (plan == nullptr) {
    fftwf_free(input);
    fftwf_free(raw_output);
    return std::unexpected(
        EngineError::dsp("FFT: cannot plan a transform of " + std::to_string(size) + " points"));
  }
  std::memset(input, 0, size * sizeof(float));
  std::memset(raw_output, 0, bins * sizeof(fftwf_complex));
  // std::complex<float> is specified to have the layout of float[2], the
  // same as fftwf_complex; the objects are begun here so that reading them
  // as std::complex is defined.
  auto* output = reinterpret_cast<std::complex<float>*>(raw_output);
  for (std::size_t b = 0; b < bins; ++b) new (output + b) std::complex<float>(0.0f, 0.0f);
  return RealFft(size, plan, input, output);
}

RealFft::~RealFft() { release(); }

RealFft::RealFft(RealFft&& other) noexcept
    : size_(std::exchange(other.size_, 0)),
      plan_(std::exchange(other.plan_, nullptr)),
      input_(std::exchange(other.input_, nullptr)),
      output_(std::exchange(other.output_, nullptr)) {}

RealFft& RealFft::operator=(RealFft&& other) noexcept {
  if (this != &other) {
    release();
    size_ = std::exchange(other.size_, 0);
    plan_ = std::exchange(other.plan_, nullptr);
    input_ = std::exchange(other.input_, nullptr);
    output_ = std::exchange(other.output_, nullptr);
  }
  return *this;
}

void RealFft::release() {
  // Destroying a plan also enters the planner; it was made thread-safe by
  // the `create` that produced this plan.
  if (plan_ != nullptr) fftwf_destroy_plan(plan_);
  fftwf_free(input_);
  fftwf_free(output_);
  plan_ = nullptr;
  input_ = nullptr;
  output_ = nullptr;
  size_ = 0;
}

void RealFft::forward() {
  // A moved-from transform has no plan; running it is a no-op, not a crash.
  if (plan_ == nullptr) return;
  // The new-array execute on the very buffers the plan was made for, so the
  // alignment FFTW requires of new arrays holds by construction.
  fftwf_execute_dft_r2c(plan_, input_, reinterpret_cast<fftwf_complex*>(output_));
}

void RealFft::magnitudes(std::span<float> magnitude) const {
  const std::size_t count = std::min(bins(), magnitude.size());
  const std::complex<float>* bin = output_;
  float* out = magnitude.data();
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 35))
  // glibc's hypotf (since 2.35) is, for finite arguments, exactly
  // sqrt(double(x)^2 + double(y)^2) rounded to float: both squares are exact
  // in 64-bit, then one rounded sum and one rounded root. A frame has 1,025
  // bins, and a library call each costs about as much as the transform.
  // Verified against the library bit for bit by the tests.
  constexpr std::uint32_t kExponent = 0x7f800000u;  // all set: infinity or NaN
  bool all_finite = true;
  std::size_t b = 0;
#if defined(__SSE2__)
  // Two bins at a time. The square root is correctly rounded in either
  // form, so the packed one gives the scalar one's bits.
  const float* interleaved = reinterpret_cast<const float*>(bin);
  const __m128i exponent = _mm_set1_epi32(static_cast<int>(kExponent));
  __m128i non_finite = _mm_setzero_si128();
  for (; b + 2 <= count; b += 2) {
    const __m128 pair = _mm_loadu_ps(interleaved + 2 * b);           // re0 im0 re1 im1
    const __m128d first = _mm_cvtps_pd(pair);                        // re0 im0
    const __m128d second = _mm_cvtps_pd(_mm_movehl_ps(pair, pair));  // re1 im1
    const __m128d first_sq = _mm_mul_pd(first, first);
    const __m128d second_sq = _mm_mul_pd(second, second);
    const __m128d sum = _mm_add_pd(_mm_unpacklo_pd(first_sq, second_sq), _mm_unpackhi_pd(first_sq, second_sq));
    const __m128 root = _mm_cvtpd_ps(_mm_sqrt_pd(sum));  // upper two lanes are 0
    _mm_storel_pi(reinterpret_cast<__m64*>(out + b), root);
    const __m128i bits = _mm_and_si128(_mm_castps_si128(root), exponent);
    non_finite = _mm_or_si128(non_finite, _mm_cmpeq_epi32(bits, exponent));
  }
  all_finite = _mm_movemask_epi8(non_finite) == 0;
#endif
  for (; b < count; ++b) {
    const double re = static_cast<double>(bin[b].real());
    const double im = static_cast<double>(bin[b].imag());
    out[b] = static_cast<float>(std::sqrt(re * re + im * im));
    all_finite = all_finite && (std::bit_cast<std::uint32_t>(out[b]) & kExponent) != kExponent;
  }
  if (all_finite) return;
  // Infinite or NaN bins, and sums beyond the float range, take the
  // library's own rules (and errno).
  for (b = 0; b < count; ++b) {
    if (!std::isfinite(out[b])) out[b] = std::hypot(bin[b].real(), bin[b].imag());
  }
#else
  for (std::size_t b = 0; b < count; ++b) out[b] = std::hypot(bin[b].real(), bin[b].imag());
#endif
}

}  // namespace segue
