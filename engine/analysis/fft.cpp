#include "engine/analysis/fft.hpp"

#include <fftw3.h>

#include <climits>
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

}  // namespace segue
