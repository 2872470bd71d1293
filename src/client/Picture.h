#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brelvint {

// A decoded image (a client's flag): its size and its pixels as RGBA bytes,
// four per pixel, row by row from the top left. PNG, GIF (first frame),
// JPEG and BMP are read. Immutable once made.
class Picture {
 public:
  // Largest width or height accepted: a few bytes of hostile header must
  // not make us allocate gigabytes of pixels.
  static constexpr int kMaxSide = 2048;
  // Largest file FromFile reads.
  static constexpr uintmax_t kMaxFileBytes = 8 << 20;

  // The image in `bytes`; empty, with `error` (when given) saying why, when
  // they are not a readable image of an accepted size.
  static std::optional<Picture> Decode(const std::string& bytes, std::string* error = nullptr);
  // The image in `file`; empty as for Decode, or when the file cannot be
  // read, with `error` naming the file.
  static std::optional<Picture> FromFile(const std::filesystem::path& file,
                                         std::string* error = nullptr);

  int Width() const { return width_; }
  int Height() const { return height_; }
  const std::vector<uint8_t>& Pixels() const { return pixels_; }

 private:
  Picture(int width, int height, std::vector<uint8_t> pixels)
      : width_(width), height_(height), pixels_(std::move(pixels)) {}

  int width_;
  int height_;
  std::vector<uint8_t> pixels_;
};

}  // namespace brelvint
