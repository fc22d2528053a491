// Writes a synthetic z-stack time-lapse in Tesseline's dataset layout: a
// descriptor NAME.tz and JPEG frames img/NAME_tTTT_zZZZ_ch000.jpg.  Cell-like
// bodies with inner texture drift over time, one divides, and the focal planes
// away from the middle one are increasingly blurred.  The output depends on
// the arguments only.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QImage>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

struct Cell
{
    double x, y, vx, vy, rx, ry, angle, brightness;
    unsigned seed;
};

// Integer hash noise: the same everywhere, no library random generator.
double hashNoise(int x, int y, unsigned seed)
{
    unsigned h = unsigned(x) * 374761393u + unsigned(y) * 668265263u + seed * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return double((h ^ (h >> 16)) & 0xffff) / 65535.0;
}

double smoothNoise(double x, double y, unsigned seed)
{
    const int ix = int(std::floor(x)), iy = int(std::floor(y));
    const double fx = x - ix, fy = y - iy;
    const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
    const double top = hashNoise(ix, iy, seed) * (1 - sx) + hashNoise(ix + 1, iy, seed) * sx;
    const double bottom = hashNoise(ix, iy + 1, seed) * (1 - sx) + hashNoise(ix + 1, iy + 1, seed) * sx;
    return top * (1 - sy) + bottom * sy;
}

// Adds one body to the intensity buffer: a soft ellipse with a nucleus and granules.
void drawBody(std::vector<float> &buffer, int width, int height, double cx, double cy, double rx,
              double ry, double angle, double brightness, unsigned seed, double scale)
{
    const double c = std::cos(angle), s = std::sin(angle);
    const double reach = std::max(rx, ry) * 1.1;
    for (int y = std::max(0, int(cy - reach)); y < std::min(height, int(cy + reach) + 1); ++y) {
        for (int x = std::max(0, int(cx - reach)); x < std::min(width, int(cx + reach) + 1); ++x) {
            const double dx = x - cx, dy = y - cy;
            const double u = (dx * c + dy * s) / rx, v = (-dx * s + dy * c) / ry;
            const double r2 = u * u + v * v;
            if (r2 >= 1)
                continue;
            const double body = std::sqrt(1 - r2);
            const double rim = std::exp(-std::pow((std::sqrt(r2) - 0.92) / 0.05, 2));
            const double nucleus = std::exp(-((u + 0.15) * (u + 0.15) + v * v) / 0.12);
            const double granules = smoothNoise(x / (3.0 * scale), y / (3.0 * scale), seed);
            const double value = brightness * 1.3 * (0.35 * body + 0.5 * rim + 0.25 * granules * body
                                               - 0.2 * nucleus + 0.15 * std::pow(smoothNoise(x / (7.0 * scale), y / (7.0 * scale), seed + 7), 3));
            float &pixel = buffer[size_t(y) * width + x];
            pixel = std::max(pixel, float(value));
        }
    }
}

// Three box blurs in each direction come close to a Gaussian of the given sigma.
void blur(std::vector<float> &buffer, int width, int height, double sigma)
{
    const int radius = int(std::lround(std::sqrt(sigma * sigma + 1) - 1));
    if (radius <= 0)
        return;
    std::vector<float> line;
    auto pass = [&](int count, int length, auto at) {
        line.resize(size_t(length));
        for (int i = 0; i < count; ++i) {
            for (int round = 0; round < 3; ++round) {
                double sum = 0;
                for (int k = -radius; k <= radius; ++k)
                    sum += at(i, std::clamp(k, 0, length - 1));
                for (int j = 0; j < length; ++j) {
                    line[size_t(j)] = float(sum / (2 * radius + 1));
                    sum += at(i, std::min(j + radius + 1, length - 1)) - at(i, std::max(j - radius, 0));
                }
                for (int j = 0; j < length; ++j)
                    at(i, j) = line[size_t(j)];
            }
        }
    };
    pass(height, width, [&](int y, int x) -> float & { return buffer[size_t(y) * width + x]; });
    pass(width, height, [&](int x, int y) -> float & { return buffer[size_t(y) * width + x]; });
}

std::vector<float> sharpFrame(const std::vector<Cell> &cells, int width, int height, int time, int times)
{
    const double scale = std::min(width, height) / 360.0;
    std::vector<float> buffer(size_t(width) * height, 0.f);
    for (size_t i = 0; i < cells.size(); ++i) {
        const Cell &cell = cells[i];
        const double wobble = std::sin(time * 0.4 + cell.seed) * 3 * scale;
        const double x = cell.x + cell.vx * time + wobble, y = cell.y + cell.vy * time - wobble;
        const double split = i == 0 ? std::clamp((time - times * 0.45) / (times * 0.3), 0.0, 1.0) : 0;
        if (split <= 0) {
            drawBody(buffer, width, height, x, y, cell.rx, cell.ry, cell.angle + time * 0.03,
                     cell.brightness, cell.seed, scale);
            continue;
        }
        // The dividing cell stretches, then parts into two daughters moving apart.
        const double apart = split * cell.rx * 1.2;
        const double c = std::cos(cell.angle), s = std::sin(cell.angle);
        for (int side : { -1, 1 })
            drawBody(buffer, width, height, x + side * apart * c, y + side * apart * s,
                     cell.rx * (1 - 0.3 * split), cell.ry * (1 - 0.15 * split), cell.angle,
                     cell.brightness, cell.seed + unsigned(side + 2), scale);
    }
    return buffer;
}

QImage focus(std::vector<float> buffer, int width, int height, int time, int plane, int planes)
{
    const double scale = std::min(width, height) / 360.0;
    const int middle = (planes - 1) / 2;
    blur(buffer, width, height, std::abs(plane - middle) * 1.6 * scale);
    const double dim = 1.0 / (1.0 + 0.06 * std::abs(plane - middle));

    static const std::vector<QRgb> palette = [] {
        std::vector<QRgb> colours(1024);
        for (size_t i = 0; i < colours.size(); ++i) {
            const double v = i / 1023.0;
            colours[i] = qRgb(int(255 * std::pow(v, 1.4) * 0.55), int(255 * v), int(255 * std::pow(v, 1.2) * 0.7));
        }
        return colours;
    }();
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double v = std::min(1.0, buffer[size_t(y) * width + x] * dim + 0.04 * hashNoise(x, y, unsigned(time * 131 + plane)));
            row[x] = palette[size_t(v * 1023)];
        }
    }
    return image;
}

std::vector<Cell> cells(int width, int height, int times)
{
    const double scale = std::min(width, height) / 360.0;
    const double step = scale / std::max(1, times) * 24;
    return {
        { width * 0.35, height * 0.45, 1.6 * step, 0.4 * step, 58 * scale, 44 * scale, 0.4, 0.95, 11 },
        { width * 0.75, height * 0.25, -1.1 * step, 0.9 * step, 42 * scale, 34 * scale, -0.7, 0.8, 23 },
        { width * 0.70, height * 0.75, -0.6 * step, -1.2 * step, 48 * scale, 38 * scale, 1.2, 0.85, 37 },
        { width * 0.15, height * 0.80, 0.9 * step, -0.5 * step, 32 * scale, 27 * scale, 0.1, 0.7, 41 },
        { width * 0.12, height * 0.18, 0.7 * step, 0.8 * step, 36 * scale, 29 * scale, 2.0, 0.75, 59 },
    };
}

QString digits(int a)
{
    return QString::number(a).rightJustified(3, '0');
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Writes a synthetic Tesseline dataset into FOLDER.");
    parser.addHelpOption();
    parser.addPositionalArgument("folder", "Where the descriptor and img/ go.");
    parser.addOptions({
        { "name", "Dataset name.", "name", "sample" },
        { "size", "Frame size, WIDTHxHEIGHT.", "size", "480x360" },
        { "times", "Number of time points.", "n", "24" },
        { "planes", "Number of focal planes.", "n", "15" },
        { "flat", "Fill every frame with one colour of its own instead of cells." },
        { "grey", "Write 8-bit greyscale frames, as most microscope cameras do." },
    });
    parser.process(app);
    const QStringList size = parser.value("size").split('x');
    const int width = size.value(0).toInt(), height = size.value(1).toInt();
    const int times = parser.value("times").toInt(), planes = parser.value("planes").toInt();
    if (parser.positionalArguments().size() != 1 || width <= 0 || height <= 0 || times <= 0
        || planes <= 0)
        parser.showHelp(1);

    const QDir folder(parser.positionalArguments().first());
    const QString name = parser.value("name");
    if (!folder.mkpath("img"))
        return 1;
    QFile descriptor(folder.filePath(name + ".tz"));
    if (!descriptor.open(QIODevice::WriteOnly | QIODevice::Text))
        return 1;
    descriptor.write(QString("dataset %1\nwidth %2\nheight %3\nmint 0\nmaxt %4\nminz 0\nmaxz %5\n")
                             .arg(name).arg(width).arg(height).arg(times - 1).arg(planes - 1)
                             .toLocal8Bit());

    const std::vector<Cell> body = cells(width, height, times);
    for (int t = 0; t < times; ++t) {
        const std::vector<float> sharp = sharpFrame(body, width, height, t, times);
        for (int z = 0; z < planes; ++z) {
            QImage image(width, height, QImage::Format_RGB32);
            if (parser.isSet("flat"))
                image.fill(QColor((t * 37 + 40) % 256, (z * 53 + 90) % 256, (t * 11 + z * 29) % 256));
            else
                image = focus(sharp, width, height, t, z, planes);
            const QString file = folder.filePath(QString("img/%1_t%2_z%3_ch000.jpg").arg(name, digits(t), digits(z)));
            if (parser.isSet("grey"))
                image = image.convertToFormat(QImage::Format_Grayscale8);
            if (!image.save(file, "JPG", 90)) {
                std::fprintf(stderr, "gensample: cannot write %s\n", qPrintable(file));
                return 1;
            }
        }
    }
    return 0;
}
