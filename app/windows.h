// The Qt widget windows: views of the form model, built from the layouts in resources/ui.
// Values flow from the model into the widgets; what the user types, picks or clicks flows back
// into the model, which stays the owner of every value.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <string_view>

#include "app/form_model.h"

class QLineEdit;

namespace qelvora {

// Client sizes that keep the visible area of the original window frames.
inline constexpr int kMainClientWidth = 372;
inline constexpr int kMainClientHeight = 308;
inline constexpr int kPictureClientWidth = 296;
inline constexpr int kPictureClientHeight = 288;

class WindowViews : public QObject {
  Q_OBJECT

 public:
  // Builds the main window (not shown yet) and follows model from now on.
  explicit WindowViews(FormModel& model);
  ~WindowViews() override;

  QWidget* mainWindow() const { return main_; }
  // The open "相关图片" window, nullptr while it is closed.
  QWidget* pictureWindow() const { return picture_; }
  // A control's widget by its layout name, in either window (nullptr if none).
  QWidget* control(std::string_view name) const;

  // Centres the main window on its screen and shows it.
  void showMainWindow();

  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void syncAll(QWidget* root);
  void syncProperty(const QString& name, Property property);
  void appendToBox(const QString& name, const QByteArray& text);
  void openPicture();
  void closePicture();
  void bindInputs(QWidget* root);
  // Shows the model's bytes in a line edit without taking its rendering back into the model.
  void showModelText(QLineEdit* line, const Text& gbk);

  FormModel& model_;
  QPointer<QWidget> main_;
  QPointer<QWidget> picture_;
  bool showingModel_ = false;
  std::unique_ptr<QAbstractNativeEventFilter> closeRequests_;
};

}  // namespace qelvora
