// The related picture on the real headless form: the loader fills 图片框1 of an open window, a
// loader that finishes after the window has been closed changes nothing, and closing the window
// hands only web addresses to the desktop's browser.
#include <gd.h>
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "../sources/test_source_support.h"
#include "app/form_model.h"
#include "base/threads.h"
#include "sources/picture.h"
#include "tests/support/qt_events.h"

namespace qelvora {
namespace {

using testing::serveUntil;

QCoreApplication& application() {
  static int argc = 1;
  static char name[] = "test_picture_window";
  static char* argv[] = {name, nullptr};
  static auto* app = new QCoreApplication(argc, argv);
  return *app;
}

std::string pngBytes() {
  gdImagePtr im = gdImageCreateTrueColor(64, 48);
  int size = 0;
  void* p = gdImagePngPtr(im, &size);
  std::string out(static_cast<char*>(p), static_cast<std::size_t>(size));
  gdFree(p);
  gdImageDestroy(im);
  return out;
}

class PictureWindow : public ::testing::Test {
 protected:
  void SetUp() override { application(); }
};

TEST_F(PictureWindow, LoaderFillsTheOpenWindow) {
  testing::RecordingServer server([](const std::string&) { return testing::Reply{pngBytes()}; });
  FormModel model;
  model.setContent(ctl::kPictureAddressBox, server.host() + "/shot.png");
  Bytes shown;
  std::atomic<bool> finished{false};
  model.handlers.pictureWindowCreated = [&] {
    startWorker([&] {
      loadRelatedPicture(model);
      shown = ControlAccess::asBytes(model.readProperty(ctl::kPictureBox, Property::Picture));
      model.closePictureWindow();
      finished = true;
    });
  };
  model.openPictureWindow();
  serveUntil([&] { return finished.load(); });
  EXPECT_TRUE(shown.view().starts_with("GIF8"));
  EXPECT_FALSE(model.pictureWindowOpen());
}

TEST_F(PictureWindow, LateLoaderIsDropped) {
  // The server answers only once the window has been closed.
  std::promise<void> closed;
  std::shared_future<void> closedSeen = closed.get_future().share();
  testing::RecordingServer server([closedSeen](const std::string&) {
    closedSeen.wait();
    return testing::Reply{pngBytes()};
  });
  FormModel model;
  model.setContent(ctl::kPictureAddressBox, server.host() + "/shot.png");
  std::atomic<bool> loaded{false};
  model.handlers.pictureWindowCreated = [&] {
    startWorker([&] {
      loadRelatedPicture(model);
      loaded = true;
    });
    QTimer::singleShot(0, &model, [&] { model.closePictureWindow(); });
  };
  model.handlers.pictureWindowClosing = [&] { closed.set_value(); };
  model.openPictureWindow();
  serveUntil([&] { return loaded.load(); });
  ASSERT_TRUE(loaded);

  // The next opening starts with an empty picture box.
  Bytes atOpen(std::string("unread"));
  model.handlers.pictureWindowCreated = [&] {
    atOpen = ControlAccess::asBytes(model.readProperty(ctl::kPictureBox, Property::Picture));
    model.closePictureWindow();
  };
  model.handlers.pictureWindowClosing = nullptr;
  model.openPictureWindow();
  EXPECT_TRUE(atOpen.empty());
}

// Counts the browser's address writes on their way to the form.
class CountingControls : public ControlAccess {
 public:
  explicit CountingControls(FormModel& model) : model_(model) {}
  PropertyValue readProperty(std::string_view c, Property p) override {
    return model_.readProperty(c, p);
  }
  void writeProperty(std::string_view c, Property p, PropertyValue v) override {
    model_.writeProperty(c, p, std::move(v));
    if (c == ctl::kBrowser) ++browserWrites;
  }
  void appendText(std::string_view c, std::string_view t) override { model_.appendText(c, t); }
  void setFocus(std::string_view c) override { model_.setFocus(c); }
  void openPictureWindow() override { model_.openPictureWindow(); }
  std::atomic<int> browserWrites{0};

 private:
  FormModel& model_;
};

TEST_F(PictureWindow, ClosingOffersOnlyWebAddresses) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"http://127.0.0.1:8750/down/tool.zip", 1},
      {"HTTPS://host/setup.exe", 1},
      {"", 0},
      {"http:///etc/passwd", 0},
      {"file:///etc/passwd", 0},
      {"javascript:alert(1)", 0},
  };
  for (const auto& [address, offers] : cases) {
    FormModel model;
    CountingControls controls(model);
    ProgramState state;
    state.downloadAddress = address;
    std::vector<Text> opened;
    model.setBrowserOpener([&](const Text& a) { opened.push_back(a); });
    model.handlers.pictureWindowCreated = [&] {
      QTimer::singleShot(0, &model, [&] { model.closePictureWindow(); });
    };
    model.handlers.pictureWindowClosing = [&] { pictureWindowClosed(controls, state); };
    // Twice: every closing offers the same address again.
    for (int round = 1; round <= 2; ++round) {
      model.openPictureWindow();
      serveUntil([&] { return controls.browserWrites.load() >= 2 * round; });
    }
    ASSERT_EQ(controls.browserWrites.load(), 4) << address;
    ASSERT_EQ(static_cast<int>(opened.size()), 2 * offers) << address;
    for (const Text& a : opened) EXPECT_EQ(a, address);
  }
}

}  // namespace
}  // namespace qelvora
