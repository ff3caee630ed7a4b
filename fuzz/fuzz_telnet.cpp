// The remote cable's receive side: any byte stream a server sends, cut anywhere. The first
// byte picks the cuts; the decoder must hand out the same items however the stream is cut,
// never an item longer than the stream, and data that encodes back to the bytes it came from.

#include "serial/telnetcodec.h"

#include "fuzz/fuzzcheck.h"

#include <QList>

namespace {
constexpr const char *kTarget = "telnet";

QList<TelnetItem> decodeAll(QByteArrayView stream, std::uint8_t seed)
{
    TelnetDecoder decoder;
    QList<TelnetItem> items;
    fuzzcheck::Cutter cutter(seed, 7);
    while (!stream.isEmpty()) {
        decoder.append(cutter.next(stream).toByteArray());
        while (const std::optional<TelnetItem> item = decoder.next())
            items << *item;
    }
    // Data runs cut apart by the cuts are joined, so both lists can be compared.
    QList<TelnetItem> joined;
    for (const TelnetItem &item : items) {
        if (item.kind == TelnetItem::Kind::Data && !joined.isEmpty()
            && joined.last().kind == TelnetItem::Kind::Data)
            joined.last().bytes += item.bytes;
        else
            joined << item;
    }
    return joined;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const QByteArrayView stream(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const QList<TelnetItem> whole = decodeAll(stream, 0);
    const QList<TelnetItem> cut = decodeAll(stream, data[0] | 1);
    EXPECT(whole.size() == cut.size(), "the cuts change the number of items");
    qsizetype dataBytes = 0;
    for (qsizetype i = 0; i < whole.size(); ++i) {
        const TelnetItem &a = whole[i], &b = cut[i];
        EXPECT(a.kind == b.kind && a.verb == b.verb && a.option == b.option && a.bytes == b.bytes,
               "the cuts change an item");
        EXPECT(a.bytes.size() <= Telnet::kLongestSubnegotiation || a.kind == TelnetItem::Kind::Data,
               "an overlong subnegotiation is handed out");
        if (a.kind == TelnetItem::Kind::Data) {
            EXPECT(!a.bytes.isEmpty(), "an empty data run");
            dataBytes += telnetData(a.bytes).size();
            EXPECT(QByteArrayView(telnetData(a.bytes)).size() <= stream.size(),
                   "data longer than the stream");
        }
    }
    EXPECT(dataBytes <= stream.size(), "more data than the stream held");
    return 0;
}
