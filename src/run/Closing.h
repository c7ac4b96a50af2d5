#ifndef CLOSING_H_
#define CLOSING_H_

// How every run ends before the console closes: the closing message and its key press, the
// banner and the notes of a test or sample build, and whether the outcome is already known (a
// stop then only cuts the closing wait short).

#include <string>

// Prints lastMessage unchanged, then (unless --no-pause) the exit prompt, and waits for a key
// where a person can press one.
void dipsplayLastMessageToUserBeforeExit(const char *lastMessage);
// --no-pause: never wait for the closing key, nor ask for it.
void runNoPause(bool noPause);
// The banner of an update, and the notes of a test or sample build.
void printBanner();
void printBuildNotes();
std::string buildNotesText(); // "\r\nNOTE: ..." for each note, or ""
// The run's outcome is known: a stop from here on cuts only the closing wait short.
void runOutcomeKnown(int status);
// Whether it is, with the exit status it ends with.
bool runOutcomeIsKnown(int &status);
// The closing prompt of a run whose exit status is known: a stop there only cuts it short.
// Returns status.
int closeWithStatus(const char *lastMessage, int status);

#endif
