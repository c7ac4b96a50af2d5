#ifndef CONSOLE_H_
#define CONSOLE_H_

#include <string>

// Console output of every module. Texts reach the screen at once; tests may capture them.

// Prints the formatted text unchanged.
void consolePrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Prints the text unchanged (never read as a format).
void consolePrint(const char *text);
// Prints exactly n bytes.
void consoleWrite(const char *bytes, size_t n);
// Prints the text followed by one "\n".
void consoleLine(const char *text);
// The unit's bytes as they may reach a terminal: printable ASCII, CR and LF as they are,
// every other byte as "\xhh". At about 200 characters the text is cut and says how many
// bytes came in all (`total`, at least bytes.size()).
std::string consoleSafeText(const std::string &bytes, size_t total);
// The same bytes for one line of a log: in quotes, CR, LF, backslash and quote escaped too.
std::string quotedText(const std::string &bytes);
// A name the operator gave (a folder, a port) for one line of the console: each control
// character as "\xhh", so that a newline in it never starts a line; the rest as it is.
std::string consoleSafeName(const std::string &name);

// While a run is recorded, console text also goes to `recorder` (null: nowhere); with
// `instead`, not to stdout (it carries the events).
void consoleSetRecorder(void (*recorder)(const char *, size_t), bool instead);

// On the calling thread, from now on, output is appended to *held (null: printed again), for
// the thread that owns it to print when its turn comes; the record has it as it comes.
void consoleHoldOnThisThread(std::string *held);
// Prints what another thread held (its record already has it).
void consoleShowHeld(const std::string &text);

// From consoleWriterBegin to consoleWriterEnd stdout is written by a thread of its own: no caller
// waits for a console that takes nothing (a terminal stopped by Ctrl-S, a slow remote one).
// Beyond 1 MiB waiting, more text is dropped. The end waits until the console took what waits.
void consoleWriterBegin();
void consoleWriterEnd();
// The bytes written and not yet taken by the console (0 without the writer): a view skips a frame
// rather than adding one behind them.
size_t consoleBacklog();

// While a capture runs, output goes to it instead of stdout.
void consoleCaptureBegin();
std::string consoleCaptureEnd();

#endif
