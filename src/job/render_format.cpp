#include "src/job/render_format.hpp"

namespace segue {

Result<std::uint32_t> render_sample_rate(const PlannerConfig& config, std::uint32_t outgoing_hz,
                                         std::uint32_t incoming_hz) {
  if (config.output_sample_rate) return *config.output_sample_rate;
  if (outgoing_hz != incoming_hz && !config.allow_resampling) {
    return std::unexpected(EngineError::sample_rate_mismatch(outgoing_hz, incoming_hz));
  }
  return incoming_hz;
}

Result<std::size_t> render_channel_count(std::size_t outgoing, std::size_t incoming) {
  if (outgoing == incoming) return outgoing;
  if (outgoing == 1) return incoming;
  if (incoming == 1) return outgoing;
  return std::unexpected(EngineError::channel_count_mismatch(outgoing, incoming));
}

}  // namespace segue
