#ifndef BENCHUTIL_H
#define BENCHUTIL_H

// What the benchmark drivers share: the viewer's heap and a count of its trace lines.

#include <malloc.h>

#include <algorithm>
#include <streambuf>

// The heap as the viewer's main sets it up.
constexpr int viewerMmapThreshold = 256 * 1024 * 1024;
constexpr int viewerTrimThreshold = 512 * 1024 * 1024;

inline void heapAsViewer()
{
    mallopt(M_MMAP_THRESHOLD, viewerMmapThreshold);
    mallopt(M_TRIM_THRESHOLD, viewerTrimThreshold);
}

// Counts the trace lines the viewer writes to std::cerr: one per frame or plane it reads.
class LineCounter : public std::streambuf
{
public:
    int lines = 0;

protected:
    int overflow(int c) override
    {
        if (c == '\n')
            ++lines;
        return c;
    }
    std::streamsize xsputn(const char *s, std::streamsize n) override
    {
        lines += int(std::count(s, s + n, '\n'));
        return n;
    }
};

#endif
