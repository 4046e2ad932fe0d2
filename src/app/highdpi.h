#ifndef HIGHDPI_H
#define HIGHDPI_H

// Turns on Qt's scaling for high-DPI displays. Called first thing in main,
// before the QApplication is made (the settings have no effect after).
void EnableHighDpiScaling();

#endif // HIGHDPI_H
