#ifndef SAFEFILE_H_
#define SAFEFILE_H_

#include <string>

// A file written under a fresh temporary name beside its final name and renamed over it only
// when complete and on disk: an existing file stays intact on any failure, no partial file is
// left, and nothing but a regular file (or no file) is ever replaced.

// Refuses a fileName that exists and is not a regular file, then creates the temporary file
// beside it, exclusively and never through a link, as FileAPI's open file. False with the
// message printed and nothing touched.
bool safeFileBegin(const char *fileName);
// After the writes: puts the data on disk, closes the file and renames it over fileName (its
// permissions kept), or removes it when a write failed. Prints what went wrong; true when
// fileName is complete.
bool safeFileCommit(const char *fileName);
// The whole of a file in one go, as above, but silent: false with the reason.
bool safeFileWrite(const char *fileName, const std::string &content, std::string &reason);
// Whether fileName could be written now (checked before a run, for a file written at its end):
// false with the reason.
bool safeFileCanWrite(const char *fileName, std::string &reason);

#endif
