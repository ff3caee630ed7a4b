#pragma once
// Choosing the ICF file of a transfer: the common file dialog control and the two functions
// that drive it. Nothing here shows a message; cancel and failure give false and an empty
// path.

#include <QString>

// The flag word both dialogs use: overwrite prompt, hide read-only, path must exist, file
// must exist (open), explorer style, long names.
inline constexpr int kIcfDialogFlags = 0x281806;
inline constexpr auto kIcfFilter = "(*.icf)|*.icf";

// The common file dialog control: set its properties, show it, read FileName afterwards.
class CommonDialog {
public:
    QString DialogTitle;
    QString FileName;
    QString Filter;      // classic form: "description|pattern|description|pattern..."
    int Flags = 0;
    QString DefaultExt;

    // Show the dialog modally; FileName is the chosen path, or empty after a cancel.
    void ShowOpen();
    void ShowSave();
};

// "(*.icf)|*.icf" -> "(*.icf) (*.icf)": the classic filter pairs in Qt's form, ";;" between.
QString qtFilterFromClassic(const QString &classicFilter);

bool ShowOpenDialog(QString &path, const QString &filter, CommonDialog &dialog);
bool ShowSaveDialog(QString &path, const QString &filter, CommonDialog &dialog);
