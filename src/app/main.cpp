#include "systemdlls.h"
#include "widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    LoadSystemDllsFromSystem32Only();
    QApplication app(argc, argv);
    Widget window;
    window.show();
    return app.exec();
}
