#include "engine/audio/buffer.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace segue {
namespace {

std::string error_text(const Result<AudioBuffer>& result) {
  return result ? std::string("ok") : result.error().to_text();
}

TEST(AudioBuffer, CreateChecksInOrder) {
  EXPECT_EQ(error_text(AudioBuffer::create({}, 44100)), "invalid audio: buffer needs at least one channel");
  // The rate is checked before the lengths.
  EXPECT_EQ(error_text(AudioBuffer::create({Channel(1), Channel(2)}, 0)),
            "invalid audio: sample rate must be non-zero");
  EXPECT_EQ(error_text(AudioBuffer::create({Channel(1), Channel(2)}, 48000)),
            "invalid audio: channels differ in length");
  EXPECT_EQ(error_text(AudioBuffer::silent(0, 10, 48000)), "invalid audio: buffer needs at least one channel");
}

TEST(AudioBuffer, EmptyChannelsMakeAZeroFrameBuffer) {
  auto buffer = AudioBuffer::create({Channel(), Channel()}, 48000);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->frame_count(), 0u);
  EXPECT_EQ(buffer->channel_count(), 2u);
  EXPECT_EQ(buffer->duration_seconds(), 0.0);
}

TEST(AudioBuffer, CreateAdoptsTheListsWithoutCopying) {
  Channel samples = {1.0f, 2.0f};
  const float* data = samples.data();
  std::vector<Channel> channels;
  channels.push_back(std::move(samples));
  auto buffer = AudioBuffer::create(std::move(channels), 8000);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->channel(0).data(), data);
  EXPECT_DOUBLE_EQ(buffer->duration_seconds(), 2.0 / 8000.0);
}

TEST(AudioBuffer, FromInterleaved) {
  const std::vector<float> seven(7, 0.0f);
  EXPECT_EQ(error_text(AudioBuffer::from_interleaved(seven, 2, 48000)),
            "invalid audio: interleaved length 7 is not divisible by 2 channels");
  EXPECT_EQ(error_text(AudioBuffer::from_interleaved(seven, 0, 48000)),
            "invalid audio: channel count must be non-zero");
  EXPECT_EQ(error_text(AudioBuffer::from_interleaved({}, 2, 0)), "invalid audio: sample rate must be non-zero");

  auto empty = AudioBuffer::from_interleaved({}, 2, 48000);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->channel_count(), 2u);
  EXPECT_EQ(empty->frame_count(), 0u);

  const std::vector<float> samples = {1, 10, 2, 20, 3, 30};
  auto buffer = AudioBuffer::from_interleaved(samples, 2, 48000);
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->channels()[0], (Channel{1, 2, 3}));
  EXPECT_EQ(buffer->channels()[1], (Channel{10, 20, 30}));
}

TEST(AudioBuffer, SlicePaddedCopiesWhatFitsAndZeroesTheRest) {
  auto buffer = AudioBuffer::create({Channel{1, 2, 3}}, 100);
  ASSERT_TRUE(buffer);
  const struct {
    std::size_t start, frames;
    Channel expected;
  } cases[] = {
      {2, 4, {3, 0, 0, 0}},
      {0, 2, {1, 2}},
      {0, 3, {1, 2, 3}},
      {3, 2, {0, 0}},
      {100, 3, {0, 0, 0}},
      {1, 0, {}},
  };
  for (const auto& c : cases) {
    const AudioBuffer slice = buffer->slice_padded(c.start, c.frames);
    EXPECT_EQ(slice.channels()[0], c.expected) << c.start << "+" << c.frames;
    EXPECT_EQ(slice.sample_rate(), 100u);
  }
  EXPECT_EQ(buffer->channels()[0], (Channel{1, 2, 3}));  // the source is untouched
}

TEST(AudioBuffer, RemapChannels) {
  auto stereo = AudioBuffer::create({Channel{1.0f, 0.3f}, Channel{0.5f, 0.7f}}, 100);
  ASSERT_TRUE(stereo);
  auto mono = stereo->remap_channels(1);
  ASSERT_TRUE(mono);
  ASSERT_EQ(mono->channel_count(), 1u);
  for (std::size_t f = 0; f < 2; ++f) {
    // L x 0.5 + 0, then R x 0.5 + that, in 32-bit.
    const float left = stereo->channel(0)[f] * 0.5f + 0.0f;
    EXPECT_EQ(mono->channel(0)[f], stereo->channel(1)[f] * 0.5f + left);
  }

  auto wide = mono->remap_channels(2);
  ASSERT_TRUE(wide);
  EXPECT_EQ(wide->channels()[0], mono->channels()[0]);
  EXPECT_EQ(wide->channels()[1], mono->channels()[0]);

  auto same = stereo->remap_channels(2);
  ASSERT_TRUE(same);
  EXPECT_EQ(same->channels(), stereo->channels());

  auto three = AudioBuffer::silent(3, 4, 100);
  ASSERT_TRUE(three);
  EXPECT_EQ(error_text(three->remap_channels(2)), "invalid audio: cannot map 3 channels onto 2");
  EXPECT_EQ(error_text(stereo->remap_channels(0)), "invalid audio: channel count must be non-zero");
}

}  // namespace
}  // namespace segue
