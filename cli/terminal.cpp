#include "cli/terminal.h"

#include "base/bytes.h"
#include "web/encoding.h"

namespace qelvora::cli {

namespace {

void put(std::FILE* f, std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fflush(f);
}

}  // namespace

namespace {

std::string caretForm(std::string_view bytes, bool keepLayout) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    if (isControlByte(c) && !(keepLayout && (c == '\t' || c == '\n' || c == '\r'))) {
      out += '^';
      out += c == 0x7F ? '?' : static_cast<char>(c + 0x40);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string showControlBytes(std::string_view bytes) {
  return caretForm(bytes, true);
}

std::string showControlBytesInLine(std::string_view bytes) {
  return caretForm(bytes, false);
}

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
  std::string shown = settings_.gbk ? Text(text) : utf8Piece(text);
  // A page must not steer the user's terminal (clear it, retitle it, ...): there, control bytes
  // are shown as they would be by cat -v. Into a file or a pipe the answer goes byte for byte.
  if (settings_.stdoutIsTerminal) shown = showControlBytes(shown);
  std::fwrite(shown.data(), 1, shown.size(), out_);
  if (!settings_.instant) std::fflush(out_);
}

std::string TerminalControls::utf8Piece(std::string_view gbk) {
  if (gbk.size() > 2) return gbkToUtf8(gbk);
  auto [at, added] = utf8Pieces_.try_emplace(std::string(gbk));
  if (added) at->second = gbkToUtf8(gbk);
  return at->second;
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
int TerminalControls::characterCount(std::string_view box) {
  return form_.characterCount(box);
}
void TerminalControls::reserveContent(std::string_view box, std::size_t bytes) {
  form_.reserveContent(box, bytes);
}
bool TerminalControls::mainWindowOpen() const {
  return form_.mainWindowOpen();
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

void TerminalControls::note(const std::string& line) {
  std::lock_guard lock(errMutex_);
  if (statusShown_) put(err_, "\r\033[K");
  put(err_, line + "\n");
  if (statusShown_) renderStatus();
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
