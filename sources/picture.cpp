#include "sources/picture.h"

#include <gd.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "base/text.h"
#include "base/threads.h"
#include "web/encoding.h"
#include "web/fetch.h"

namespace qelvora {

namespace {

// Bounds-checked reads of a header; every reader returns false when the bytes run out.
class Header {
 public:
  explicit Header(const Bytes& b) : p_(b.bytes()), n_(b.size()) {}
  bool has(std::size_t pos, std::size_t count) const { return pos <= n_ && count <= n_ - pos; }
  bool matches(std::size_t pos, std::string_view s) const {
    return has(pos, s.size()) && std::memcmp(p_ + pos, s.data(), s.size()) == 0;
  }
  bool u8(std::size_t pos, std::uint32_t& v) const {
    if (!has(pos, 1)) return false;
    v = p_[pos];
    return true;
  }
  // Unsigned little- or big-endian integer of count bytes (count <= 8).
  bool le(std::size_t pos, std::size_t count, std::uint64_t& v) const {
    if (!has(pos, count)) return false;
    v = 0;
    for (std::size_t i = count; i-- > 0;) v = (v << 8) | p_[pos + i];
    return true;
  }
  bool be(std::size_t pos, std::size_t count, std::uint64_t& v) const {
    if (!has(pos, count)) return false;
    v = 0;
    for (std::size_t i = 0; i < count; ++i) v = (v << 8) | p_[pos + i];
    return true;
  }

 private:
  const unsigned char* p_;
  std::size_t n_;
};

enum class Kind { None, Png, Jpeg, Gif, Bmp, Tiff, Webp };

Kind sniff(const Header& h) {
  if (h.matches(0, "\x89PNG\r\n\x1a\n")) return Kind::Png;
  if (h.matches(0, "\xff\xd8\xff")) return Kind::Jpeg;
  if (h.matches(0, "GIF87a") || h.matches(0, "GIF89a")) return Kind::Gif;
  if (h.matches(0, "BM")) return Kind::Bmp;
  if (h.matches(0, std::string_view("II*\0", 4)) || h.matches(0, std::string_view("MM\0*", 4)) ||
      h.matches(0, std::string_view("II+\0", 4)) || h.matches(0, std::string_view("MM\0+", 4)))
    return Kind::Tiff;
  if (h.matches(0, "RIFF") && h.matches(8, "WEBP")) return Kind::Webp;
  return Kind::None;
}

// Dimensions are carried as 64-bit values so that no header can overflow them.
struct Size {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
};

bool pngSize(const Header& h, Size& s) {
  return h.matches(12, "IHDR") && h.be(16, 4, s.width) && h.be(20, 4, s.height);
}

bool jpegSize(const Header& h, Size& s) {
  std::size_t pos = 2;
  while (true) {
    std::uint32_t b = 0;
    if (!h.u8(pos, b)) return false;
    if (b != 0xFF) return false;
    // Fill bytes: any number of 0xFF before the marker code.
    std::uint32_t marker = 0xFF;
    while (marker == 0xFF) {
      ++pos;
      if (!h.u8(pos, marker)) return false;
    }
    ++pos;
    if (marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    if (marker == 0xD9 || marker == 0xDA) return false;  // image data before any frame header
    std::uint64_t length = 0;
    if (!h.be(pos, 2, length) || length < 2) return false;
    bool frame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) return h.be(pos + 3, 2, s.height) && h.be(pos + 5, 2, s.width);
    pos += length;
  }
}

bool gifSize(const Header& h, Size& s) {
  std::uint32_t flags = 0;
  if (!h.le(6, 2, s.width) || !h.le(8, 2, s.height) || !h.u8(10, flags)) return false;
  std::size_t pos = 13;
  if (flags & 0x80) pos += 3u << ((flags & 7) + 1);
  // The first frame may be larger than the canvas; walk the extensions up to it.
  while (true) {
    std::uint32_t tag = 0;
    if (!h.u8(pos, tag)) return false;
    if (tag == 0x2C) {
      std::uint64_t left = 0, top = 0, w = 0, hh = 0;
      if (!h.le(pos + 1, 2, left) || !h.le(pos + 3, 2, top) || !h.le(pos + 5, 2, w) ||
          !h.le(pos + 7, 2, hh))
        return false;
      s.width = std::max(s.width, left + w);
      s.height = std::max(s.height, top + hh);
      return true;
    }
    if (tag != 0x21) return false;
    pos += 2;  // introducer and label
    while (true) {
      std::uint32_t len = 0;
      if (!h.u8(pos, len)) return false;
      pos += 1 + len;
      if (len == 0) break;
    }
  }
}

bool bmpSize(const Header& h, Size& s) {
  std::uint64_t headerSize = 0;
  if (!h.le(14, 4, headerSize)) return false;
  if (headerSize == 12) return h.le(18, 2, s.width) && h.le(20, 2, s.height);
  std::uint64_t w = 0, hh = 0;
  if (!h.le(18, 4, w) || !h.le(22, 4, hh)) return false;
  // Signed 32-bit values; a negative height marks a top-down picture.
  auto magnitude = [](std::uint64_t v) {
    auto x = static_cast<std::int64_t>(static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
    return static_cast<std::uint64_t>(x < 0 ? -x : x);
  };
  s.width = magnitude(w);
  s.height = magnitude(hh);
  return true;
}

bool tiffSize(const Header& h, Size& s) {
  bool little = h.matches(0, "II");
  auto read = [&](std::size_t pos, std::size_t count, std::uint64_t& v) {
    return little ? h.le(pos, count, v) : h.be(pos, count, v);
  };
  std::uint64_t magic = 0;
  if (!read(2, 2, magic)) return false;
  bool big = magic == 43;
  std::uint64_t ifd = 0, entries = 0;
  if (big ? !read(8, 8, ifd) : !read(4, 4, ifd)) return false;
  if (big ? !read(ifd, 8, entries) : !read(ifd, 2, entries)) return false;
  std::size_t first = ifd + (big ? 8 : 2), step = big ? 20 : 12, valueAt = big ? 12 : 8;
  bool haveWidth = false, haveHeight = false;
  for (std::uint64_t i = 0; i < entries && !(haveWidth && haveHeight); ++i) {
    std::size_t e = first + i * step;
    std::uint64_t tag = 0, type = 0, v = 0;
    if (!read(e, 2, tag) || !read(e + 2, 2, type)) return false;
    if (tag != 256 && tag != 257) continue;
    std::size_t width = type == 3 ? 2 : type == 4 ? 4 : type == 16 ? 8 : 0;
    if (width == 0 || !read(e + valueAt, width, v)) return false;
    (tag == 256 ? s.width : s.height) = v;
    (tag == 256 ? haveWidth : haveHeight) = true;
  }
  return haveWidth && haveHeight;
}

bool webpSize(const Header& h, Size& s) {
  const std::size_t data = 20;
  if (h.matches(12, "VP8 ")) {
    if (!h.matches(data + 3, "\x9d\x01\x2a")) return false;
    if (!h.le(data + 6, 2, s.width) || !h.le(data + 8, 2, s.height)) return false;
    s.width &= 0x3FFF;
    s.height &= 0x3FFF;
    return true;
  }
  if (h.matches(12, "VP8L")) {
    std::uint64_t bits = 0;
    if (!h.matches(data, "\x2f") || !h.le(data + 1, 4, bits)) return false;
    s.width = (bits & 0x3FFF) + 1;
    s.height = ((bits >> 14) & 0x3FFF) + 1;
    return true;
  }
  if (h.matches(12, "VP8X")) {
    if (!h.le(data + 4, 3, s.width) || !h.le(data + 7, 3, s.height)) return false;
    s.width += 1;
    s.height += 1;
    return true;
  }
  return false;
}

bool headerSize(const Header& h, Kind kind, Size& s) {
  switch (kind) {
    case Kind::Png:
      return pngSize(h, s);
    case Kind::Jpeg:
      return jpegSize(h, s);
    case Kind::Gif:
      return gifSize(h, s);
    case Kind::Bmp:
      return bmpSize(h, s);
    case Kind::Tiff:
      return tiffSize(h, s);
    case Kind::Webp:
      return webpSize(h, s);
    case Kind::None:
      break;
  }
  return false;
}

bool sane(const Size& s) {
  return s.width > 0 && s.height > 0 && s.width <= kMaxPictureSide && s.height <= kMaxPictureSide &&
         s.width * s.height <= static_cast<std::uint64_t>(kMaxPicturePixels);
}

// libgd reports damaged files on stderr by default; a bad screenshot is not worth a message.
void quietErrors(int, const char*, va_list) {}

gdImagePtr decode(const Bytes& bytes, Kind kind) {
  static std::once_flag once;
  std::call_once(once, [] { gdSetErrorMethod(quietErrors); });
  int n = static_cast<int>(bytes.size());
  // libgd only reads from the buffer it is given.
  void* p = const_cast<char*>(bytes.data.data());
  switch (kind) {
    case Kind::Png:
      return gdImageCreateFromPngPtr(n, p);
    case Kind::Jpeg:
      return gdImageCreateFromJpegPtr(n, p);
    case Kind::Gif:
      return gdImageCreateFromGifPtr(n, p);
    case Kind::Bmp:
      return gdImageCreateFromBmpPtr(n, p);
    case Kind::Tiff:
      return gdImageCreateFromTiffPtr(n, p);
    case Kind::Webp:
      return gdImageCreateFromWebpPtr(n, p);
    case Kind::None:
      break;
  }
  return nullptr;
}

// nullptr for a value outside the enumerators.
void* encode(gdImagePtr image, ImageFormat format, int& size) {
  switch (format) {
    case ImageFormat::Bmp:
      return gdImageBmpPtr(image, &size, 0);
    case ImageFormat::Jpeg:
      return gdImageJpegPtr(image, &size, -1);
    case ImageFormat::Gif:
      return gdImageGifPtr(image, &size);
    case ImageFormat::Tiff:
      return gdImageTiffPtr(image, &size);
    case ImageFormat::Png:
      return gdImagePngPtr(image, &size);
  }
  return nullptr;
}

}  // namespace

bool pictureDimensions(const Bytes& imageBytes, int& width, int& height) {
  Header h(imageBytes);
  Size s;
  if (!headerSize(h, sniff(h), s)) return false;
  width = static_cast<int>(std::min<std::uint64_t>(s.width, INT_MAX));
  height = static_cast<int>(std::min<std::uint64_t>(s.height, INT_MAX));
  return true;
}

bool convertImage(const Bytes& imageBytes, ImageFormat format, Bytes& result) {
  // An unknown format is refused before any decoding work.
  if (format < ImageFormat::Bmp || format > ImageFormat::Png) return false;
  if (imageBytes.size() > static_cast<std::size_t>(INT_MAX)) return false;
  Header h(imageBytes);
  Kind kind = sniff(h);
  Size s;
  if (!headerSize(h, kind, s) || !sane(s)) return false;

  gdImagePtr image = decode(imageBytes, kind);
  if (!image) return false;
  // The decoder may trust a later header than the one measured above; check what it built.
  if (!sane({static_cast<std::uint64_t>(gdImageSX(image)),
             static_cast<std::uint64_t>(gdImageSY(image))})) {
    gdImageDestroy(image);
    return false;
  }
  int size = 0;
  void* out = encode(image, format, size);
  gdImageDestroy(image);
  if (!out) return false;
  Bytes encoded(out, size > 0 ? static_cast<std::size_t>(size) : 0);
  gdFree(out);
  if (encoded.empty()) return false;
  result = std::move(encoded);
  return true;
}

Bytes toUtf16Bytes(std::string_view text, bool dropTerminator) {
  if (text.empty()) return {};
  Bytes wide = toWide(text, CodePage::Gbk);
  if (dropTerminator && wide.size() >= 2) wide.data.resize(wide.size() - 2);
  return wide;
}

Bytes fetchPicture(std::string_view address) {
  Text url(address);
  FetchTimedOptions options;
  options.timeoutSeconds = 10;
  Bytes page = fetchPageTimed(url, options);
  Bytes picture;
  convertImage(page, ImageFormat::Gif, picture);
  return picture;
}

void loadRelatedPicture(ControlAccess& controls) {
  Text address = controls.content(ctl::kPictureAddressBox);
  Bytes picture = fetchPicture(address);
  controls.writeProperty(ctl::kPictureBox, Property::Picture, std::move(picture));
}

void pictureWindowClosed(ControlAccess& controls, const ProgramState& state) {
  // Cleared first so that setting the same download address again counts as a new navigation.
  controls.writeProperty(ctl::kBrowser, Property::Address, Text());
  browseDownloadAddress(controls, state);
}

void browseDownloadAddress(ControlAccess& controls, const ProgramState& state) {
  // Which addresses actually reach the desktop's browser is decided where the address is handed
  // over (the browser control's opener); see isBrowsableAddress.
  startWorker([&controls, address = state.downloadAddress] {
    controls.writeProperty(ctl::kBrowser, Property::Address, address);
  });
}

}  // namespace qelvora
