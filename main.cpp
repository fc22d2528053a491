#include "window.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    window w(nullptr);
    w.show();
    return app.exec();
}
