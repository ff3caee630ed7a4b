// The command line tool's file commands on arbitrary files, one an input by byte 0 modulo 5: info
// of A, B; diff of A with A; diff of A, B both ways; import of B read back (3) or diffed with
// itself (4). Byte 1 the record size, 2 the start's high byte, 3 A's length / 16; then A, B.

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
    if (size < 4)
        return 0;
    const QByteArrayView all(reinterpret_cast<const char *>(data) + 4, qsizetype(size) - 4);
    const QByteArrayView bytesA = all.first(std::min<qsizetype>(all.size(), data[3] * 16));
    const QByteArrayView bytesB = all.sliced(bytesA.size());
    const QString a = folder + "/a.icf", b = folder + "/b.icf", out = folder + "/out.icf";
    EXPECT(fuzzcheck::putFile(a, bytesA) && fuzzcheck::putFile(b, bytesB), "harness: no file");
    const int command = data[0] % 5;
    EXPECT(command || wellFormed(infoCommand({a, b})).status == 0, "info refuses readable files");
    const int same = command == 1 ? wellFormed(diffCommand(a, a)).status : 0;  // 2: not whole
    EXPECT(same != 1 && (same == 0 || !load(a).whole()), "a file differs from itself");
    const int ab = command == 2 ? wellFormed(diffCommand(a, b)).status : 0;
    EXPECT(command != 2 || ab == wellFormed(diffCommand(b, a)).status, "diff A B is not diff B A");
    const IcfImage imageA = command == 2 ? load(a) : IcfImage();
    const IcfImage imageB = imageA.whole() ? load(b) : IcfImage();  // whole: both are
    const MemoryMap mapA = MemoryMap::of(imageA), mapB = MemoryMap::of(imageB);
    const bool equal = imageA.model == imageB.model && imageA.comment == imageB.comment
                       && mapA.lowest == mapB.lowest && mapA.bytes == mapB.bytes
                       && mapA.present == mapB.present;
    EXPECT(!imageB.whole() || ab == (equal ? 0 : 1), "diff disagrees with headers and bytes");
    if (command < 3)
        return 0;
    // An import refused makes no file; one made is read back (3) or diffed with itself (4).
    QFile::remove(out);
    const QByteArray head = bytesB.first(std::min<qsizetype>(16, bytesB.size())).toByteArray();
    const int start = data[2] << 8;
    const ImportOptions options{.model = QString::fromLatin1(BytesToHex(head.left(4), false)),
                                .comment = escapedComment(head),
                                .recordSize = QString::number(data[1]),
                                .start = QStringLiteral("0x%1").arg(start, 0, 16)};
    const CommandResult imported = wellFormed(importCommand(b, options, out));
    EXPECT((imported.status == 0) == QFile::exists(out), "import made a file and failed, or not");
    EXPECT(command == 3 || imported.status != 0 || wellFormed(diffCommand(out, out)).status == 0,
           "an imported file differs from itself");
    if (command == 4 || imported.status != 0)
        return 0;
    const IcfImage image = load(out);
    const MemoryMap map = MemoryMap::of(image);
    EXPECT(image.whole() && image.model == options.model.toLatin1() && image.comment == head
               && map.lowest == start && map.highest == start + bytesB.size() - 1
               && map.range(start, int(bytesB.size())) == bytesB,
           "an imported file is not whole, has another header or does not hold the raw bytes");
    return 0;
}
