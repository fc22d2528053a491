#include "framewriter.h"

#include <cstdlib>

framewriter::framewriter(int width, int height, int components, int quality)
    : width(width), height(height), components(components), quality(quality)
{
    info.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = errorExit;
    jpeg_create_compress(&info);
    row = static_cast<unsigned char *>(std::malloc(std::size_t(width) * components));
}

framewriter::~framewriter()
{
    jpeg_destroy_compress(&info);
    std::free(row);
    std::free(buffer);
}

void framewriter::errorExit(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<errorManager *>(info->err)->jump, 1);
}

bool framewriter::encode(const std::function<void(int, unsigned char *)> &fillRow, QString *error)
{
    // libjpeg writes into our buffer, or into a larger one of its own that we then keep.
    out = buffer;
    outSize = capacity;
    if (setjmp(errors.jump)) {
        char message[JMSG_LENGTH_MAX];
        errors.pub.format_message(reinterpret_cast<j_common_ptr>(&info), message);
        *error = QString::fromLocal8Bit(message);
        // A buffer libjpeg grew into is lost here: it may have freed the one out points to.
        jpeg_abort_compress(&info);
        return false;
    }
    jpeg_mem_dest(&info, &out, &outSize);
    info.image_width = width;
    info.image_height = height;
    info.input_components = components;
    info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    info.optimize_coding = TRUE;
    for (int c = 0; c < info.num_components; ++c)
        info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
    jpeg_start_compress(&info, TRUE);
    JSAMPROW rows[1] = { row };
    for (int y = 0; y < height; ++y) {
        fillRow(y, row);
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    if (out != buffer) {
        std::free(buffer);
        buffer = out;
        capacity = outSize;
    }
    used = outSize;
    return true;
}
