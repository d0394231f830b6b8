#include "cli/terminal.h"

#include "web/encoding.h"

namespace qelvora::cli {

namespace {

void put(std::FILE* f, std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fflush(f);
}

}  // namespace

TerminalControls::TerminalControls(ControlAccess& form, TerminalSettings settings, std::FILE* out,
                                   std::FILE* err)
    : form_(form), settings_(settings), out_(out), err_(err) {}

PropertyValue TerminalControls::readProperty(std::string_view control, Property property) {
  return form_.readProperty(control, property);
}

void TerminalControls::writeProperty(std::string_view control, Property property,
                                     PropertyValue value) {
  const bool answerBox = control == ctl::kAnswerBox && property == Property::Content;
  const bool title = control == ctl::kMainWindow && property == Property::Title;
  const bool enabled = control == ctl::kAskButton && property == Property::Disabled &&
                       std::holds_alternative<bool>(value) && !std::get<bool>(value);
  Text text = (answerBox || title) ? asText(value) : Text();
  form_.writeProperty(control, property, std::move(value));
  // The busy text is written whole; the typed answer arrives through appendText.
  if (answerBox) showStatus(gbkToUtf8(text));
  if (title) showProgress(text);
  if (enabled && onAnswerTyped) onAnswerTyped();
}

void TerminalControls::appendText(std::string_view control, std::string_view text) {
  form_.appendText(control, text);
  if (control != ctl::kAnswerBox) return;
  {
    std::lock_guard lock(errMutex_);
    // Typing starts with the answer box cleared, which ends the busy text; the progress of a
    // redirected answer stays on the status line.
    typedSomething_ = true;
  }
  put(out_, settings_.gbk ? Text(text) : gbkToUtf8(text));
}

void TerminalControls::setFocus(std::string_view control) {
  form_.setFocus(control);
}
void TerminalControls::openPictureWindow() {
  form_.openPictureWindow();
}
void TerminalControls::runOnWindowThread(const std::function<void()>& fn) {
  form_.runOnWindowThread(fn);
}

void TerminalControls::showStatus(const std::string& utf8) {
  if (!settings_.statusOnStderr) return;
  std::lock_guard lock(errMutex_);
  busy_ = utf8;
  renderStatus();
}

void TerminalControls::showProgress(const Text& title) {
  if (!settings_.statusOnStderr) return;
  std::lock_guard lock(errMutex_);
  if (title == lastTitle_) return;
  lastTitle_ = title;
  std::string utf8 = gbkToUtf8(title);
  if (settings_.stdoutIsTerminal) {
    // The answer is being typed on this very terminal: a status line would cut into it, so the
    // progress goes where the window put it, into the title (saved first, restored by finish()).
    if (!titlePushed_) put(err_, "\033[22;0t");
    titlePushed_ = true;
    put(err_, "\033]0;" + utf8 + "\007");
    return;
  }
  // The answer goes elsewhere; the progress joins the status line.
  auto at = utf8.find("进度");
  progress_ = at == std::string::npos ? std::string() : utf8.substr(at);
  renderStatus();
}

void TerminalControls::renderStatus() {
  std::string line = busy_;
  if (!progress_.empty()) line += (line.empty() ? "" : "  ") + progress_;
  if (line.empty()) {
    if (statusShown_) put(err_, "\r\033[K");
    statusShown_ = false;
    return;
  }
  put(err_, "\r" + line + "\033[K");
  statusShown_ = true;
}

void TerminalControls::finish() {
  if (!settings_.statusOnStderr) return;
  std::lock_guard lock(errMutex_);
  if (statusShown_) put(err_, "\r\033[K");
  statusShown_ = false;
  if (titlePushed_) put(err_, "\033[23;0t");
  titlePushed_ = false;
  // The transcript has no final line break; keep the shell's prompt off the answer's last line.
  if (settings_.stdoutIsTerminal && typedSomething_) put(err_, "\n");
}

}  // namespace qelvora::cli
