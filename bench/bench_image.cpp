// Writes and reads back an image of 65536 data bytes in 32-byte records (2048 data lines), the
// way a read from the radio and a write to it use the image-file object, and prints records
// per second. Run by hand:  bench_image [folder] [runs]   (folder: default temporary folder)

#include "app/userseam.h"
#include "image/clsicomfiles.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kRecordBytes = 32;
constexpr int kRecords = 65536 / kRecordBytes;

// No window here: a report from the image-file object is printed and answered OK.
class PrintingSeam final : public UserSeam {
public:
    PrintingSeam() { setUserSeam(this); }
    ~PrintingSeam() override { setUserSeam(nullptr); }
    void showMessage(const QString &, const QString &text) override { print(text); }
    bool askOkCancel(const QString &, const QString &text, bool) override
    {
        print(text);
        return true;
    }
    QString openFileName(const FileDialogRequest &) override { return {}; }
    QString saveFileName(const FileDialogRequest &) override { return {}; }

private:
    static void print(const QString &text)
    {
        std::fprintf(stderr, "reported: %s\n", qPrintable(text));
    }
};

QList<QByteArray> makeDataLines()
{
    QList<QByteArray> lines;
    for (int r = 0; r < kRecords; ++r) {
        const int address = r * kRecordBytes;
        QByteArray record;
        record += char(address >> 8);
        record += char(address & 0xFF);
        record += char(kRecordBytes);
        for (int i = 0; i < kRecordBytes; ++i)
            record += char((address * 7 + i * 13) & 0xFF);
        lines << record.toHex().toUpper();
    }
    return lines;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    PrintingSeam seam;
    QTemporaryDir scratch;
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : scratch.path();
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 20;
    const QString path = folder + QStringLiteral("/bench.icf");
    const QList<QByteArray> lines = makeDataLines();

    QList<double> writeRate, writeAllRate, commitMs, checkMs, readRate;
    for (int run = 0; run < runs; ++run) {
        clsICOMFiles files;
        QElapsedTimer timer;

        // A read from the radio: check each received record, store it, commit the image.
        timer.start();
        if (!files.OpenICFFileForWrite(path) || !files.WriteALineToDisk("2A5F0101")
            || !files.WriteALineToDisk("#bench 0123456789")) {
            std::fprintf(stderr, "cannot open %s for writing\n", qPrintable(path));
            return 1;
        }
        for (const QByteArray &line : lines)
            if (!files.ValidCheckSum(line + files.CheckChars(line))
                || !files.WriteICFDataToDisk(line)) {
                std::fprintf(stderr, "write failed\n");
                return 1;
            }
        const qint64 wroteNs = timer.nsecsElapsed();
        if (!files.CommitOutputFile()) {
            std::fprintf(stderr, "commit failed\n");
            return 1;
        }
        const qint64 committedNs = timer.nsecsElapsed();

        // A write to the radio: whole-file check, then each record with its checksum.
        timer.restart();
        if (!files.OpenICFFileForRead(path)
            || files.CheckICFData().outcome != clsICOMFiles::DataCheck::Sound) {
            std::fprintf(stderr, "read-back check failed\n");
            return 1;
        }
        const qint64 checkedNs = timer.nsecsElapsed();
        QByteArray line;
        int count = 0;
        while (files.GetNextICFLineFromDisk(line)) {
            if (line != lines[count] || files.CheckChars(line).size() != 2) {
                std::fprintf(stderr, "record %d differs\n", count);
                return 1;
            }
            ++count;
        }
        const qint64 readNs = timer.nsecsElapsed();
        files.CloseCurrentFile();
        if (count != kRecords) {
            std::fprintf(stderr, "read back %d records of %d\n", count, kRecords);
            return 1;
        }

        writeRate << kRecords / (wroteNs / 1e9);
        writeAllRate << kRecords / (committedNs / 1e9);
        commitMs << (committedNs - wroteNs) / 1e6;
        checkMs << checkedNs / 1e6;
        readRate << kRecords / (readNs / 1e9);
    }

    std::printf("image: %d records of %d bytes (65536 data bytes), %d runs, folder %s\n", kRecords,
                kRecordBytes, runs, qPrintable(folder));
    std::printf("write: %.0f records/s (median; best %.0f), lines only\n", median(writeRate),
                *std::max_element(writeRate.begin(), writeRate.end()));
    std::printf("commit (fsync + rename): %.2f ms median\n", median(commitMs));
    std::printf("write incl. commit: %.0f records/s (median)\n", median(writeAllRate));
    std::printf("read: %.0f records/s (median; best %.0f), whole-file check included\n",
                median(readRate), *std::max_element(readRate.begin(), readRate.end()));
    std::printf("whole-file check alone: %.2f ms median\n", median(checkMs));
    return 0;
}
