// Reads every input as a descriptor file into one window.  What the reader
// traces on std::cerr is kept from the fuzzer's own output.

#include "window.h"

#include <QApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <iostream>

#include <sys/mman.h>
#include <unistd.h>

class descriptorFuzzer
{
public:
    static void read(window &w, const QString &fileName)
    {
        std::ostringstream trace;
        std::streambuf *old = std::cerr.rdbuf(trace.rdbuf());
        w.readDescriptor(fileName);
        std::cerr.rdbuf(old);
        // Tokens are cut at 4096 characters, names too.
        if (w.dataset.size() > 4096) {
            std::fprintf(stderr, "fuzz-descriptor: a dataset name of %lld bytes\n", qlonglong(w.dataset.size()));
            std::abort();
        }
    }
};

namespace {

int fd = -1;
QString fileName;
window *shown = nullptr;

}

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    static int argc = 1;
    static char *args[] = { (*argv)[0], nullptr };
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, args);
    shown = new window;
    fd = memfd_create("descriptor", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    fileName = QString("/proc/self/fd/%1").arg(fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        std::abort();
    descriptorFuzzer::read(*shown, fileName);
    return 0;
}
