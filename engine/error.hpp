// The engine's single error type.
//
// Every engine operation that can fail returns `Result<T>` (or `Status` when
// there is no value). Errors pass through callers unchanged: no layer adds
// context or changes the kind. The job turns the first error it meets into
// `to_text()`, which is exactly what a JavaScript caller reads in `rejected`.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace segue {

class EngineError {
 public:
  // Numbered in this order; the tag is part of the error's identity.
  enum class Kind : std::uint8_t {
    InvalidAudio = 0,
    InvalidBeatAnalysis = 1,
    UnsupportedConfiguration = 2,
    SampleRateMismatch = 3,
    ChannelCountMismatch = 4,
    NoViableTransition = 5,
    Dsp = 6,
  };

  static EngineError invalid_audio(std::string message);
  static EngineError invalid_beat_analysis(std::string message);
  static EngineError unsupported_configuration(std::string message);
  static EngineError sample_rate_mismatch(std::uint32_t outgoing_hz, std::uint32_t incoming_hz);
  static EngineError channel_count_mismatch(std::uint64_t outgoing, std::uint64_t incoming);
  static EngineError no_viable_transition(std::string message);
  static EngineError dsp(std::string message);

  Kind kind() const { return kind_; }
  // The message of the five message kinds; empty for the two mismatch kinds,
  // which carry only their numbers.
  const std::string& message() const { return message_; }
  // The full text: the kind's fixed prefix followed by the message, or the
  // mismatch sentence with its two numbers.
  std::string to_text() const;

  friend bool operator==(const EngineError&, const EngineError&) = default;

 private:
  EngineError(Kind kind, std::string message, std::uint64_t first, std::uint64_t second);

  Kind kind_;
  std::string message_;
  std::uint64_t first_ = 0;   // outgoing rate or channel count
  std::uint64_t second_ = 0;  // incoming rate or channel count
};

template <class T>
using Result = std::expected<T, EngineError>;
using Status = std::expected<void, EngineError>;

}  // namespace segue
