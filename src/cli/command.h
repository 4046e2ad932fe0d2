#ifndef COMMAND_H
#define COMMAND_H

#include "boardrun.h"

#include <QByteArray>
#include <QString>

#include <functional>

class BoardLog;

namespace UpgradeCli {

class Output;
struct Options;

// What Interrupt() does while a command runs (nothing when none runs).
void SetInterruptHandler(std::function<void()> handler);

// The image a command sends: --image, or the window's file from ./update.
// kCompleted, or kNoImage with the reason said.
int ReadImage(const Options &options, Output &output, QByteArray &image, QString &path);
// How each board is upgraded, from the options.
RunSettings MakeRunSettings(const Options &options, const QByteArray &image);

int ListCommand(Output &output);
int UpgradeCommand(const Options &options, Output &output, BoardLog &log);
int StationCommand(const Options &options, Output &output, BoardLog &log);

} // namespace UpgradeCli

#endif // COMMAND_H
