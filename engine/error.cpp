#include "engine/error.hpp"

#include <utility>

namespace segue {

EngineError::EngineError(Kind kind, std::string message, std::uint64_t first, std::uint64_t second)
    : kind_(kind), message_(std::move(message)), first_(first), second_(second) {}

EngineError EngineError::invalid_audio(std::string message) {
  return {Kind::InvalidAudio, std::move(message), 0, 0};
}
EngineError EngineError::invalid_beat_analysis(std::string message) {
  return {Kind::InvalidBeatAnalysis, std::move(message), 0, 0};
}
EngineError EngineError::unsupported_configuration(std::string message) {
  return {Kind::UnsupportedConfiguration, std::move(message), 0, 0};
}
EngineError EngineError::sample_rate_mismatch(std::uint32_t outgoing_hz, std::uint32_t incoming_hz) {
  return {Kind::SampleRateMismatch, {}, outgoing_hz, incoming_hz};
}
EngineError EngineError::channel_count_mismatch(std::uint64_t outgoing, std::uint64_t incoming) {
  return {Kind::ChannelCountMismatch, {}, outgoing, incoming};
}
EngineError EngineError::no_viable_transition(std::string message) {
  return {Kind::NoViableTransition, std::move(message), 0, 0};
}
EngineError EngineError::dsp(std::string message) { return {Kind::Dsp, std::move(message), 0, 0}; }

std::string EngineError::to_text() const {
  switch (kind_) {
    case Kind::InvalidAudio:
      return "invalid audio: " + message_;
    case Kind::InvalidBeatAnalysis:
      return "invalid beat analysis: " + message_;
    case Kind::UnsupportedConfiguration:
      return "unsupported configuration: " + message_;
    case Kind::SampleRateMismatch:
      return "sample rate mismatch: outgoing is " + std::to_string(first_) + " Hz, incoming is " +
             std::to_string(second_) + " Hz, and resampling is disabled";
    case Kind::ChannelCountMismatch:
      return "channel count mismatch: outgoing has " + std::to_string(first_) + ", incoming has " +
             std::to_string(second_) + ", and neither is mono";
    case Kind::NoViableTransition:
      return "no viable transition found: " + message_;
    case Kind::Dsp:
      return "dsp failure: " + message_;
  }
  return message_;
}

}  // namespace segue
