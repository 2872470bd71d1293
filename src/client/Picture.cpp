#include "client/Picture.h"

#include <climits>
#include <fstream>
#include <memory>
#include <system_error>

// Only the formats flag services send; the other decoders are attack
// surface we do not need.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_GIF
#define STBI_ONLY_JPEG
#define STBI_ONLY_BMP
#define STBI_NO_STDIO
#define STBI_FAILURE_USERMSG
#include <stb/stb_image.h>

namespace brelvint {

namespace {

constexpr int kRgba = 4;

void Fail(std::string* error, const std::string& what) {
  if (error != nullptr) *error = what;
}

struct FreePixels {
  void operator()(stbi_uc* pixels) const { stbi_image_free(pixels); }
};

}  // namespace

std::optional<Picture> Picture::Decode(const std::string& bytes, std::string* error) {
  if (bytes.empty() || bytes.size() > static_cast<size_t>(INT_MAX)) {
    Fail(error, "not an image: " + std::to_string(bytes.size()) + " bytes");
    return std::nullopt;
  }
  const auto* data = reinterpret_cast<const stbi_uc*>(bytes.data());
  int length = static_cast<int>(bytes.size());
  int width = 0;
  int height = 0;
  int channels = 0;
  // The header alone says the size, so an oversized image is refused
  // before any pixel memory is allocated.
  if (stbi_info_from_memory(data, length, &width, &height, &channels) == 0) {
    Fail(error, std::string("not an image: ") + stbi_failure_reason());
    return std::nullopt;
  }
  std::string size = std::to_string(width) + "x" + std::to_string(height);
  if (width <= 0 || height <= 0) {
    Fail(error, "not an image: size " + size);
    return std::nullopt;
  }
  if (width > kMaxSide || height > kMaxSide) {
    Fail(error, "image too large: " + size);
    return std::nullopt;
  }
  std::unique_ptr<stbi_uc, FreePixels> pixels(
      stbi_load_from_memory(data, length, &width, &height, &channels, kRgba));
  if (pixels == nullptr) {
    Fail(error, std::string("unreadable image: ") + stbi_failure_reason());
    return std::nullopt;
  }
  size_t bytes_out = static_cast<size_t>(width) * static_cast<size_t>(height) * kRgba;
  return Picture(width, height, std::vector<uint8_t>(pixels.get(), pixels.get() + bytes_out));
}

std::optional<Picture> Picture::FromFile(const std::filesystem::path& file, std::string* error) {
  std::error_code size_error;
  uintmax_t size = std::filesystem::file_size(file, size_error);
  if (size_error) {
    Fail(error, "cannot read " + file.string() + ": " + size_error.message());
    return std::nullopt;
  }
  if (size > kMaxFileBytes) {
    Fail(error, "cannot read " + file.string() + ": larger than " + std::to_string(kMaxFileBytes) +
                    " bytes");
    return std::nullopt;
  }
  std::ifstream in(file, std::ios::binary);
  std::string bytes(static_cast<size_t>(size), '\0');
  // A file that grew since it was measured is read only up to that size.
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!in.is_open() || in.bad()) {
    Fail(error, "cannot read " + file.string());
    return std::nullopt;
  }
  bytes.resize(static_cast<size_t>(in.gcount()));
  std::string why;
  std::optional<Picture> picture = Decode(bytes, &why);
  if (!picture) Fail(error, file.string() + ": " + why);
  return picture;
}

}  // namespace brelvint
