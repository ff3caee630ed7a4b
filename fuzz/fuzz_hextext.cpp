// Hex text, the record checksum, the stored form of a data line and the frame collector, each
// held against a plain restatement of its rule or its inverse. Input: byte 0 picks a digit to
// change, byte 1 how the bytes are cut; its head is also used as bytes, text and a record.

#include "fuzz/fuzzcheck.h"
#include "image/icfformat.h"
#include "link/framecodec.h"
#include "link/hextext.h"
#include <numeric>
namespace {
constexpr const char *kTarget = "hex text";
using fuzzcheck::all, fuzzcheck::isUpperHex;

// The model's own trim, written apart from the code under test.
QByteArrayView withoutOuterSpaces(QByteArrayView text)
{
    while (text.startsWith(' ') || text.endsWith(' '))
        text = text.startsWith(' ') ? text.sliced(1) : text.chopped(1);
    return text;
}

void hexTextAndChecksum(QByteArrayView bytes, std::uint8_t pick)
{
    const QByteArray plain = BytesToHex(bytes, false), spaced = BytesToHex(bytes, true);
    const QByteArray back = HexToBytes(plain);
    QByteArray expectSpaced;  // every two digits followed by a space
    for (qsizetype i = 0; i < plain.size(); i += 2)
        expectSpaced.append(QByteArrayView(plain).sliced(i, 2)).append(' ');
    EXPECT(plain.size() == 2 * std::max<qsizetype>(1, bytes.size()) && all(plain, isUpperHex)
               && spaced == expectSpaced,
           "hex text of the wrong length, not upper-case hex, or spaced otherwise");
    EXPECT(back == (bytes.isEmpty() ? QByteArray(1, '\0') : bytes.toByteArray())
               && HexToBytes(plain.toLower()) == back && HexToBytes(" " + plain + "  ") == back,
           "hex text, in lower case or with spaces around, does not read back as its bytes");
    // Arbitrary text: one byte per two characters, odd counts padded with a leading 0.
    const QByteArrayView text = withoutOuterSpaces(bytes);
    const QByteArray read = HexToBytes(bytes);
    const QByteArray expected = text.toByteArray().toUpper();
    EXPECT(read.size() == (text.size() + 1) / 2
               && (text.isEmpty() || !all(expected, isUpperHex)
                   || BytesToHex(read, false) == expected.rightJustified(read.size() * 2, '0')),
           "hex text read to the wrong number of bytes, or valid hex text does not round-trip");

    // The checksum of a line as the radio sends it: upper-case hex of even length.
    const QByteArray &line = plain, chars = CheckChars(line), record = line + chars;
    const unsigned sum = std::accumulate(bytes.begin(), bytes.end(), 0u,
                                         [](unsigned s, char c) { return s + std::uint8_t(c); });
    EXPECT((sum + CheckSum(line)) % 256 == 0
               && chars == BytesToHex(QByteArray(1, char(CheckSum(line))), false)
               && ValidCheckSum(record),
           "bytes and checksum do not add up to 0, or a line with its check characters fails");
    // Any one digit changed to another breaks it, as do an odd length and lower case.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const qsizetype at = pick % record.size();
    QByteArray changed = record;
    changed[at] = kDigits[(QByteArray(kDigits).indexOf(record[at]) + 1 + pick / 16 % 15) % 16];
    EXPECT(changed != record && !ValidCheckSum(changed) && !ValidCheckSum(record.chopped(1))
               && (record.toLower() == record || !ValidCheckSum(record.toLower())),
           "a changed digit, an odd length or lower case passes the checksum");
    // The input itself: a line of hex takes its check characters; as a record, only the rule.
    const bool hexLine = bytes.size() % 2 == 0 && all(bytes, isUpperHex);
    EXPECT(bytes.isEmpty() || !hexLine || ValidCheckSum(bytes.toByteArray() + CheckChars(bytes)),
           "an upper-case hex line with its check characters is refused");
    EXPECT(!ValidCheckSum(bytes)
               || (bytes.size() >= 4 && hexLine && CheckChars(bytes.chopped(2)) == bytes.last(2)),
           "a record of the wrong length, not upper-case hex or with a wrong checksum passes");
}

void storedForm(QByteArrayView bytes)
{
    // A well-formed data line from the bytes: address, count, that many data bytes.
    const QByteArray whole = bytes.toByteArray(), data = whole.mid(2, 255);
    const QByteArray line =
        BytesToHex(whole.left(2).leftJustified(2, '\0') + char(data.size()) + data, false);
    QByteArray stored = line, back, shortened;
    const auto inSet = [](char c) { return (c >= 'g' && c <= 'p') || (c >= 'x' && c <= '}'); };
    EXPECT(EncodeICFLine(stored) && all(stored, inSet),
           "a hex line does not encode, or its stored form is outside its set");
    EXPECT(DecodeICFLine(back = "  " + stored + " ") && back == line
               && !DecodeICFLine(shortened = stored.chopped(2)) && shortened == stored.chopped(2),
           "stored line does not decode to itself, or one a byte short decodes or is changed");
    // Arbitrary bytes as a stored line, and as a line to store (refused exactly above 200).
    QByteArray any = whole, again, encoded = whole;
    EXPECT(DecodeICFLine(any)
               ? any.size() >= 6 && all(any, isUpperHex)
                     && any.size() - 6 == 2 * std::uint8_t(HexToBytes(any.sliced(4, 2)).at(0))
                     && EncodeICFLine(again = any) && again == withoutOuterSpaces(bytes)
               : any == bytes,
           "decoded line is not upper-case hex holding its count or does not encode back, or a "
           "failed decode changed the line");
    const bool small = all(withoutOuterSpaces(bytes), [](char c) { return quint8(c) <= 200; });
    EXPECT(EncodeICFLine(encoded) == small && (small || encoded == bytes),
           "encode refuses a byte it can move (or the reverse), or a failed one changed the line");
}

using Item = std::pair<FrameCollector::Kind, QByteArray>;
void frames(QByteArrayView bytes, std::uint8_t cut)
{
    // The rule restated a byte at a time; spaces before a frame are not kept.
    std::vector<Item> expected, got;
    QByteArray pending;
    for (char c : bytes) {
        if (pending.isEmpty() && c == ' ')
            continue;
        pending += c;
        if (c == kFrameEnd || pending.size() == FrameCollector::kCapacity) {
            using enum FrameCollector::Kind;
            const QByteArray frame = withoutOuterSpaces(pending).toByteArray();
            expected.push_back(c != kFrameEnd
                                   ? Item{Overflow, pending}
                                   : Item{frame.size() >= kMinFrameLength ? Frame : Short, frame});
            pending.resize(0);
        }
    }
    FrameCollector collector;
    fuzzcheck::Cutter cutter(cut, cut & 0x80 ? 5000 : 9);
    for (QByteArrayView rest = bytes; !rest.isEmpty();) {
        for (QByteArrayView chunk = cutter.next(rest); !chunk.isEmpty();) {
            const qsizetype before = chunk.size();
            if (auto item = collector.take(chunk))
                got.push_back({item->kind, item->bytes});
            EXPECT(chunk.size() < before && collector.pending().size() < FrameCollector::kCapacity,
                   "take consumed nothing, or pending reached the capacity");
        }
    }
    EXPECT(collector.pending() == pending && got == expected,
           "items or pending bytes differ from the rule");
    for (const auto &[kind, frame] : got)  // the rule made them at least 6 bytes, ending in FD
        EXPECT(kind != FrameCollector::Kind::Frame
                   || frameData(frame) == frame.sliced(5, frame.size() - 6),
               "a frame's data is not what lies between its command and FD");
    // A frame the tool builds from data without FD is collected whole, as built.
    const QByteArray data = bytes.first(std::min<qsizetype>(bytes.size(), 300)).toByteArray();
    if (data.contains(kFrameEnd))
        return;
    const quint8 command = bytes.isEmpty() ? 0xE4 : quint8(bytes[0]);
    const QByteArray built = buildFrame(command, data);
    QByteArrayView view = built;
    const auto item = FrameCollector().take(view);
    EXPECT(item && view.isEmpty() && item->kind == FrameCollector::Kind::Frame
               && item->bytes == built && frameCommand(item->bytes) == command
               && frameData(item->bytes) == data,
           "a built frame is not collected as built, with its command and data");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    // The hex, checksum and stored-line rules are the same for every byte and a data line is at
    // most 516 characters: a 600-byte head tries them all. Only the collector needs long runs.
    const QByteArrayView head = bytes.first(std::min<qsizetype>(bytes.size(), 600));
    hexTextAndChecksum(head, size > 0 ? data[0] : 0);
    storedForm(head);
    frames(bytes, size > 1 ? data[1] : 0);
    return 0;
}
