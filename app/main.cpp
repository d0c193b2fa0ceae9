#include "mainwindow.h"

#include <QApplication>

static MainWindow *w = nullptr;

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    w = new MainWindow;
    w->setWindowTitle(QStringLiteral("RW47HN串口升级demo"));
    w->show();
    return app.exec();
}
