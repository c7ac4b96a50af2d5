#ifndef SAFEFILE_H_
#define SAFEFILE_H_

#include <string>

// A file written under a temporary name beside its final name and renamed over it only when
// complete: an existing file stays intact on any failure, and no partial file is left.

// Temporary name used for fileName.
std::string safeFileTemporaryName(const char *fileName);
// After the temporary file was written and closed through FileAPI: renames it over fileName,
// or removes it when writing failed. Prints what went wrong; true when fileName is complete.
bool safeFileCommit(const char *fileName, bool writeFailed);

#endif
