#pragma once
// Choosing the ICF file of a transfer: the common file dialog control and the two functions
// that drive it. Nothing here shows a message; cancel and failure give false and an empty
// path.

#include <QObject>
#include <QPointer>
#include <QString>

struct FileDialogRequest;

// The flag word both dialogs use: overwrite prompt, hide read-only, path must exist, file
// must exist (open), explorer style, long names.
inline constexpr int kIcfDialogFlags = 0x281806;
inline constexpr auto kIcfFilter = "ICF files (*.icf)|*.icf";

// The common file dialog control: set its properties, show it, read FileName afterwards.
class CommonDialog {
public:
    CommonDialog() = default;
    CommonDialog(const CommonDialog &) = delete;
    CommonDialog &operator=(const CommonDialog &) = delete;
    ~CommonDialog() { delete m_shownDialog.data(); }

    QString DialogTitle;
    QString FileName;
    QString Filter;  // classic form: "description|pattern|description|pattern..."
    int Flags = 0;
    QString DefaultExt;

    // Show the dialog modally; FileName is the chosen path, or empty after a cancel.
    void ShowOpen();
    void ShowSave();

private:
    // The dialog the user sees, built at the first show and shown again for every later one:
    // one dialog for the life of the control, as the control is one for the life of the window.
    QPointer<QObject> m_shownDialog;
    FileDialogRequest request();
};

// The classic filter pairs in Qt's form, ";;" between: Qt shows the text of an entry as it is
// and filters by its last pair of parentheses. "ICF files|*.icf" -> "ICF files (*.icf)"; a
// description that already ends in its patterns is kept: "(*.icf)|*.icf" -> "(*.icf)".
QString qtFilterFromClassic(const QString &classicFilter);

bool ShowOpenDialog(QString &path, const QString &filter, CommonDialog &dialog);
bool ShowSaveDialog(QString &path, const QString &filter, CommonDialog &dialog);
