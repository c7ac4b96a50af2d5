#ifndef SAFEFILE_H_
#define SAFEFILE_H_

// A file written under a fresh temporary name beside its final name and renamed over it only
// when complete: an existing file stays intact on any failure, no partial file is left, and
// nothing but a regular file (or no file) is ever replaced.

// Refuses a fileName that exists and is not a regular file, then creates the temporary file
// beside it, exclusively and never through a link, as FileAPI's open file. False with the
// message printed and nothing touched.
bool safeFileBegin(const char *fileName);
// After the writes and FileAPI_CloseFile: renames the temporary file over fileName, or
// removes it when a write failed. Prints what went wrong; true when fileName is complete.
bool safeFileCommit(const char *fileName);

#endif
