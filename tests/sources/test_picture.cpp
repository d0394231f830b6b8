// The related picture: conversion on libgd, the refusal of oversized pictures, the download through
// the time-out client against a loopback server, and the hand-off of the download address.
#include "sources/picture.h"

#include "test_source_support.h"

#include <gd.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

namespace qelvora {
namespace {

constexpr int kW = 37;
constexpr int kH = 23;

// A small picture with a few colours, written by libgd in the given format.
Bytes makePicture(const std::string& kind, int w = kW, int h = kH) {
  gdImagePtr im = gdImageCreateTrueColor(w, h);
  gdImageFilledRectangle(im, 0, 0, w - 1, h - 1, gdTrueColor(250, 240, 10));
  gdImageFilledRectangle(im, 0, 0, w / 2, h / 2, gdTrueColor(20, 30, 200));
  gdImageLine(im, 0, h - 1, w - 1, 0, gdTrueColor(200, 0, 0));
  int size = 0;
  void* p = nullptr;
  if (kind == "png") p = gdImagePngPtr(im, &size);
  if (kind == "jpeg") p = gdImageJpegPtr(im, &size, 90);
  if (kind == "gif") p = gdImageGifPtr(im, &size);
  if (kind == "bmp") p = gdImageBmpPtr(im, &size, 0);
  if (kind == "tiff") p = gdImageTiffPtr(im, &size);
  if (kind == "webp") p = gdImageWebpPtr(im, &size);
  if (kind == "webp-lossless") p = gdImageWebpPtrEx(im, &size, gdWebpLossless);
  gdImageDestroy(im);
  Bytes out(p, static_cast<std::size_t>(size));
  gdFree(p);
  return out;
}

// Decodes with the decoder that the signature names; nullptr when nothing fits.
gdImagePtr decodeBack(const Bytes& b) {
  void* p = const_cast<char*>(b.data.data());
  int n = static_cast<int>(b.size());
  std::string_view v = b.view();
  if (v.starts_with("BM")) return gdImageCreateFromBmpPtr(n, p);
  if (v.starts_with("\xff\xd8\xff")) return gdImageCreateFromJpegPtr(n, p);
  if (v.starts_with("GIF8")) return gdImageCreateFromGifPtr(n, p);
  if (v.starts_with("II*") || v.starts_with("MM")) return gdImageCreateFromTiffPtr(n, p);
  if (v.starts_with("\x89PNG")) return gdImageCreateFromPngPtr(n, p);
  return nullptr;
}

TEST(ConvertImage, EveryInputToEveryFormat) {
  const std::vector<std::pair<ImageFormat, std::string_view>> formats = {
      {ImageFormat::Bmp, "BM"},
      {ImageFormat::Jpeg, "\xff\xd8\xff"},
      {ImageFormat::Gif, "GIF8"},
      {ImageFormat::Tiff, std::string_view("II*\0", 4)},
      {ImageFormat::Png, "\x89PNG\r\n\x1a\n"},
  };
  for (std::string input : {"png", "jpeg", "gif", "bmp", "tiff", "webp", "webp-lossless"}) {
    Bytes source = makePicture(input);
    ASSERT_FALSE(source.empty()) << input;
    int w = 0, h = 0;
    ASSERT_TRUE(pictureDimensions(source, w, h)) << input;
    EXPECT_EQ(w, kW) << input;
    EXPECT_EQ(h, kH) << input;
    for (auto [format, signature] : formats) {
      SCOPED_TRACE(input + " -> " + std::to_string(static_cast<int>(format)));
      Bytes result;
      ASSERT_TRUE(convertImage(source, format, result));
      ASSERT_TRUE(result.view().starts_with(signature));
      gdImagePtr back = decodeBack(result);
      ASSERT_NE(back, nullptr);
      EXPECT_EQ(gdImageSX(back), kW);
      EXPECT_EQ(gdImageSY(back), kH);
      // The colours survive the trip (JPEG and GIF only approximately).
      int c = gdImageGetTrueColorPixel(back, 1, 1);
      EXPECT_LT(gdTrueColorGetRed(c), 80);
      EXPECT_GT(gdTrueColorGetBlue(c), 150);
      gdImageDestroy(back);
    }
  }
}

TEST(ConvertImage, FailuresLeaveTheResultAlone) {
  const Bytes png = makePicture("png");
  const Bytes jpeg = makePicture("jpeg");
  struct Case {
    const char* name;
    Bytes input;
    int format;  // cast: the numbers outside the enumerators must be refused too
  };
  const std::vector<Case> cases = {
      {"format 0", png, 0},
      {"format 6", png, 6},
      {"format -1", png, -1},
      {"empty input", Bytes(), 3},
      {"html page", Bytes(std::string("<html><body>404 Not Found</body></html>")), 3},
      {"time-out text", Bytes(std::string("\xb3\xac\xca\xb1\xb7\xb5\xbb\xd8")), 3},
      {"png signature only", Bytes(std::string("\x89PNG\r\n\x1a\n")), 3},
      {"png cut in half", leftBytes(png, bytesLength(png) / 2), 3},
      {"jpeg cut after header", leftBytes(jpeg, 200), 5},
      {"gif header only", Bytes(std::string("GIF89a\x10\x00\x10\x00\x00\x00\x00", 13)), 5},
      {"bmp header only", leftBytes(makePicture("bmp"), 30), 5},
      {"tiff header only", leftBytes(makePicture("tiff"), 8), 5},
  };
  for (const Case& c : cases) {
    Bytes result(std::string("untouched"));
    EXPECT_FALSE(convertImage(c.input, static_cast<ImageFormat>(c.format), result)) << c.name;
    EXPECT_EQ(result.view(), "untouched") << c.name;
  }
}

// Headers that claim huge canvases; the body behind them is missing, so only a decoder that trusts
// the header would try to allocate.
std::string be32(std::uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string le16(std::uint32_t v) {
  return {char(v), char(v >> 8)};
}
std::string le32(std::uint32_t v) {
  return le16(v) + le16(v >> 16);
}

Bytes pngClaiming(std::uint32_t w, std::uint32_t h) {
  return Bytes(std::string("\x89PNG\r\n\x1a\n") + be32(13) + "IHDR" + be32(w) + be32(h) +
               std::string("\x08\x02\x00\x00\x00", 5) + be32(0) + std::string(64, '\0'));
}
Bytes gifClaiming(std::uint32_t sw, std::uint32_t sh, std::uint32_t fw, std::uint32_t fh) {
  return Bytes(std::string("GIF89a") + le16(sw) + le16(sh) + std::string("\x00\x00\x00", 3) +
               std::string("\x21\xf9\x04\x00\x00\x00\x00\x00", 8) + "\x2c" + le16(0) + le16(0) +
               le16(fw) + le16(fh) + std::string("\x00\x02\x02\x44\x01\x00\x3b", 7));
}
Bytes bmpClaiming(std::int32_t w, std::int32_t h) {
  return Bytes(std::string("BM") + le32(0) + le32(0) + le32(54) + le32(40) + le32(w) + le32(h) +
               le16(1) + le16(24) + std::string(24, '\0'));
}
Bytes jpegClaiming(std::uint32_t w, std::uint32_t h) {
  std::string sof = std::string("\xff\xc0", 2) + char(0) + char(17) + char(8) + char(h >> 8) +
                    char(h) + char(w >> 8) + char(w) +
                    std::string("\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01", 10);
  return Bytes(
      std::string("\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20) +
      sof + std::string(32, '\0'));
}
Bytes tiffClaiming(std::uint32_t w, std::uint32_t h) {
  auto entry = [](int tag, std::uint32_t v) { return le16(tag) + le16(4) + le32(1) + le32(v); };
  return Bytes(std::string("II*\0", 4) + le32(8) + le16(2) + entry(256, w) + entry(257, h) +
               le32(0));
}
Bytes webpClaiming(std::uint32_t w, std::uint32_t h) {
  auto le24 = [](std::uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16)}; };
  return Bytes(std::string("RIFF") + le32(30) + "WEBPVP8X" + le32(10) + std::string(4, '\0') +
               le24(w - 1) + le24(h - 1) + std::string(16, '\0'));
}

TEST(ConvertImage, RefusesAbsurdDimensionsBeforeDecoding) {
  struct Case {
    const char* name;
    Bytes input;
    int width, height;
  };
  const std::vector<Case> cases = {
      {"png 100000x100000", pngClaiming(100000, 100000), 100000, 100000},
      {"png 20001x1", pngClaiming(20001, 1), 20001, 1},
      {"png 8000x8000 (64 MP)", pngClaiming(8000, 8000), 8000, 8000},
      {"gif 65535x65535", gifClaiming(65535, 65535, 1, 1), 65535, 65535},
      {"gif small canvas, huge frame", gifClaiming(10, 10, 30000, 30000), 30000, 30000},
      {"bmp 30000x30000", bmpClaiming(30000, 30000), 30000, 30000},
      {"bmp top-down 10x-30000", bmpClaiming(10, -30000), 10, 30000},
      {"bmp INT_MIN height", bmpClaiming(10, INT32_MIN), 10, INT32_MAX},
      {"jpeg 60000x60000", jpegClaiming(60000, 60000), 60000, 60000},
      {"tiff 100000x100000", tiffClaiming(100000, 100000), 100000, 100000},
      {"webp 16777216x16777216", webpClaiming(16777216, 16777216), 16777216, 16777216},
      {"png 0x10", pngClaiming(0, 10), 0, 10},
  };
  for (const Case& c : cases) {
    int w = -1, h = -1;
    EXPECT_TRUE(pictureDimensions(c.input, w, h)) << c.name;
    EXPECT_EQ(w, c.width) << c.name;
    EXPECT_EQ(h, c.height) << c.name;
    Bytes result(std::string("untouched"));
    EXPECT_FALSE(convertImage(c.input, ImageFormat::Gif, result)) << c.name;
    EXPECT_EQ(result.view(), "untouched") << c.name;
  }
}

TEST(ConvertImage, SidesUpToTheLimitAreAccepted) {
  for (auto [w, h] : {std::pair{kMaxPictureSide, 1}, std::pair{1, kMaxPictureSide}}) {
    Bytes result;
    EXPECT_TRUE(convertImage(makePicture("png", w, h), ImageFormat::Png, result)) << w << "x" << h;
    gdImagePtr back = decodeBack(result);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(gdImageSX(back), w);
    gdImageDestroy(back);
  }
}

// UTF-16LE of an ASCII text, optionally with the zero unit.
std::string asciiWide(std::string_view s, bool terminator) {
  std::string out;
  for (char c : s) out += {c, '\0'};
  if (terminator) out += std::string(2, '\0');
  return out;
}

TEST(ToUtf16Bytes, Table) {
  const std::string clsid = "{557CF402-1A04-11D3-9A73-0000F81EF32E}";
  struct Case {
    std::string text;
    bool drop;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"abcdefgh", false, asciiWide("abcdefgh", true)},
      {"abcdefgh", true, asciiWide("abcdefgh", false)},
      {"", false, ""},
      {"", true, ""},
      {"\xd6\xd0\xce\xc4", false, std::string("\x2d\x4e\x87\x65\0\0", 6)},  // 中文
      {"\xd6\xd0\xce\xc4", true, std::string("\x2d\x4e\x87\x65", 4)},
      {clsid, false, asciiWide(clsid, true)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(toUtf16Bytes(c.text, c.drop).data, c.expected) << c.text << " drop=" << c.drop;
  }
  EXPECT_EQ(toUtf16Bytes("abcdefgh").size(), 18u);
  EXPECT_EQ(toUtf16Bytes("abcdefgh", true).size(), 16u);
}

// A control access that keeps values in a map and records every write.
class RecordingControls : public ControlAccess {
 public:
  PropertyValue readProperty(std::string_view control, Property) override {
    std::lock_guard lock(mutex_);
    auto it = values_.find(std::string(control));
    return it == values_.end() ? PropertyValue(Text()) : it->second;
  }
  void writeProperty(std::string_view control, Property property, PropertyValue value) override {
    std::lock_guard lock(mutex_);
    writes_.push_back({std::string(control), property, value});
    values_[std::string(control)] = std::move(value);
    changed_.notify_all();
  }
  void appendText(std::string_view, std::string_view) override {}
  void setFocus(std::string_view) override {}
  void openPictureWindow() override {}

  struct Write {
    std::string control;
    Property property;
    PropertyValue value;
  };
  // Waits (bounded, only so that a broken worker fails instead of hanging) for n writes.
  std::vector<Write> waitForWrites(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return writes_.size() >= n; });
    return writes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, PropertyValue> values_;
  std::vector<Write> writes_;
};

// The browser control is cleared and then pointed at the download address as cut from the page;
// whether it goes on to the desktop's browser is the control's decision (tested with the form).
TEST(BrowseDownloadAddress, ClearsTheBrowserThenPointsItAtTheDownloadAddress) {
  for (const std::string download : {"http://127.0.0.1:8750/down/tool.zip", "", "file:///x"}) {
    const std::string& expected = download;
    RecordingControls controls;
    ProgramState state;
    state.downloadAddress = download;
    pictureWindowClosed(controls, state);
    auto writes = controls.waitForWrites(2);
    ASSERT_EQ(writes.size(), 2u) << download;
    for (auto& w : writes) {
      EXPECT_EQ(w.control, ctl::kBrowser);
      EXPECT_EQ(w.property, Property::Address);
    }
    EXPECT_EQ(ControlAccess::asText(writes[0].value), "") << download;
    EXPECT_EQ(ControlAccess::asText(writes[1].value), expected) << download;
  }
}

class PictureServer : public ::testing::Test {
 protected:
  static testing::Reply serve(const std::string& target) {
    if (target == "/shot.png") return {makePicture("png").data};
    if (target == "/shot.jpg") return {makePicture("jpeg").data};
    if (target == "/bomb.png") return {pngClaiming(100000, 100000).data};
    return {"<html><body><h1>404 Not Found</h1></body></html>", 404};
  }
  std::string url(const std::string& path) { return server_.host() + path; }

  testing::RecordingServer server_{serve};
};

TEST_F(PictureServer, FetchPicture) {
  struct Case {
    std::string address;
    bool picture;  // a GIF of the served picture's size, or nothing
  };
  const std::vector<Case> cases = {
      {url("/shot.png"), true},
      {"http://" + url("/shot.jpg"), true},
      {url("/missing.png"), false},
      {url("/bomb.png"), false},
      {"", false},
  };
  for (const Case& c : cases) {
    Bytes picture = fetchPicture(c.address);
    if (!c.picture) {
      EXPECT_TRUE(picture.empty()) << c.address;
      continue;
    }
    EXPECT_TRUE(picture.view().starts_with("GIF8")) << c.address;
    gdImagePtr back = decodeBack(picture);
    ASSERT_NE(back, nullptr) << c.address;
    EXPECT_EQ(gdImageSX(back), kW);
    gdImageDestroy(back);
  }
}

TEST_F(PictureServer, LoadRelatedPictureFillsThePictureBox) {
  RecordingControls controls;
  controls.setContent(ctl::kPictureAddressBox, url("/shot.png"));
  loadRelatedPicture(controls);
  Bytes shown = ControlAccess::asBytes(controls.readProperty(ctl::kPictureBox, Property::Picture));
  EXPECT_TRUE(shown.view().starts_with("GIF8"));

  RecordingControls failing;
  failing.setContent(ctl::kPictureAddressBox, url("/missing.png"));
  loadRelatedPicture(failing);
  EXPECT_TRUE(
      ControlAccess::asBytes(failing.readProperty(ctl::kPictureBox, Property::Picture)).empty());
}

}  // namespace
}  // namespace qelvora
