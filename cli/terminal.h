// The terminal in place of the windows: a control access that forwards every call to the form
// model and mirrors the answer box on standard output (the typed text) and, on a terminal only,
// the busy text and the progress title on standard error.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "base/controls.h"

namespace qelvora::cli {

struct TerminalSettings {
  bool gbk = false;               // standard output in GBK bytes instead of UTF-8
  bool statusOnStderr = false;    // standard error is a terminal: show busy text and progress
  bool stdoutIsTerminal = false;  // progress then goes to the terminal's title, not a status line
  bool instant = false;           // no pauses: the answer is written out whole, not piece by piece
};

// Control bytes of an answer as a terminal shows them harmlessly: C0 controls other than TAB, LF
// and CR, and DEL, in caret form ("^[" for ESC, "^?" for DEL), as cat -v writes them. Every other
// byte is kept. (Pages reach the answer through GBK, which holds no C1 controls.)
std::string showControlBytes(std::string_view bytes);
// The same for one line of a log: TAB, LF and CR in caret form too, so that nothing a page chose
// can end the line and forge another.
std::string showControlBytesInLine(std::string_view bytes);

class TerminalControls : public ControlAccess {
 public:
  TerminalControls(ControlAccess& form, TerminalSettings settings, std::FILE* out = stdout,
                   std::FILE* err = stderr);

  PropertyValue readProperty(std::string_view control, Property property) override;
  void writeProperty(std::string_view control, Property property, PropertyValue value) override;
  void appendText(std::string_view control, std::string_view text) override;
  void setFocus(std::string_view control) override;
  void openPictureWindow() override;
  void runOnWindowThread(const std::function<void()>& fn) override;
  int characterCount(std::string_view box) override;
  void reserveContent(std::string_view box, std::size_t bytes) override;
  bool mainWindowOpen() const override;

  // Runs when 按钮1 is enabled again, i.e. the answer has been typed.
  std::function<void()> onAnswerTyped;

  // Writes one line of diagnostics to standard error, keeping the status line below it. Any
  // thread.
  void note(const std::string& line);

  // Leaves the terminal as it was found (status line erased, title restored).
  void finish();

 private:
  void showStatus(const std::string& utf8);
  void showProgress(const Text& title);
  void renderStatus();  // under errMutex_
  std::string utf8Piece(std::string_view gbk);

  ControlAccess& form_;
  TerminalSettings settings_;
  std::FILE* out_;
  std::FILE* err_;
  std::mutex errMutex_;
  bool statusShown_ = false;
  bool titlePushed_ = false;
  bool typedSomething_ = false;
  Text lastTitle_;
  std::string busy_;      // UTF-8
  std::string progress_;  // UTF-8
  // UTF-8 forms of the pieces typed so far: a piece is one character, and converting each anew
  // would cost more than everything else a tick does.
  std::unordered_map<std::string, std::string> utf8Pieces_;
};

}  // namespace qelvora::cli
