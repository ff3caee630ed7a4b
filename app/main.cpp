#include "app/frmreadwrite.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    frmReadWrite window;
    window.Form_Load();
    window.show();
    return app.exec();
}
