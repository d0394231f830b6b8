// Typing into real widgets as a user would.
#pragma once

#include <QString>
#include <QTest>
#include <QWidget>

namespace qelvora::testing {

// Types text key by key: ASCII through QTest::keyClicks, other characters as key events that carry
// their text, as an input method delivers them.
inline void typeText(QWidget* w, const QString& text) {
  for (QChar ch : text) {
    if (ch.unicode() < 0x80)
      QTest::keyClicks(w, QString(ch));
    else
      QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(ch), Qt::NoModifier);
  }
}

}  // namespace qelvora::testing
