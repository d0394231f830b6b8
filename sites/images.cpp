#include "sites/images.h"

#include <gd.h>
#include <gdfontl.h>
#include <gdfonts.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace qelvora::sites {
namespace {

using ImagePtr = std::unique_ptr<gdImage, decltype(&gdImageDestroy)>;

int rgb(std::uint32_t color) {
  return gdTrueColor((color >> 16) & 0xFF, (color >> 8) & 0xFF, color & 0xFF);
}

// The colour mixed with white: amount 0 keeps it, 255 gives white.
int lighter(std::uint32_t color, int amount) {
  auto mix = [amount](int c) { return c + (255 - c) * amount / 255; };
  return gdTrueColor(mix((color >> 16) & 0xFF), mix((color >> 8) & 0xFF), mix(color & 0xFF));
}

void text(gdImagePtr im, gdFontPtr font, int x, int y, const std::string& s, int color) {
  gdImageString(im, font, x, y, reinterpret_cast<unsigned char*>(const_cast<char*>(s.c_str())),
                color);
}

Picture encode(gdImagePtr im, bool jpeg) {
  int size = 0;
  void* data = jpeg ? gdImageJpegPtr(im, &size, 88) : gdImagePngPtr(im, &size);
  if (!data || size <= 0) throw std::runtime_error("libgd could not encode the picture");
  Picture picture;
  picture.bytes.assign(static_cast<const char*>(data), static_cast<size_t>(size));
  gdFree(data);
  picture.mimeType = jpeg ? "image/jpeg" : "image/png";
  picture.extension = jpeg ? "jpg" : "png";
  return picture;
}

}  // namespace

Picture drawScreenshot(const Program& program) {
  const int w = program.shot.width;
  const int h = program.shot.height;
  const std::uint32_t accent = program.shot.color;
  ImagePtr image(gdImageCreateTrueColor(w, h), gdImageDestroy);
  if (!image) throw std::runtime_error("libgd could not create the picture");
  gdImagePtr im = image.get();
  gdFontPtr large = gdFontGetLarge();
  gdFontPtr small = gdFontGetSmall();
  const int white = gdTrueColor(255, 255, 255);
  const int frame = gdTrueColor(96, 96, 96);
  const int face = gdTrueColor(236, 236, 236);
  const int ink = gdTrueColor(64, 64, 64);

  // Desktop behind the window, then the window with its title bar.
  gdImageFilledRectangle(im, 0, 0, w - 1, h - 1, lighter(accent, 200));
  const int x0 = 8, y0 = 8, x1 = w - 9, y1 = h - 9;
  gdImageFilledRectangle(im, x0, y0, x1, y1, face);
  gdImageRectangle(im, x0, y0, x1, y1, frame);
  const int titleBottom = y0 + large->h + 8;
  gdImageFilledRectangle(im, x0 + 1, y0 + 1, x1 - 1, titleBottom, rgb(accent));
  text(im, large, x0 + 10, y0 + 5, program.latin + " " + program.version, white);
  for (int i = 0; i < 3; ++i) {  // minimise, maximise, close
    const int bx = x1 - 18 - i * 18;
    gdImageFilledRectangle(im, bx, y0 + 5, bx + 12, titleBottom - 4, lighter(accent, 120));
  }

  // Menu line and a row of tool buttons.
  const int menuY = titleBottom + 4;
  int mx = x0 + 10;
  for (const char* item : {"File", "Edit", "View", "Tools", "Help"}) {
    text(im, small, mx, menuY, item, ink);
    mx += static_cast<int>(std::char_traits<char>::length(item)) * small->w + 14;
  }
  const int toolY = menuY + small->h + 6;
  for (int i = 0; i < 6 && x0 + 10 + i * 30 + 24 < x1; ++i) {
    const int bx = x0 + 10 + i * 30;
    gdImageFilledRectangle(im, bx, toolY, bx + 24, toolY + 20, lighter(accent, 60 + i * 25));
    gdImageRectangle(im, bx, toolY, bx + 24, toolY + 20, frame);
  }

  // A side list, a content area with lines of "text" and a chart-like circle, and a status bar.
  const int bodyTop = toolY + 28;
  const int statusTop = y1 - small->h - 6;
  const int sideRight = x0 + (x1 - x0) / 4;
  gdImageFilledRectangle(im, x0 + 6, bodyTop, sideRight, statusTop - 6, white);
  gdImageRectangle(im, x0 + 6, bodyTop, sideRight, statusTop - 6, frame);
  for (int y = bodyTop + 8, i = 0; y + 8 < statusTop - 6; y += 16, ++i)
    gdImageFilledRectangle(im, x0 + 12, y, sideRight - 8 - (i % 3) * 10, y + 6,
                           i == 1 ? rgb(accent) : lighter(ink, 150));
  const int cx0 = sideRight + 8, cx1 = x1 - 6;
  gdImageFilledRectangle(im, cx0, bodyTop, cx1, statusTop - 6, white);
  gdImageRectangle(im, cx0, bodyTop, cx1, statusTop - 6, frame);
  const int contentH = statusTop - 6 - bodyTop;
  const int radius = std::max(8, std::min((cx1 - cx0) / 5, contentH / 3));
  gdImageFilledEllipse(im, cx1 - radius - 16, bodyTop + radius + 14, radius * 2, radius * 2,
                       lighter(accent, 80));
  gdImageFilledArc(im, cx1 - radius - 16, bodyTop + radius + 14, radius * 2, radius * 2, 0, 110,
                   rgb(accent), gdPie);
  for (int y = bodyTop + 12, i = 0; y + 6 < statusTop - 12; y += 14, ++i) {
    const int right = cx1 - radius * 2 - 40 - (i % 4) * 18;
    if (right > cx0 + 20) gdImageFilledRectangle(im, cx0 + 12, y, right, y + 5, lighter(ink, 170));
  }
  gdImageFilledRectangle(im, x0 + 1, statusTop, x1 - 1, y1 - 1, lighter(accent, 215));
  text(im, small, x0 + 8, statusTop + 3, "Ready", ink);

  return encode(im, program.shot.format == ShotSettings::Format::jpeg);
}

Picture drawIcon(const Program& program) {
  ImagePtr image(gdImageCreateTrueColor(48, 48), gdImageDestroy);
  if (!image) throw std::runtime_error("libgd could not create the icon");
  gdImagePtr im = image.get();
  const std::uint32_t accent = program.shot.color;
  gdImageFilledRectangle(im, 0, 0, 47, 47, gdTrueColor(255, 255, 255));
  gdImageFilledEllipse(im, 24, 24, 44, 44, rgb(accent));
  gdFontPtr large = gdFontGetLarge();
  const std::string initial = program.latin.empty() ? "?" : program.latin.substr(0, 1);
  text(im, large, 24 - large->w / 2, 24 - large->h / 2, initial, gdTrueColor(255, 255, 255));
  return encode(im, false);
}

}  // namespace qelvora::sites
