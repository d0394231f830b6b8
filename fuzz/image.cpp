// The image conversion. A small picture made here in any input format converts to every output
// format at its size; any bytes at all are either refused (always so when the header claims an
// absurd size or the format number is unknown, and then the result is left alone) or give a
// picture of the requested format that decodes again.
#include <fuzzer/FuzzedDataProvider.h>

#include <gd.h>

#include <cstdint>
#include <string>

#include "fuzz/check.h"
#include "sources/picture.h"

using namespace qelvora;
using fuzz::expect;
using fuzz::expectNumber;

namespace {

bool sane(long long width, long long height) {
  return width > 0 && height > 0 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
         width * height <= kMaxPicturePixels;
}

// Encodes with the libgd writer of a format number (1 BMP ... 5 PNG, as ImageFormat; 6 WebP here).
Bytes encodeAs(gdImagePtr image, int format) {
  int size = 0;
  void* p = nullptr;
  switch (static_cast<ImageFormat>(format)) {
    case ImageFormat::Bmp:
      p = gdImageBmpPtr(image, &size, 0);
      break;
    case ImageFormat::Jpeg:
      p = gdImageJpegPtr(image, &size, 90);
      break;
    case ImageFormat::Gif:
      p = gdImageGifPtr(image, &size);
      break;
    case ImageFormat::Tiff:
      p = gdImageTiffPtr(image, &size);
      break;
    case ImageFormat::Png:
      p = gdImagePngPtr(image, &size);
      break;
    default:
      gdImagePaletteToTrueColor(image);  // the WebP writer takes true-colour pictures only
      p = gdImageWebpPtr(image, &size);
  }
  if (!p) fuzz::fail("libgd could not write format", std::to_string(format));
  Bytes bytes(p, static_cast<std::size_t>(size));
  gdFree(p);
  return bytes;
}

// The picture a conversion gave: the right signature, and it decodes to a picture of sane size.
void checkConverted(const Bytes& result, ImageFormat format, int width = 0, int height = 0) {
  static const std::string_view kSignatures[] = {"", "BM", "\xFF\xD8\xFF", "GIF8", "", "\x89PNG"};
  if (format == ImageFormat::Tiff)
    expect(result.view().starts_with(std::string_view("II*\0", 4)) ||
               result.view().starts_with(std::string_view("MM\0*", 4)),
           "TIFF result without its signature");
  else
    expect(result.view().starts_with(kSignatures[static_cast<int>(format)]),
           "result without its signature");
  void* p = const_cast<char*>(result.data.data());
  const int n = static_cast<int>(result.size());
  gdImagePtr image = format == ImageFormat::Bmp    ? gdImageCreateFromBmpPtr(n, p)
                     : format == ImageFormat::Jpeg ? gdImageCreateFromJpegPtr(n, p)
                     : format == ImageFormat::Gif  ? gdImageCreateFromGifPtr(n, p)
                     : format == ImageFormat::Tiff ? gdImageCreateFromTiffPtr(n, p)
                                                   : gdImageCreateFromPngPtr(n, p);
  if (!image)
    fuzz::fail("the converted picture does not decode, format",
               std::to_string(static_cast<int>(format)));
  const int w = gdImageSX(image), h = gdImageSY(image);
  gdImageDestroy(image);
  expect(sane(w, h), "the converted picture has an absurd size");
  if (width != 0) {
    expectNumber("converted width", w, width);
    expectNumber("converted height", h, height);
  }
}

void checkMadePicture(FuzzedDataProvider& in) {
  const int inputFormat = in.ConsumeIntegralInRange(1, 6);
  const auto outputFormat = static_cast<ImageFormat>(in.ConsumeIntegralInRange(1, 5));
  const int width = in.ConsumeIntegralInRange(1, 40), height = in.ConsumeIntegralInRange(1, 40);
  const bool trueColor = in.ConsumeBool();
  gdImagePtr image =
      trueColor ? gdImageCreateTrueColor(width, height) : gdImageCreate(width, height);
  int palette[8];
  for (int& colour : palette)
    colour = gdImageColorAllocate(image, in.ConsumeIntegral<std::uint8_t>(),
                                  in.ConsumeIntegral<std::uint8_t>(),
                                  in.ConsumeIntegral<std::uint8_t>());
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      gdImageSetPixel(image, x, y, palette[in.ConsumeIntegral<std::uint8_t>() % 8]);
  const Bytes picture = encodeAs(image, inputFormat);
  gdImageDestroy(image);

  int w = 0, h = 0;
  expect(pictureDimensions(picture, w, h), "no size read from a picture libgd wrote");
  expectNumber("header width", w, width);
  expectNumber("header height", h, height);
  Bytes result;
  if (!convertImage(picture, outputFormat, result))
    fuzz::fail("a valid small picture was refused, input format", std::to_string(inputFormat));
  checkConverted(result, outputFormat, width, height);
}

void checkAnyBytes(FuzzedDataProvider& in) {
  // 0 and 6 lie outside the enumerators: a cast value must be refused.
  const auto format = static_cast<ImageFormat>(in.ConsumeIntegralInRange(0, 6));
  const Bytes bytes(in.ConsumeRemainingBytesAsString());
  const Bytes untouched("untouched");
  Bytes result = untouched;
  const bool converted = convertImage(bytes, format, result);
  int w = 0, h = 0;
  const bool measured = pictureDimensions(bytes, w, h);
  if (!converted) {
    expect(result == untouched, "a refused conversion changed the result");
    return;
  }
  expect(format >= ImageFormat::Bmp && format <= ImageFormat::Png,
         "an unknown format number converted");
  expect(measured, "converted a picture whose size was not read first");
  expect(sane(w, h), "converted a picture of absurd size");
  checkConverted(result, format);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool())
    checkMadePicture(in);
  else
    checkAnyBytes(in);
  return 0;
}
