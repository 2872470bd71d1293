#include "client/Picture.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TempFolder.h"

namespace brelvint {
namespace {

// A 1x1 GIF whose one pixel is palette entry 0, red.
const std::string kRedPixelGif(
    "GIF89a"
    "\x01\x00\x01\x00\x80\x00\x00"              // 1x1, 2-entry global palette
    "\xff\x00\x00\x00\x00\xff"                  // red, blue
    "\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00"  // image at 0,0, 1x1
    "\x02\x02\x44\x01\x00"                      // LZW: clear, index 0, end
    "\x3b",
    35);

void Put(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// A 24-bit BMP of the given size, every byte 0x40.
std::string GreyBmp(uint32_t width, uint32_t height) {
  uint32_t row = (width * 3 + 3) & ~3u;
  uint32_t pixels = row * height;
  std::string out = "BM";
  Put(out, 54 + pixels, 4);
  Put(out, 0, 4);
  Put(out, 54, 4);
  Put(out, 40, 4);
  Put(out, width, 4);
  Put(out, height, 4);
  Put(out, 1, 2);
  Put(out, 24, 2);
  Put(out, 0, 4);
  Put(out, pixels, 4);
  Put(out, 2835, 4);
  Put(out, 2835, 4);
  Put(out, 0, 4);
  Put(out, 0, 4);
  out.append(pixels, '\x40');
  return out;
}

TEST(PictureTest, DecodesAGif) {
  std::optional<Picture> picture = Picture::Decode(kRedPixelGif);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->Width(), 1);
  EXPECT_EQ(picture->Height(), 1);
  EXPECT_EQ(picture->Pixels(), (std::vector<uint8_t>{0xff, 0x00, 0x00, 0xff}));
}

TEST(PictureTest, RefusesWhatIsNotAnImage) {
  const std::string cases[] = {
      "",
      "<html><body>404 Not Found</body></html>",
      kRedPixelGif.substr(0, 16),           // cut off inside the palette
      std::string("\x89PNG\r\n\x1a\n", 8),  // a PNG signature and nothing else
      std::string(64, '\0'),
  };
  for (const std::string& bytes : cases) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    std::string error;
    EXPECT_FALSE(Picture::Decode(bytes, &error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(PictureTest, RefusesImagesLargerThanTheLimit) {
  std::optional<Picture> widest = Picture::Decode(GreyBmp(Picture::kMaxSide, 1));
  ASSERT_TRUE(widest);
  EXPECT_EQ(widest->Width(), Picture::kMaxSide);
  EXPECT_EQ(widest->Pixels().size(), static_cast<size_t>(Picture::kMaxSide) * 4);
  EXPECT_EQ(widest->Pixels()[3], 0xff);

  for (auto [width, height] :
       {std::pair<uint32_t, uint32_t>{Picture::kMaxSide + 1, 1}, {1, Picture::kMaxSide + 1}}) {
    std::string error;
    EXPECT_FALSE(Picture::Decode(GreyBmp(width, height), &error)) << width << "x" << height;
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
  }
}

TEST(PictureTest, ReadsFromAFile) {
  TempFolder folder;
  std::optional<Picture> picture = Picture::FromFile(folder.WriteFile("flag.gif", kRedPixelGif));
  std::string not_image_error;
  std::optional<Picture> not_image =
      Picture::FromFile(folder.WriteFile("page.html", "<html></html>"), &not_image_error);
  std::string missing_error;
  std::optional<Picture> missing = Picture::FromFile(folder.Path() / "missing.gif", &missing_error);

  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->Pixels(), (std::vector<uint8_t>{0xff, 0x00, 0x00, 0xff}));
  EXPECT_FALSE(not_image);
  EXPECT_NE(not_image_error.find("page.html"), std::string::npos) << not_image_error;
  EXPECT_FALSE(missing);
  EXPECT_NE(missing_error.find("missing.gif"), std::string::npos) << missing_error;
}

}  // namespace
}  // namespace brelvint
