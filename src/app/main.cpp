#include "highdpi.h"
#include "systemdlls.h"
#include "widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    LoadSystemDllsFromSystem32Only();
    EnableHighDpiScaling();
    QApplication app(argc, argv);
    Widget window;
    window.show();
    return app.exec();
}
