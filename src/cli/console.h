#ifndef CONSOLE_H
#define CONSOLE_H

// What the console program needs of its platform (console_posix.cpp,
// console_win.cpp).
namespace Console {

// Turns Ctrl-C and SIGTERM (on Windows Ctrl-C and Ctrl-Break) into
// UpgradeCli::Interrupt() on the thread that runs the event loop, so that
// every transfer stops and every device is closed before the process ends.
// Call it once the application object exists. A second interrupt, while
// the first is being handled, ends the program at once with 130. A closed
// stdout or stderr (SIGPIPE) no longer ends the program.
void CatchInterrupts();

// A command begins: its first interrupt is the first again.
void RearmInterrupts();

// Whether stderr is a terminal (the progress bar is drawn in place there).
bool StderrIsTerminal();

// The width of that terminal in columns (0: unknown).
int StderrColumns();

} // namespace Console

#endif // CONSOLE_H
