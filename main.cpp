#include "window.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>

#include <iostream>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    window w(nullptr);

    // Qt has taken its own options out of the arguments: what is left is a descriptor to open.
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() > 1) {
        const QString fileName = arguments.at(1);
        QFile file(fileName);
        QString reason;
        if (QFileInfo(fileName).isDir())
            reason = QStringLiteral("Is a directory");
        else if (!file.open(QIODevice::ReadOnly))
            reason = file.errorString();
        if (reason.isEmpty())
            w.openDescriptor(fileName);
        else
            std::cerr << "tesseline: cannot read " << fileName.toLocal8Bit().constData() << ": "
                      << reason.toLocal8Bit().constData() << std::endl;
    }

    w.show();
    return app.exec();
}
