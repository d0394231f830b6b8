// The related picture of a software answer: the screenshot is downloaded, re-encoded (GIF for the
// picture window) and shown in 图片框1; closing the window points the hidden browser 超文本浏览框1
// at the download address. Image decoding and encoding run on libgd, from memory.
#pragma once

#include <string_view>

#include "base/bytes.h"
#include "base/controls.h"
#include "base/program_state.h"

namespace qelvora {

// The encodings convertImage writes, by their format numbers 1 to 5.
enum class ImageFormat { Bmp = 1, Jpeg = 2, Gif = 3, Tiff = 4, Png = 5 };

// Pictures beyond these sizes are refused before anything is decoded: a small file can claim an
// enormous canvas, and decoding it would take gigabytes.
inline constexpr long long kMaxPicturePixels = 50'000'000;
inline constexpr int kMaxPictureSide = 20'000;

// Width and height as stated in the header of a PNG, JPEG, GIF, BMP, TIFF or WebP file (for a GIF,
// the larger of the canvas and the first frame). False when the bytes are none of those or the
// header is cut short.
bool pictureDimensions(const Bytes& imageBytes, int& width, int& height);

// Re-encodes imageBytes (PNG, JPEG, GIF, BMP, TIFF or WebP) as format. On success sets result
// and returns true. Otherwise returns false and leaves result unchanged: a format outside the
// enumerators, undecodable bytes and pictures of absurd dimensions.
bool convertImage(const Bytes& imageBytes, ImageFormat format, Bytes& result);

// UTF-16LE form of a GBK text with its two-byte terminator (without it when dropTerminator);
// the empty text gives the empty block.
Bytes toUtf16Bytes(std::string_view text, bool dropTerminator = false);

// Downloads address with fetchPageTimed (GET, no cookies, redirects followed, 10 s in all) and
// returns it re-encoded as GIF; empty when the download, the time-out or the conversion fails.
Bytes fetchPicture(std::string_view address);

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
