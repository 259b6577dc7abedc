// The yardstick of the memory and idle figures: a bare Qt Widgets window of the gateway's
// size doing nothing, built with the same Qt. With an argument it shows that text in a
// label, which is what any window with Chinese text pays for its fonts.
#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget window;
  window.resize(633, 568);
  window.setWindowTitle(QStringLiteral("bare"));
  if (argc > 1) (new QVBoxLayout(&window))->addWidget(new QLabel(QString::fromUtf8(argv[1])));
  window.show();
  return app.exec();
}
