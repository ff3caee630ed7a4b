// The command line tool's file commands on arbitrary files: info and diff of two files, import
// of raw bytes read back through the same loader. Input: byte 0 the record size, byte 1 the start
// address's high byte, byte 2 the length of file A / 16; then A; the rest is file B.

#include "cli/filecommands.h"
#include "cli/icfimage.h"
#include "fuzz/fuzzcheck.h"
#include "link/hextext.h"

namespace {
constexpr const char *kTarget = "command line files";

// A status of 0, 1 or 2, and every error line in the one form.
const CommandResult &wellFormed(const CommandResult &r)
{
    EXPECT(r.status >= 0 && r.status <= 2 && (r.err.isEmpty() || r.err.endsWith('\n')),
           "exit status outside 0 to 2, or an error line without its line end");
    for (const QByteArray &line : r.err.split('\n'))
        EXPECT(line.isEmpty() || line.startsWith("replix-cli: "), "an error line in another form");
    return r;
}

IcfImage load(const QString &path)
{
    IcfImage image;
    QString error;
    EXPECT(loadIcf(path, &image, &error), "a file that can be read does not load");
    return image;
}
}  // namespace

// Only the scratch files are spared the syncs of a committed file.
extern "C" int fsync(int)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const QString folder = fuzzcheck::scratch();
    if (size < 3)
        return 0;
    const QByteArrayView all(reinterpret_cast<const char *>(data) + 3, qsizetype(size) - 3);
    const QByteArrayView bytesA = all.first(std::min<qsizetype>(all.size(), data[2] * 16));
    const QByteArrayView bytesB = all.sliced(bytesA.size());
    const QString a = folder + QStringLiteral("/a.icf"), b = folder + QStringLiteral("/b.icf");
    EXPECT(fuzzcheck::putFile(a, bytesA) && fuzzcheck::putFile(b, bytesB), "harness: no file");
    const IcfImage imageA = load(a), imageB = load(b);
    EXPECT(wellFormed(infoCommand({a, b})).status == 0, "info refuses files that load");
    const int same = wellFormed(diffCommand(a, a)).status;
    EXPECT(imageA.whole() ? same == 0 : same != 1, "a file differs from itself");
    const int ab = wellFormed(diffCommand(a, b)).status;
    EXPECT(ab == wellFormed(diffCommand(b, a)).status, "diff of A and B is not that of B and A");
    if (imageA.whole() && imageB.whole()) {
        const MemoryMap mapA = MemoryMap::of(imageA), mapB = MemoryMap::of(imageB);
        const bool equal = imageA.model == imageB.model && imageA.comment == imageB.comment
                           && mapA.lowest == mapB.lowest && mapA.bytes == mapB.bytes
                           && mapA.present == mapB.present;
        EXPECT(ab == (equal ? 0 : 1), "diff disagrees with the files' headers and bytes");
    }
    // Import: a file made is whole and holds exactly the raw bytes, the model and the comment;
    // a refused import makes no file.
    const QString out = folder + QStringLiteral("/out.icf");
    QFile::remove(out);
    const QByteArray head = bytesB.first(std::min<qsizetype>(16, bytesB.size())).toByteArray();
    const int start = data[1] << 8;
    ImportOptions options;
    options.model = QString::fromLatin1(BytesToHex(head.left(4), false));
    options.comment = escapedComment(head);
    options.recordSize = QString::number(data[0]);
    options.start = QStringLiteral("0x%1").arg(start, 0, 16);
    const CommandResult imported = wellFormed(importCommand(b, options, out));
    EXPECT((imported.status == 0) == QFile::exists(out), "import made a file and failed, or not");
    if (imported.status != 0)
        return 0;
    const IcfImage image = load(out);
    const MemoryMap map = MemoryMap::of(image);
    EXPECT(image.whole() && image.model == options.model.toLatin1() && image.comment == head
               && map.lowest == start && map.highest == start + bytesB.size() - 1
               && map.range(start, int(bytesB.size())) == bytesB,
           "an imported file is not whole, has another header or does not hold the raw bytes");
    EXPECT(wellFormed(diffCommand(out, out)).status == 0, "an imported file differs from itself");
    return 0;
}
