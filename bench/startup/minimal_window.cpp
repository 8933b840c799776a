// One window with one line of text: what any Qt Widgets program pays to appear.
#include <QApplication>
#include <QLabel>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.setCentralWidget(new QLabel(QStringLiteral("Minimal window")));
    window.resize(750, 500);
    window.show();
    return app.exec();
}
