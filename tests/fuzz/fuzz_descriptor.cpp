// Reads every input as a descriptor file into one window.  What the reader
// traces on std::cerr is kept from the fuzzer's own output.

#include "fuzzinput.h"
#include "window.h"

#include <QApplication>

#include <sstream>
#include <iostream>

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

memoryFile *input = nullptr;
window *shown = nullptr;

}

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    static int argc = 1;
    static char *args[] = { (*argv)[0], nullptr };
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, args);
    shown = new window;
    input = new memoryFile("descriptor");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    input->write(data, size);
    descriptorFuzzer::read(*shown, input->path());
    return 0;
}
