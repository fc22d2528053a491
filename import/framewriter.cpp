#include "framewriter.h"

#include <cstdlib>

framewriter::framewriter(int width, int height, int components, int quality)
    : width(width), height(height), components(components), quality(quality)
{
    info.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = errorExit;
    jpeg_create_compress(&info);
    dest.pub.init_destination = startOutput;
    dest.pub.empty_output_buffer = growOutput;
    dest.pub.term_destination = endOutput;
    dest.bytes = &encoded;
    info.dest = &dest.pub;
    row = static_cast<unsigned char *>(std::malloc(std::size_t(width) * components));
}

framewriter::~framewriter()
{
    jpeg_destroy_compress(&info);
    std::free(row);
}

void framewriter::errorExit(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<errorManager *>(info->err)->jump, 1);
}

void framewriter::startOutput(j_compress_ptr info)
{
    auto *d = reinterpret_cast<destination *>(info->dest);
    if (d->bytes->empty())
        d->bytes->resize(1 << 16);
    d->pub.next_output_byte = d->bytes->data();
    d->pub.free_in_buffer = d->bytes->size();
}

boolean framewriter::growOutput(j_compress_ptr info)
{
    auto *d = reinterpret_cast<destination *>(info->dest);
    const std::size_t full = d->bytes->size();
    d->bytes->resize(2 * full);
    d->pub.next_output_byte = d->bytes->data() + full;
    d->pub.free_in_buffer = full;
    return TRUE;
}

void framewriter::endOutput(j_compress_ptr)
{
}

bool framewriter::encode(const std::function<void(int, unsigned char *)> &fillRow, QString *error)
{
    if (setjmp(errors.jump)) {
        char message[JMSG_LENGTH_MAX];
        errors.pub.format_message(reinterpret_cast<j_common_ptr>(&info), message);
        *error = QString::fromLocal8Bit(message);
        jpeg_abort_compress(&info);
        return false;
    }
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
    used = encoded.size() - dest.pub.free_in_buffer;
    return true;
}
