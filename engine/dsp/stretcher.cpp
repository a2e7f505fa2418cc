#include "engine/dsp/stretcher.hpp"

#include <rubberband/RubberBandStretcher.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "engine/format.hpp"
#include "engine/numeric.hpp"

namespace segue {
namespace {

using RubberBand::RubberBandStretcher;

constexpr RubberBandStretcher::Options kEngineOptions =
    RubberBandStretcher::OptionEngineFiner | RubberBandStretcher::OptionThreadingNever;

// Input goes to the library in blocks of this size, with the output taken
// after each block. Handing it the whole region in one call overflows its
// output ring and silently loses most of the result.
constexpr std::size_t kProcessBlockFrames = 1024;

// The library reports warnings on stderr by default; the engine writes
// nothing but its result, and every condition it would warn about is either
// refused before it reaches the library or harmless.
struct SilentLogger final : RubberBandStretcher::Logger {
  void log(const char*) override {}
  void log(const char*, double) override {}
  void log(const char*, double, double) override {}
};

}  // namespace

struct TimeStretcher::Processor {
  std::unique_ptr<RubberBandStretcher> engine;
  std::size_t latency = 0;
  // Per-channel pointers into the scratch lists, sized once.
  std::vector<const float*> inputs;
  std::vector<float*> outputs;
};

TimeStretcher::TimeStretcher() = default;
TimeStretcher::~TimeStretcher() = default;
TimeStretcher::TimeStretcher(TimeStretcher&&) noexcept = default;
TimeStretcher& TimeStretcher::operator=(TimeStretcher&&) noexcept = default;

EngineError TimeStretcher::block_size_refusal() {
  return EngineError::dsp("the time-stretching processor rejected the requested block sizes");
}

bool TimeStretcher::has_processor() const { return processor_ != nullptr; }

bool TimeStretcher::holds(std::size_t channels, std::uint32_t sample_rate) const {
  return processor_ != nullptr && channels_ == channels && sample_rate_ == sample_rate;
}

void TimeStretcher::configure(std::size_t channels, std::uint32_t sample_rate) {
  processor_.reset();
  std::vector<float>().swap(input_scratch_);
  std::vector<float>().swap(output_scratch_);
  channels_ = 0;
  sample_rate_ = 0;
  if (channels == 0 || channels > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) ||
      sample_rate == 0) {
    return;
  }

  const auto channel_count = static_cast<std::int32_t>(channels);
  const auto rate = static_cast<float>(sample_rate);
  const auto library_rate = saturating_cast<std::size_t>(rate);
  const auto library_channels = static_cast<std::size_t>(channel_count);
  auto logger = std::make_shared<SilentLogger>();

  // Offline mode compensates its delay internally and reports 0, but the
  // minimum output is defined by the delay the same engine has when
  // streaming. A real-time instance costs about a millisecond to build, once
  // per job, and is the only source of that number that follows the library.
  std::size_t latency = 0;
  {
    RubberBandStretcher realtime(library_rate, library_channels, logger,
                                 kEngineOptions | RubberBandStretcher::OptionProcessRealTime);
    latency = realtime.getStartDelay();
  }

  auto processor = std::make_unique<Processor>();
  processor->engine = std::make_unique<RubberBandStretcher>(library_rate, library_channels, logger,
                                                            kEngineOptions | RubberBandStretcher::OptionProcessOffline);
  processor->latency = latency;
  processor->inputs.resize(channels);
  processor->outputs.resize(channels);
  processor_ = std::move(processor);
  channels_ = channels;
  sample_rate_ = sample_rate;
}

std::size_t TimeStretcher::output_latency() const { return processor_ ? processor_->latency : 0; }

Result<AudioBuffer> TimeStretcher::stretch(const AudioBuffer& buffer, std::size_t output_frames, float semitones) {
  if (!processor_ || buffer.channel_count() != channels_ || buffer.sample_rate() != sample_rate_) {
    return std::unexpected(EngineError::invalid_audio(
        "stretcher configured for " + std::to_string(channels_) + " channels at " + std::to_string(sample_rate_) +
        " Hz, got " + std::to_string(buffer.channel_count()) + " at " + std::to_string(buffer.sample_rate())));
  }
  const std::size_t channels = channels_;
  const std::size_t input_frames = buffer.frame_count();
  if (output_frames == 0 || input_frames == 0) return AudioBuffer::silent(channels, output_frames, sample_rate_);

  const std::size_t minimum = 2 * processor_->latency;
  if (output_frames < minimum) {
    return std::unexpected(EngineError::dsp("output of " + std::to_string(output_frames) +
                                            " frames is below the stretcher minimum of " + std::to_string(minimum)));
  }
  const double time_ratio = static_cast<double>(output_frames) / static_cast<double>(input_frames);
  if (!(time_ratio <= kMaxStretchFactor && time_ratio >= 1.0 / kMaxStretchFactor) ||
      output_frames > std::numeric_limits<std::size_t>::max() / channels) {
    return std::unexpected(block_size_refusal());
  }
  if (!(std::fabs(semitones) <= kMaxTransposeSemitones)) {
    return std::unexpected(EngineError::dsp("transpose of " + format_number(semitones) +
                                            " semitones is outside the time-stretching range of -24 to 24"));
  }

  // Channel-major copies. A single NaN or infinity would otherwise turn the
  // output into NaN from its position to the end (the library's spectral
  // smoothing carries it forward), so such samples are read as silence.
  input_scratch_.clear();
  input_scratch_.resize(channels * input_frames);
  for (std::size_t c = 0; c < channels; ++c) {
    std::span<const float> source = buffer.channel(c);
    float* destination = input_scratch_.data() + c * input_frames;
    for (std::size_t f = 0; f < input_frames; ++f) destination[f] = std::isfinite(source[f]) ? source[f] : 0.0f;
  }
  output_scratch_.assign(channels * output_frames, 0.0f);

  RubberBandStretcher& engine = *processor_->engine;
  // The engine eases from the ratios it last had into new ones even across
  // reset(), so the second track would come out differently depending on
  // the first. Returning to the construction ratios first makes every use
  // start from the same state.
  engine.setTimeRatio(1.0);
  engine.setPitchScale(1.0);
  engine.reset();
  engine.setTimeRatio(time_ratio);
  engine.setPitchScale(std::exp2(static_cast<double>(semitones) / 12.0));
  engine.setExpectedInputDuration(input_frames);
  engine.setMaxProcessSize(kProcessBlockFrames);

  std::vector<const float*>& inputs = processor_->inputs;
  std::vector<float*>& outputs = processor_->outputs;
  for (std::size_t c = 0; c < channels; ++c) inputs[c] = input_scratch_.data() + c * input_frames;
  engine.study(inputs.data(), input_frames, true);

  std::size_t produced = 0;
  auto collect = [&] {
    while (produced < output_frames) {
      const int available = engine.available();
      if (available <= 0) return;
      const std::size_t wanted = std::min(static_cast<std::size_t>(available), output_frames - produced);
      for (std::size_t c = 0; c < channels; ++c) outputs[c] = output_scratch_.data() + c * output_frames + produced;
      const std::size_t got = engine.retrieve(outputs.data(), wanted);
      if (got == 0) return;
      produced += got;
    }
  };
  // Once the requested frames are in, the rest of the input can only add
  // output past the end, which would be trimmed anyway.
  for (std::size_t position = 0; position < input_frames && produced < output_frames;) {
    const std::size_t length = std::min(kProcessBlockFrames, input_frames - position);
    for (std::size_t c = 0; c < channels; ++c) inputs[c] = input_scratch_.data() + c * input_frames + position;
    position += length;
    engine.process(inputs.data(), length, position == input_frames);
    collect();
  }
  // Whatever the library fell short of stays zero: the length is the
  // contract.

  std::vector<Channel> result(channels);
  for (std::size_t c = 0; c < channels; ++c) {
    const auto first = output_scratch_.begin() + static_cast<std::ptrdiff_t>(c * output_frames);
    result[c].assign(first, first + static_cast<std::ptrdiff_t>(output_frames));
  }
  return AudioBuffer::create(std::move(result), sample_rate_);
}

}  // namespace segue
