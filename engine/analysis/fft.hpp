// RealFft: a forward FFT of real input, planned once and run many times.
//
// Scaling: unnormalised. Bin b of the output is the plain sum over the n input
// samples of x[i] * e^(-2 pi i b i / n), for b = 0 ... n / 2; nothing is
// divided by n or sqrt(n). Only the n / 2 + 1 non-redundant bins are kept.
//
// Allocation: `create` allocates the plan and both buffers (SIMD-aligned,
// through FFTW's allocator); `forward` allocates nothing and may run as
// often as needed.
//
// Threading: `create` and the destructor go through FFTW's planner, which is
// not thread-safe by itself; the first `create` in the process makes it so,
// once, so that jobs on different threads may plan and destroy concurrently.
// One RealFft must be used by one thread at a time; distinct RealFft objects
// may run `forward` in parallel.
#pragma once

#include <complex>
#include <cstddef>
#include <span>

#include "engine/error.hpp"

struct fftwf_plan_s;

namespace segue {

class RealFft {
 public:
  // Plans a transform of `size` points (1 ... 2^31 - 1, FFTW counts in int).
  // Fails with EngineError::dsp, "FFT size must be between 1 and 2147483647,
  // got {}" for a size outside that range, or "FFT: cannot plan a transform
  // of {} points" when FFTW cannot allocate or plan. Nothing is left behind
  // after a failure.
  static Result<RealFft> create(std::size_t size);

  ~RealFft();
  RealFft(RealFft&& other) noexcept;
  RealFft& operator=(RealFft&& other) noexcept;
  RealFft(const RealFft&) = delete;
  RealFft& operator=(const RealFft&) = delete;

  std::size_t size() const { return size_; }
  // size / 2 + 1; 0 for a moved-from RealFft.
  std::size_t bins() const { return size_ == 0 ? 0 : size_ / 2 + 1; }

  // The `size` input samples. `forward` leaves them unchanged.
  std::span<float> input() { return {input_, size_}; }
  // The `bins` output bins of the latest `forward`; zero before the first.
  std::span<const std::complex<float>> output() const { return {output_, bins()}; }

  // Transforms `input` into `output`. On a moved-from RealFft (size 0) it
  // does nothing.
  void forward();

  // magnitude[b] = hypot(re, im) of output bin b in 32-bit, bit for bit what
  // std::hypot(float, float) returns, for the first min(bins, size of
  // `magnitude`) bins. Allocates nothing.
  void magnitudes(std::span<float> magnitude) const;

 private:
  RealFft(std::size_t size, fftwf_plan_s* plan, float* input, std::complex<float>* output)
      : size_(size), plan_(plan), input_(input), output_(output) {}
  void release();

  std::size_t size_ = 0;
  fftwf_plan_s* plan_ = nullptr;
  float* input_ = nullptr;
  std::complex<float>* output_ = nullptr;
};

}  // namespace segue
