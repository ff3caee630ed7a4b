#pragma once
// The image-file object: reads and writes ICF files, at most one input file and one output
// file at a time. Lines are bytes; a line read ends at CR LF, a lone CR or a lone LF, a line
// written ends with CR LF.
//
// An output file is written beside the chosen name and only put in its place by
// CommitOutputFile: closing an uncommitted output discards it, so a failed read never
// touches an existing file of that name.

#include <QByteArray>
#include <QString>
#include <memory>

class clsICOMFiles {
public:
    clsICOMFiles();
    ~clsICOMFiles();
    clsICOMFiles(const clsICOMFiles &) = delete;
    clsICOMFiles &operator=(const clsICOMFiles &) = delete;

    // Opens the file (name trimmed of spaces) and reads its model line and comment line.
    // False when an input file is already open, or the file is missing, unreadable or has
    // fewer than two lines; no message.
    bool OpenICFFileForRead(const QString &sFromFilename);
    // Why the last OpenICFFileForRead could not open its file ("Permission denied", "not a
    // regular file"); empty when it opened.
    QString inputError() const { return m_inputError; }
    // The next line of the input file without its line end; false (and an empty line) at the
    // end of the file, on a read failure, or when no input file is open.
    bool GetNextLineFromDisk(QByteArray &sOutputLine);
    // The next stored data line, decoded to plain hex text; false (and an empty line) at the
    // end of the file and at a line that is not a valid stored data line.
    bool GetNextICFLineFromDisk(QByteArray &sOutputLine);
    // After GetNextICFLineFromDisk gave no line: 0 when the data ended where the whole-file
    // check saw it end (the end of the file, or an empty line after the last record), else
    // the file's line number of the line that could not be read or decoded (the file was cut
    // or changed since the check). Without a check, any end of file or empty line is the end.
    // After OpenICFFileForRead failed with the file open: the header line it could not take in.
    int damagedLine() const;

    // Result of the whole-file check made before a write to the radio.
    struct DataCheck {
        enum Outcome { Sound, Damaged, NoData };
        Outcome outcome = Sound;
        int line = 0;    // Damaged: the file's line number (from 1) of the first bad line
        QString reason;  // Damaged: "line 9: addresses 0x0060-0x007F overlap line 5" and such
        // Damaged only because the records are not one unbroken run: every line decodes.
        bool gapOnly = false;
    };
    // Checks every stored data line from the first to the end of the file, then stands again
    // at the first data line. Any line that does not decode counts as bad: an empty line
    // between records, a stray byte after the last line end, a line cut short, a line that
    // cannot be read, a record whose addresses overlap an earlier record's or run past 0xFFFF
    // (no radio holds such an image). A radio's image is one ascending run, each record
    // starting where the one before ended (records without bytes aside): a record that leaves
    // a hole, or goes back, is a lost or repeated frame, found after the rest of the file has
    // been checked (gapOnly). Empty lines after the last record (an editor's extra
    // line end) are no damage. A last line without its line end is judged by its content. Needs an
    // input file opened with its two header lines (NoData otherwise).
    DataCheck CheckICFData();
    // The records the last whole-file check counted in the input file; 0 without a check.
    int checkedRecords() const;

    // Opens the output side for the image that will replace sFileName (spaces kept). Reports
    // "Unable to Open Output File" through ReportError when it cannot be created (the folder
    // does not exist or cannot be written). An output already open is kept and the call is
    // refused with an "OpenFile(...)" report.
    bool OpenICFFileForWrite(const QString &sFileName);
    // Writes the line and CR LF; false when no output is open, the line is longer than 32765
    // bytes, or the write did not complete. A failed write is final: every later write is
    // false and the output can no longer be committed.
    bool WriteALineToDisk(const QByteArray &sOutput);
    // Encodes the data line and writes it as the next line.
    bool WriteICFDataToDisk(const QByteArray &sOutputLine);
    // Flushes the output to disk and puts it in place of the chosen name. False when that fails
    // or a line write had failed: the temporary file is removed and the earlier file of that
    // name is untouched. Shows nothing (the caller tells the user once its transfer has ended);
    // false when no output is open. The output side is closed after.
    bool CommitOutputFile();
    // The system's reason for the last failed open, line write or commit of the output ("No
    // space left on device"); empty when none failed.
    QString outputError() const { return m_outputError; }

    // Closes both sides; an uncommitted output is discarded. Harmless when repeated.
    void CloseCurrentFile();

    bool ValidCheckSum(const QByteArray &sFileRecord) const;
    QByteArray CheckChars(const QByteArray &sData) const;
    // True when a file with model line sFileModel may be written to the radio sRadioModel
    // (both eight hex digits): same model and version, or same model and the user agrees to
    // the other version.
    bool ValidModel(const QByteArray &sFileModel, const QByteArray &sRadioModel) const;
    // The model line of the open input file; empty when none.
    QByteArray RadioModel() const { return m_sModelLine; }
    // The comment line of the open input file, byte for byte; empty when none.
    QByteArray CommentLine() const { return m_sCommentLine; }

    bool inputOpen() const;
    bool outputOpen() const;

private:
    struct Input;
    struct Output;
    std::unique_ptr<Input> m_input;
    std::unique_ptr<Output> m_output;
    QByteArray m_sCommentLine;
    QByteArray m_sModelLine;
    QString m_outputError;
    QString m_inputError;
};
