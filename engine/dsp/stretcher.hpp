// TimeStretcher: the job's holder of one time-stretching and pitch-shifting
// processor (Rubber Band, R3 engine, offline, single-threaded), with its
// scratch lists.
//
// The holder is empty or holds one processor created for a channel count and
// sample rate. The mixer creates it on first use; both tracks of a job use
// it, reset before each use, so neither inherits the other's state; it is
// destroyed with the job. The scratch lists keep their capacity between uses.
// One thread at a time.
//
// Ratios: `stretch` is asked for output frames, not a ratio. Given n_in input
// frames and n_out output frames it plays the input at n_in / n_out: 185220
// frames into 176400 play 1.05 times as fast. (The library's own "time
// ratio" is the inverse, n_out / n_in.)
//
// Allocation: `configure` builds the processor (about a millisecond or two,
// including a short-lived real-time instance that reports the latency);
// `stretch` grows the scratch lists when a larger buffer arrives and
// allocates the returned buffer.
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

  // The processor's working range. Outside it the library loses output or
  // corrupts memory, so `stretch` refuses: output/input frame ratios beyond
  // 16 either way, transposes beyond two octaves either way or not finite.
  static constexpr double kMaxStretchFactor = 16.0;
  static constexpr float kMaxTransposeSemitones = 24.0f;

  // The Dsp error for sizes outside the working range.
  static EngineError block_size_refusal();

  bool has_processor() const;
  // True when it holds a processor created for exactly these.
  bool holds(std::size_t channels, std::uint32_t sample_rate) const;
  // Destroys any processor (and frees the scratch lists) and creates one for
  // `channels` at `sample_rate`. The library takes the channel count as a
  // 32-bit integer and the rate through a 32-bit float; a count of 0 or
  // beyond 2^31 - 1, or a rate of 0, leaves the holder empty (channels and
  // rate 0), so that every `stretch` fails with the configuration error.
  void configure(std::size_t channels, std::uint32_t sample_rate);

  std::size_t channels() const { return channels_; }
  std::uint32_t sample_rate() const { return sample_rate_; }
  // Output latency of the processor in frames: the start delay the library
  // reports for the same engine, channels and rate in real-time mode (1024
  // up to 32 kHz, 2048 at 44.1 and 48 kHz, 4096 at 96 kHz). Outputs shorter
  // than twice it are refused. 0 without a processor.
  std::size_t output_latency() const;

  // Exactly `output_frames` frames of `buffer` time-stretched (playback rate
  // input frames / output frames) and transposed by `semitones`, the first
  // output frame aligned with the first input frame. An empty buffer or
  // output gives silence. Non-finite input samples are read as 0: the
  // library would otherwise spread NaN from that point to the end of the
  // output. Errors: InvalidAudio "stretcher configured for {} channels at {}
  // Hz, got {} at {}" (also without a processor), Dsp "output of {} frames is
  // below the stretcher minimum of {}", Dsp `block_size_refusal()` outside
  // the working range, Dsp "transpose of {} semitones is outside the
  // time-stretching range of -24 to 24" for a transpose outside it or not
  // finite. The holder stays usable after any error.
  Result<AudioBuffer> stretch(const AudioBuffer& buffer, std::size_t output_frames, float semitones);

 private:
  struct Processor;
  // Channel-major (channel c at c x frames), the layout the library reads
  // and writes, so no interleaving pass is needed on either side.
  std::vector<float> input_scratch_;   // input, non-finite samples zeroed
  // Output, zero-filled before each use. Letting the library write straight
  // into the freshly allocated result instead was measured slower: about
  // 35 ms more of each job went to the kernel faulting in fresh pages.
  std::vector<float> output_scratch_;
  std::unique_ptr<Processor> processor_;
  std::size_t channels_ = 0;
  std::uint32_t sample_rate_ = 0;
};

}  // namespace segue
