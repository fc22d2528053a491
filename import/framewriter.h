#ifndef FRAMEWRITER_H
#define FRAMEWRITER_H

#include <QString>

#include <csetjmp>
#include <cstdio>
#include <functional>

#include <jpeglib.h>

// Encodes frames of one size into JPEG in memory: greyscale, or colour
// without chroma subsampling, with optimized Huffman tables.  One per thread.
class framewriter
{
public:
    framewriter(int width, int height, int components, int quality);
    ~framewriter();
    framewriter(const framewriter &) = delete;
    framewriter &operator=(const framewriter &) = delete;

    // fillRow(y, row) puts row y's samples, components interleaved, into row.
    bool encode(const std::function<void(int, unsigned char *)> &fillRow, QString *error);
    const unsigned char *data() const { return buffer; }
    std::size_t size() const { return used; }

private:
    struct errorManager
    {
        jpeg_error_mgr pub;
        std::jmp_buf jump;
    };
    static void errorExit(j_common_ptr info);

    int width;
    int height;
    int components;
    int quality;
    jpeg_compress_struct info;
    errorManager errors;
    unsigned char *row = nullptr;
    unsigned char *buffer = nullptr;
    unsigned long capacity = 0;
    unsigned char *out = nullptr;   // where libjpeg writes this frame
    unsigned long outSize = 0;
    std::size_t used = 0;
};

#endif
