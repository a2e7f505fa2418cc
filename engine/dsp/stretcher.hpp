// TimeStretcher: the job's holder of one time-stretching and pitch-shifting
// processor, with its interleaving scratch lists.
//
// The holder is empty or holds one processor created for a channel count and
// sample rate. The mixer creates it on first use; both tracks of a job use
// it, reset before each use; it is destroyed with the job. The scratch lists
// keep their capacity between uses. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/audio/buffer.hpp"
#include "engine/error.hpp"

namespace segue {

class TimeStretcher {
 public:
  TimeStretcher();
  ~TimeStretcher();
  TimeStretcher(TimeStretcher&&) noexcept;
  TimeStretcher& operator=(TimeStretcher&&) noexcept;

  bool has_processor() const;
  // True when it holds a processor created for exactly these.
  bool holds(std::size_t channels, std::uint32_t sample_rate) const;
  // Destroys any processor (and frees the scratch lists) and creates one for
  // `channels` at `sample_rate`.
  void configure(std::size_t channels, std::uint32_t sample_rate);

  std::size_t channels() const { return channels_; }
  std::uint32_t sample_rate() const { return sample_rate_; }
  // Output latency of the processor in frames; outputs shorter than twice it
  // are refused. 0 without a processor.
  std::size_t output_latency() const;

  // Exactly `output_frames` frames of `buffer` time-stretched (playback rate
  // input frames / output frames) and transposed by `semitones`, the first
  // output frame aligned with the first input frame. Errors: InvalidAudio
  // "stretcher configured for {} channels at {} Hz, got {} at {}", Dsp
  // "output of {} frames is below the stretcher minimum of {}", Dsp when the
  // processor refuses the block sizes.
  Result<AudioBuffer> stretch(const AudioBuffer& buffer, std::size_t output_frames, float semitones);

 private:
  struct Processor;
  std::vector<float> input_scratch_;   // interleaved input
  std::vector<float> output_scratch_;  // interleaved output
  std::unique_ptr<Processor> processor_;
  std::size_t channels_ = 0;
  std::uint32_t sample_rate_ = 0;
};

}  // namespace segue
