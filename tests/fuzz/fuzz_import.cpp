// Reads every input with tesseline-import's reader: as metadata text for
// each parser, as the names of a file series, and as a file that openFile()
// recognises by its content, reading every plane of a stack that opens.
// What comes back must be consistent: sizes that agree, indices within the
// names, and one-line errors that name the file.

#include "fuzzinput.h"
#include "indexnames.h"
#include "metadata.h"
#include "pagelayout.h"
#include "stack.h"
#include "zarrcodecs.h"
#include "zarrmetadata.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>

namespace {

memoryFile *input = nullptr;
QTemporaryDir *shardFolder = nullptr;

void requireError(const QString &error, const QString &where = input->path())
{
    require(error.startsWith(where + ": ") || error.startsWith(where + "/"), "an error that does not name the file");
    require(!error.contains('\n'), "an error of more than one line");
}

// The parsers on the bytes themselves; the ImageJ tags take their byte
// counts from the first bytes.
void parse(const QByteArray &bytes)
{
    parseImagejDescription(bytes);
    parseTifffileShape(bytes);
    std::vector<omeImage> ome;
    bool isOme = false;
    QString error;
    parseOme(bytes, &ome, &isOme, &error);
    zarrArray array;
    if (parseZarray(bytes, &array, &error))
        require(array.shape.size() == array.chunks.size() && array.chunkBytes() <= maxChunkBytes
                        && (array.itemBytes == 1 || array.itemBytes == 2 || array.itemBytes == 4 || array.itemBytes == 8),
                "a Zarr array that cannot be read");
    if (parseZarrJson(bytes, &array, &error))
        require(array.shape.size() == array.chunks.size() && array.chunkBytes() <= maxChunkBytes
                        && (array.shard.empty() || (array.shard.size() == array.chunks.size() && array.chunksPerShard() <= maxChunksPerShard))
                        && (array.order.empty() || array.order.size() == array.chunks.size()),
                "a Zarr v3 array that cannot be read");
    zarrImage image;
    QByteArray attributes;
    if (!zarrJsonNode(bytes, &attributes, &error).isEmpty())
        parseImageAttributes(attributes, &image, &error);
    if (parseImageAttributes(bytes, &image, &error)) {
        require(!image.levels.isEmpty() && image.scales.size() == size_t(image.levels.size()), "an image without its levels");
        for (const QString &path : image.levels)
            require(!path.isEmpty() && !path.startsWith('/') && !path.split('/').contains(".."), "a level outside the image");
    }
    for (const zarrChild &child : parsePlateWells(bytes))
        require(!child.path.split('/').contains("..") && !child.path.startsWith('/'), "a well outside the plate");
    for (const zarrChild &child : parseWellImages(bytes, "A/1"))
        require(child.path.startsWith("A/1/") && !child.path.split('/').contains(".."), "a field outside its well");
    const lsmColours colours = parseLsmColours(bytes);
    require(colours.colours.size() <= size_t(bytes.size()) / 4
                    && (colours.names.isEmpty() || colours.names.size() == qsizetype(colours.colours.size())),
            "more LSM colours than the bytes hold, or names that do not match them");

    const int counts = bytes.isEmpty() ? 1 : 1 + uchar(bytes[0]) % 16;
    std::vector<uint32_t> byteCounts(static_cast<size_t>(counts));
    if (bytes.size() >= 1 + 4 * counts) {
        std::memcpy(byteCounts.data(), bytes.constData() + 1, 4 * size_t(counts));
        const imagejExtras extras = parseImagejMetadata(byteCounts, bytes.mid(1 + 4 * counts));
        require(extras.ranges.size() <= size_t(bytes.size()) / 16 && extras.colours.size() <= size_t(bytes.size()) / 768,
                "more ImageJ ranges or LUTs than the bytes hold");
    }

    // The layouts of pages as small files have them.
    pageFacts facts;
    facts.fileName = "x.ome.tif";
    facts.pages = 1 + (bytes.isEmpty() ? 0 : uchar(bytes.back()) % 64);
    facts.width = 37;
    facts.height = 23;
    stackOptions options;
    options.planes = bytes.size() % 4;
    options.image = int(bytes.size() % 3) - 1;
    pageMetadata metadata;
    metadata.description = bytes;
    metadata.imagejDescription = bytes;
    metadata.lsm = parseLsmInfo(bytes);
    metadata.lsmChannels = colours;
    pageLayout layout;
    if (layoutPages(facts, metadata, options, &layout, &error)) {
        require(size_t(layout.times) * layout.planes * layout.pageChannels == layout.pages.size(), "a layout of another size");
        for (int page : layout.pages)
            require(page >= -1 && page < facts.pages, "a layout naming a page the file does not have");
        require(layout.image >= 0 && (layout.images.empty() ? layout.image == 0 : layout.image < int(layout.images.size())),
                "a layout of an image the file does not have");
    }
}

// The bytes as the names of a few files, one a line: the numbers in each
// name, and the layout of the series they give.
void layoutAsNames(const QByteArray &bytes)
{
    QStringList names;
    for (const QByteArray &line : bytes.split('\n').mid(0, 8))
        names << QString::fromUtf8(line);
    std::stable_sort(names.begin(), names.end(), naturalLess);
    for (const QString &name : names) {
        const QString base = indexBaseName(name);
        require(name.contains(base), "a base name that is not in its name");
        for (const nameNumber &n : nameNumbers(base))
            require(n.start >= 0 && n.length > 0 && n.start + n.length <= base.size() && n.wordStart < n.start
                            && (n.wordStart >= 0) == (n.axis != nameAxis::none),
                    "a number outside its name");
    }
    nameLayout layout;
    QString error;
    if (!layoutNames(names, &layout, &error)) {
        require(error.startsWith(names.first() + ": ") && !error.contains('\n'), "an error that is not one line naming the first file");
        return;
    }
    require(layout.index.size() == size_t(names.size()), "a layout of other files");
    for (const auto &index : layout.index)
        for (int a = 0; a < 3; ++a)
            require(layout.named[a] ? index[a] >= 0 && index[a] < names.size() : index[a] == -1, "an index outside the names");
    seriesName(names);
}

void readAll(stack &s, const QString &where = input->path());

// The bytes as the one shard of a Zarr v3 array, its index at the end or
// at the start, read through a folder.
void readAsShard(const QByteArray &bytes, const QTemporaryDir &folder)
{
    const bool atStart = bytes.size() % 2;
    QFile json(folder.filePath("zarr.json"));
    require(json.open(QIODevice::WriteOnly), "cannot write zarr.json");
    json.write(QByteArray(R"({"zarr_format": 3, "node_type": "array", "shape": [2, 20, 19], "data_type": "uint16",
        "chunk_grid": {"name": "regular", "configuration": {"chunk_shape": [2, 20, 20]}},
        "chunk_key_encoding": {"name": "default"}, "fill_value": 7,
        "codecs": [{"name": "sharding_indexed", "configuration": {"chunk_shape": [1, 10, 10],
            "codecs": [{"name": "bytes", "configuration": {"endian": "little"}}],
            "index_codecs": [{"name": "bytes", "configuration": {"endian": "little"}}], "index_location": ")")
               + (atStart ? "start" : "end") + "\"}}]}");
    json.close();
    QDir(folder.path()).mkpath("c/0/0");
    QFile shard(folder.filePath("c/0/0/0"));
    require(shard.open(QIODevice::WriteOnly) && shard.write(bytes) == bytes.size(), "cannot write the shard");
    shard.close();
    QString error;
    stackOptions options;
    options.maxPlaneBytes = 4 << 20;
    std::unique_ptr<stack> s = openStack({ folder.path() }, options, &error);
    require(s != nullptr, "the shard's array does not open");
    readAll(*s, folder.path());
}

void readAll(stack &s, const QString &where)
{
    require(s.width > 0 && s.height > 0 && s.times > 0 && s.planes > 0, "a stack without planes");
    require(!s.channels.empty() && s.channels.size() <= size_t(maxChannels), "a stack with no or too many channels");
    planeData plane;
    for (int t = 0; t < s.times; ++t) {
        for (int z = 0; z < s.planes; ++z) {
            for (int c = 0; c < int(s.channels.size()); ++c) {
                if (!s.present(t, z, c))
                    continue;
                if (!s.read(t, z, c, plane)) {
                    requireError(s.error(), where);
                    return;
                }
                require(plane.bits == s.bits && plane.format == s.format, "a plane of another sample type");
                require(plane.bytes.size() == size_t(s.width) * s.height * (s.bits / 8), "a plane of another size");
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    static int argc = 1;
    static char *args[] = { (*argv)[0], nullptr };
    new QCoreApplication(argc, args);
    silenceQt();
    input = new memoryFile("stack");
    shardFolder = new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    parse(bytes);
    layoutAsNames(bytes);
    readAsShard(bytes, *shardFolder);

    input->write(data, size);
    stackOptions options;
    options.maxPlaneBytes = 4 << 20;
    options.planes = size % 3;
    QString error;
    if (std::unique_ptr<stack> s = openFile(input->path(), options, &error))
        readAll(*s);
    else
        requireError(error);
    return 0;
}
