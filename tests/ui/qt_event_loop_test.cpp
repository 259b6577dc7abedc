#include "ui/qt_event_loop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

namespace ol {
namespace {

// Once the application is told to quit, Qt's local loops return at once; a wait must then
// end instead of going round them until its time is up, and tell its caller to stop.
TEST(QtEventLoopTest, AWaitAfterTheQuitEndsAtOnceAndSaysSo) {
  QtEventLoop loop;
  bool more = true;
  qint64 waited = -1;
  QTimer::singleShot(0, [&] {
    QCoreApplication::quit();
    QElapsedTimer clock;
    clock.start();
    more = loop.Delay(0, 500);
    waited = clock.elapsed();
  });
  QCoreApplication::exec();
  EXPECT_FALSE(more);
  EXPECT_LT(waited, 500);
  EXPECT_FALSE(loop.Delay(0, 100));
}

}  // namespace
}  // namespace ol
