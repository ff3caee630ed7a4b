// Hex text, the record checksum, the stored form of a data line and the frame collector, each
// held against a plain restatement of its rule or against its inverse. Input: byte 0 picks a
// digit to change, byte 1 how the bytes are cut for the collector; all of it is also used
// whole as bytes, as text and as a record.

#include "fuzz/fuzzcheck.h"
#include "image/icfformat.h"
#include "link/framecodec.h"
#include "link/hextext.h"

#include <numeric>
#include <vector>

namespace {

constexpr const char *kTarget = "hex text";

bool isUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }
bool isAnyHex(char c) { return isUpperHex(c) || (c >= 'a' && c <= 'f'); }
template <typename Pred> bool all(QByteArrayView text, Pred pred)
{
    return std::all_of(text.begin(), text.end(), pred);
}

// The model's own trim, written apart from the code under test.
QByteArrayView withoutOuterSpaces(QByteArrayView text)
{
    while (text.startsWith(' '))
        text = text.sliced(1);
    while (text.endsWith(' '))
        text.chop(1);
    return text;
}

void hexText(QByteArrayView bytes)
{
    const QByteArray plain = BytesToHex(bytes, false);
    const QByteArray spaced = BytesToHex(bytes, true);
    const qsizetype n = bytes.isEmpty() ? 1 : bytes.size();
    EXPECT(plain.size() == 2 * n && spaced.size() == 3 * n && all(plain, isUpperHex),
           "hex text of the wrong length or not upper-case hex");
    for (qsizetype i = 0; i < n; ++i)
        EXPECT(spaced.sliced(3 * i, 3) == plain.sliced(2 * i, 2) + ' ', "spaced text differs");
    EXPECT(HexToBytes(plain) == (bytes.isEmpty() ? QByteArray(1, '\0') : bytes.toByteArray()),
           "hex text does not read back as its bytes");
    EXPECT(HexToBytes(plain.toLower()) == HexToBytes(plain)
               && HexToBytes(" " + plain + "  ") == HexToBytes(plain),
           "lower-case digits or spaces around read otherwise");

    // Arbitrary text: one byte per two characters, odd counts padded with a leading 0.
    const QByteArrayView text = withoutOuterSpaces(bytes);
    const QByteArray read = HexToBytes(bytes);
    EXPECT(read.size() == (text.size() + 1) / 2, "hex text read to the wrong number of bytes");
    if (!text.isEmpty() && all(text, isAnyHex)) {
        QByteArray expected = text.toByteArray().toUpper();
        if (expected.size() % 2)
            expected.prepend('0');
        EXPECT(BytesToHex(read, false) == expected, "valid hex text does not round-trip");
    }
}

void checksum(QByteArrayView bytes, std::uint8_t pick)
{
    // A line as the radio sends it: upper-case hex of even length.
    const QByteArray line = BytesToHex(bytes, false);
    const unsigned sum = std::accumulate(bytes.begin(), bytes.end(), 0u,
                                         [](unsigned s, char c) { return s + std::uint8_t(c); });
    EXPECT((sum + CheckSum(line)) % 256 == 0, "bytes and checksum do not add up to 0");
    const QByteArray chars = CheckChars(line);
    EXPECT(chars == BytesToHex(QByteArray(1, char(CheckSum(line))), false),
           "check characters are not the checksum's hex");
    const QByteArray record = line + chars;
    EXPECT(ValidCheckSum(record), "a line with its own check characters is refused");

    // Any one digit changed to another breaks it.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const qsizetype at = pick % record.size();
    QByteArray changed = record;
    changed[at] = kDigits[(QByteArray(kDigits).indexOf(record[at]) + 1 + pick / 16 % 15) % 16];
    EXPECT(changed != record && !ValidCheckSum(changed) && !ValidCheckSum(record.chopped(1))
               && (record.toLower() == record || !ValidCheckSum(record.toLower())),
           "a changed digit, an odd length or lower case passes the checksum");

    // The input itself, when it is a line of hex, takes its check characters the same way.
    if (!bytes.isEmpty() && bytes.size() % 2 == 0 && all(bytes, isUpperHex))
        EXPECT(ValidCheckSum(bytes.toByteArray() + CheckChars(bytes)),
               "an upper-case hex line with its check characters is refused");

    // Arbitrary bytes as a record: accepted only by the rule.
    if (ValidCheckSum(bytes)) {
        EXPECT(bytes.size() >= 4 && bytes.size() % 2 == 0 && all(bytes, isUpperHex)
                   && CheckChars(bytes.chopped(2)) == bytes.last(2),
               "a record of the wrong length, not upper-case hex or with a wrong checksum passes");
    }
}

void storedForm(QByteArrayView bytes)
{
    // A well-formed data line from the bytes: address, count, that many data bytes.
    const qsizetype count = std::min<qsizetype>(255, std::max<qsizetype>(0, bytes.size() - 2));
    QByteArray raw = bytes.first(std::min<qsizetype>(2, bytes.size())).toByteArray();
    raw.resize(2, '\0');
    raw += char(count);
    raw += bytes.sliced(std::min<qsizetype>(2, bytes.size())).first(count);
    const QByteArray line = BytesToHex(raw, false);
    QByteArray stored = line;
    EXPECT(EncodeICFLine(stored), "a hex line does not encode");
    EXPECT(all(stored, [](char c) { return (c >= 'g' && c <= 'p') || (c >= 'x' && c <= '}'); }),
           "stored form outside its set");
    QByteArray back = "  " + stored + " ";
    EXPECT(DecodeICFLine(back) && back == line, "stored line does not decode to itself");
    QByteArray shortened = stored.chopped(2);
    EXPECT(!DecodeICFLine(shortened) && shortened == stored.chopped(2),
           "a line one byte short decodes, or a failed decode changed it");

    // Arbitrary bytes as a stored line.
    QByteArray any = bytes.toByteArray();
    if (DecodeICFLine(any)) {
        EXPECT(any.size() >= 6 && all(any, isUpperHex)
                   && any.size() - 6 == 2 * std::uint8_t(HexToBytes(any.sliced(4, 2)).at(0)),
               "decoded line is not upper-case hex holding its count of bytes");
        QByteArray again = any;
        EXPECT(EncodeICFLine(again) && again == withoutOuterSpaces(bytes),
               "decode then encode differs");
    } else
        EXPECT(any == bytes, "a failed decode changed the line");
    QByteArray encoded = bytes.toByteArray();
    const bool small = all(withoutOuterSpaces(bytes), [](char c) { return quint8(c) <= 200; });
    EXPECT(EncodeICFLine(encoded) == small && (small || encoded == bytes),
           "encode refuses a byte it can move (or the reverse), or a failed one changed the line");
}

using Item = std::pair<FrameCollector::Kind, QByteArray>;

void frames(QByteArrayView bytes, std::uint8_t cut)
{
    // The rule restated a byte at a time.
    std::vector<Item> expected;
    QByteArray pending;
    for (char c : bytes) {
        pending += c;
        if (c == kFrameEnd) {
            const QByteArray frame = withoutOuterSpaces(pending).toByteArray();
            expected.push_back({frame.size() >= kMinFrameLength ? FrameCollector::Kind::Frame
                                                                : FrameCollector::Kind::Short,
                                frame});
            pending.clear();
        } else if (pending.size() == FrameCollector::kCapacity) {
            expected.push_back({FrameCollector::Kind::Overflow, pending});
            pending.clear();
        }
    }

    FrameCollector collector;
    std::vector<Item> got;
    fuzzcheck::Cutter cutter(cut, cut & 0x80 ? 5000 : 9);
    for (QByteArrayView rest = bytes; !rest.isEmpty();) {
        QByteArrayView chunk = cutter.next(rest);
        while (!chunk.isEmpty()) {
            const qsizetype before = chunk.size();
            if (auto item = collector.take(chunk))
                got.push_back({item->kind, item->bytes});
            EXPECT(chunk.size() < before, "take consumed nothing");
            EXPECT(collector.pending().size() < FrameCollector::kCapacity,
                   "pending reached the capacity");
        }
    }
    EXPECT(collector.pending() == pending, "pending bytes differ from the rule");
    EXPECT(got == expected, "items differ from the rule");
    for (const auto &[kind, frame] : got) {
        EXPECT(kind != FrameCollector::Kind::Frame
                   || (frame.size() >= kMinFrameLength && frame.endsWith(kFrameEnd)
                       && frameData(frame) == frame.sliced(5, frame.size() - 6)),
               "a frame is short, does not end with FD or its data is not what lies between");
    }

    // A frame the tool builds from data without FD is collected whole, as built.
    const QByteArray data = bytes.first(std::min<qsizetype>(bytes.size(), 300)).toByteArray();
    if (!data.contains(kFrameEnd)) {
        const quint8 command = bytes.isEmpty() ? 0xE4 : quint8(bytes[0]);
        const QByteArray built = buildFrame(command, data);
        QByteArrayView view = built;
        FrameCollector fresh;
        const auto item = fresh.take(view);
        EXPECT(item && view.isEmpty() && item->kind == FrameCollector::Kind::Frame
                   && item->bytes == built,
               "a built frame is not collected as built");
        EXPECT(frameCommand(item->bytes) == command && frameData(item->bytes) == data,
               "command or data of a built frame differ");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    hexText(bytes);
    checksum(bytes, size > 0 ? data[0] : 0);
    storedForm(bytes);
    frames(bytes, size > 1 ? data[1] : 0);
    return 0;
}
