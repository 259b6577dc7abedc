// The yardstick of the memory and idle figures: a bare Qt Widgets window of the gateway's
// size doing nothing, built with the same Qt.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.resize(633, 568);
  window.setWindowTitle(QStringLiteral("bare"));
  window.show();
  return app.exec();
}
