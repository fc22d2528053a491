#ifndef FRAMEWRITER_H
#define FRAMEWRITER_H

#include <QString>

#include <csetjmp>
#include <cstdio>
#include <functional>
#include <vector>

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
    const unsigned char *data() const { return encoded.data(); }
    std::size_t size() const { return used; }

private:
    struct errorManager
    {
        jpeg_error_mgr pub;
        std::jmp_buf jump;
    };
    // libjpeg writes into `encoded`, which grows as needed and is kept for
    // the next frame; being ours, nothing is lost when encoding fails.
    struct destination
    {
        jpeg_destination_mgr pub;
        std::vector<unsigned char> *bytes;
    };
    static void errorExit(j_common_ptr info);
    static void startOutput(j_compress_ptr info);
    static boolean growOutput(j_compress_ptr info);
    static void endOutput(j_compress_ptr info);

    int width;
    int height;
    int components;
    int quality;
    jpeg_compress_struct info;
    errorManager errors;
    destination dest;
    unsigned char *row = nullptr;
    std::vector<unsigned char> encoded;
    std::size_t used = 0;
};

#endif
