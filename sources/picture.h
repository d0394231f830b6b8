// The related picture of a software answer: the screenshot is downloaded, re-encoded (GIF for the
// picture window) and shown in 图片框1; closing the window points the hidden browser 超文本浏览框1
// at the download address. Image decoding and encoding run on libgd, from memory.
#pragma once

#include <string_view>

#include "base/bytes.h"
#include "base/controls.h"
#include "base/program_state.h"
#include "base/text.h"
#include "web/url.h"  // isBrowsableAddress

namespace qelvora {

// Encoder numbers of convertImage.
inline constexpr int kImageBmp = 1;
inline constexpr int kImageJpeg = 2;
inline constexpr int kImageGif = 3;
inline constexpr int kImageTiff = 4;
inline constexpr int kImagePng = 5;

// Pictures beyond these sizes are refused before anything is decoded: a small file can claim an
// enormous canvas, and decoding it would take gigabytes.
inline constexpr long long kMaxPicturePixels = 50'000'000;
inline constexpr int kMaxPictureSide = 20'000;

// Width and height as stated in the header of a PNG, JPEG, GIF, BMP, TIFF or WebP file (for a GIF,
// the larger of the canvas and the first frame). False when the bytes are none of those or the
// header is cut short.
bool pictureDimensions(const Bytes& imageBytes, int& width, int& height);

// Re-encodes imageBytes (PNG, JPEG, GIF, BMP, TIFF or WebP) as format 1 BMP, 2 JPEG, 3 GIF, 4 TIFF
// or 5 PNG. On success sets result, writes the bytes also to savePath (a GBK text) when it is not
// empty after trimming spaces (a failed write is ignored) and returns true. Otherwise returns
// false and leaves result unchanged: unknown format numbers, undecodable bytes and pictures of
// absurd dimensions.
bool convertImage(const Bytes& imageBytes, int format, std::string_view savePath, Bytes& result);
inline bool convertImage(const Bytes& imageBytes, int format, Bytes& result) {
  return convertImage(imageBytes, format, {}, result);
}

// UTF-16LE form of a GBK text with its two-byte terminator (without it when dropTerminator);
// the empty text gives the empty block.
Bytes toUtf16Bytes(std::string_view text, bool dropTerminator = false);

// Downloads address with fetchPageTimed (GET, no cookies, redirects followed) and returns it
// re-encoded as format; empty when the download, the time-out or the conversion fails.
Bytes fetchPicture(std::string_view address, std::string_view proxy = {},
                   Text* responseHeaders = nullptr, int format = kImageGif,
                   int timeoutSeconds = 10);

// Worker body started by the related-picture window's creation: reads the screenshot address from
// 编辑框6 and puts the GIF into 图片框1 (left empty on any failure; dropped if the window has been
// closed meanwhile).
void loadRelatedPicture(ControlAccess& controls);

// The related-picture window is about to be destroyed: clears the browser's address (so that the
// same download address is offered again) and then runs browseDownloadAddress.
void pictureWindowClosed(ControlAccess& controls, const ProgramState& state);

// Starts a detached worker that sets the address of 超文本浏览框1 to state.downloadAddress; the
// browser control hands only browsable addresses on (isBrowsableAddress). Also the click handler
// of 按钮3.
void browseDownloadAddress(ControlAccess& controls, const ProgramState& state);

}  // namespace qelvora
