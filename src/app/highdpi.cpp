#include "highdpi.h"

#include <QCoreApplication>
#include <QGuiApplication>

// Without this Qt 5 draws in device pixels: on a display scaled to 150 or
// 200 % only the text follows the system's DPI, while the form's sizes in
// pixels (the 45-pixel buttons, the 50-pixel bar, the window's 890 pixels)
// stay as they are, so the text outgrows its controls. With Qt's scaling
// every size in the form and its style sheets is a device-independent
// pixel, multiplied by the display's factor, as Windows scales its own
// windows.
//
// The factor is taken as the system gives it (PassThrough), not rounded to
// a whole number (Qt 5's default, Round): Windows offers 125, 150 and 175 %,
// and rounded, 125 % would draw the window at 100 % and 150 % at 200 %
// (too large for a laptop's screen); Qt 5 then also shrinks the fonts by the
// rounding, so text and controls would again disagree. Qt 6 does the same
// by default.
//
// High-DPI pixmaps: icons (the window's, a message box's) are drawn from
// images at the display's resolution instead of being enlarged.
void EnableHighDpiScaling()
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}
