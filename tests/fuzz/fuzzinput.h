#ifndef FUZZINPUT_H
#define FUZZINPUT_H

// What the fuzzers share: each input as a file in memory that the readers
// open by its name, Qt's messages silenced, and checks that stop the run
// with a line naming the fuzzer and what failed.
#include <QCoreApplication>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

inline void require(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), what);
    std::abort();
}

// Warnings about damaged input would drown the fuzzer's own lines.
inline void silenceQt()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) { });
}

class memoryFile
{
public:
    explicit memoryFile(const char *name) : fd(memfd_create(name, MFD_CLOEXEC)) { require(fd >= 0, "no memory file"); }

    QString path() const { return QStringLiteral("/proc/self/fd/%1").arg(fd); }
    void write(const uint8_t *data, size_t size) const
    {
        require(ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == ssize_t(size), "cannot write the input");
    }

private:
    int fd;
};

#endif
