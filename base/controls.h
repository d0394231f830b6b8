// The one way logic reaches the windows: properties of controls addressed by their layout names
// (按钮1, 编辑框4, 时钟1, ...; names are UTF-8 identifiers, values are GBK texts or bytes).
//
// Implementations: the headless form model (app/) and anything that forwards to it. Every call
// may be made from any thread; the effect is carried out on the window thread and the call returns
// when it has been performed.
#pragma once

#include <functional>
#include <string_view>
#include <variant>

#include "base/bytes.h"
#include "base/char_count.h"
#include "base/text.h"

namespace qelvora {

enum class Property {
  Content,    // edit box: the whole text (GBK bytes, exactly as written or typed)
  Caption,    // button, label, group box: caption text (GBK)
  Disabled,   // push button: bool
  Period,     // timer: int milliseconds, 0 = stopped
  Selection,  // drop-down list: 0-based index, -1 for none
  Title,      // window: caption bar text (GBK)
  Address,    // embedded web browser: the address it navigates to (GBK)
  Picture,    // picture box: an encoded image file (bytes)
};

using PropertyValue = std::variant<Text, bool, int, Bytes>;

// Layout names used by the logic.
namespace ctl {
inline constexpr std::string_view kMainWindow = "主窗口";
inline constexpr std::string_view kPictureWindow = "相关图片窗口";
inline constexpr std::string_view kAskButton = "按钮1";
inline constexpr std::string_view kRetypeButton = "按钮2";
inline constexpr std::string_view kDownloadButton = "按钮3";
inline constexpr std::string_view kCopyBox = "编辑框1";
inline constexpr std::string_view kSpeedBox = "编辑框2";
inline constexpr std::string_view kQuestionBox = "编辑框3";
inline constexpr std::string_view kAnswerBox = "编辑框4";
inline constexpr std::string_view kTranscriptBox = "编辑框5";
inline constexpr std::string_view kPictureAddressBox = "编辑框6";
inline constexpr std::string_view kSourceList = "组合框1";
inline constexpr std::string_view kTypingTimer = "时钟1";
inline constexpr std::string_view kProgressTimer = "时钟2";
inline constexpr std::string_view kBrowser = "超文本浏览框1";
inline constexpr std::string_view kPictureBox = "图片框1";
}  // namespace ctl

class ControlAccess {
 public:
  virtual ~ControlAccess() = default;

  // A control of a window that is not open reads as the empty value of its kind.
  virtual PropertyValue readProperty(std::string_view control, Property property) = 0;
  // A write to a control of a window that is not open is dropped silently.
  virtual void writeProperty(std::string_view control, Property property, PropertyValue value) = 0;
  // Moves the caret to the end, inserts text there and scrolls it into view.
  virtual void appendText(std::string_view control, std::string_view text) = 0;
  virtual void setFocus(std::string_view control) = 0;
  // Shows the related-picture window modally; returns when it has been closed.
  virtual void openPictureWindow() = 0;
  // Runs fn whole on the window thread and returns when it has run (at once when called there).
  virtual void runOnWindowThread(const std::function<void()>& fn) { fn(); }
  // Characters (charCount) of an edit box's content. The form keeps them up to date as text is
  // written and appended, so that asking costs the same whatever the length.
  virtual int characterCount(std::string_view box) { return charCount(content(box)); }
  // Says that box is about to grow by `bytes` through appendText, so that typing a long answer
  // can set the room aside once instead of growing the box again and again. Only a hint.
  virtual void reserveContent(std::string_view box, std::size_t bytes) {
    static_cast<void>(box);
    static_cast<void>(bytes);
  }
  // False once the main window has been closed: work still going on for it stops at its next step
  // and starts nothing new.
  virtual bool mainWindowOpen() const { return true; }

  // Typed shorthands.
  Text content(std::string_view box) { return asText(readProperty(box, Property::Content)); }
  void setContent(std::string_view box, Text text) {
    writeProperty(box, Property::Content, std::move(text));
  }
  bool disabled(std::string_view button) {
    auto v = readProperty(button, Property::Disabled);
    return std::holds_alternative<bool>(v) && std::get<bool>(v);
  }
  void setDisabled(std::string_view button, bool on) {
    writeProperty(button, Property::Disabled, on);
  }
  int period(std::string_view timer) { return asInt(readProperty(timer, Property::Period)); }
  void setPeriod(std::string_view timer, int ms) { writeProperty(timer, Property::Period, ms); }
  int selection(std::string_view list) { return asInt(readProperty(list, Property::Selection)); }
  Text title() { return asText(readProperty(ctl::kMainWindow, Property::Title)); }
  void setTitle(Text title) { writeProperty(ctl::kMainWindow, Property::Title, std::move(title)); }

  static Text asText(const PropertyValue& v) {
    return std::holds_alternative<Text>(v) ? std::get<Text>(v) : Text();
  }
  static int asInt(const PropertyValue& v) {
    return std::holds_alternative<int>(v) ? std::get<int>(v) : 0;
  }
  static Bytes asBytes(const PropertyValue& v) {
    return std::holds_alternative<Bytes>(v) ? std::get<Bytes>(v) : Bytes();
  }
};

}  // namespace qelvora
