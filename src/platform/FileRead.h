#ifndef FILEREAD_H_
#define FILEREAD_H_

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

// Files that another program may have put in a folder, read without waiting and within bounds:
// only a regular file is opened (never a FIFO, a device or a link), and it is read by its size.

// path opened to read (binary) when it is a regular file, with its size; null when it is none or
// its size cannot be told.
FILE *fileOpenToRead(const std::string &path, unsigned long long &size);
// Moves an open file to offset; false when it cannot.
bool fileSeek(FILE *file, unsigned long long offset);
// The whole of path when it holds at most max bytes. False when it is no regular file, cannot
// be read, or holds more.
bool fileReadWhole(const std::string &path, size_t max, std::string &text);
// The whole of path (at most max bytes) when it is a regular file that only its owner may change
// (Windows: a regular file, its ACL not read), to hold a secret. False when it cannot be read;
// `refused` then says why when that was for what it is ("it is a directory", "its group or
// others may write it (...)"), and is empty for a file that is missing, unreadable or too big.
bool fileReadOwnersOnly(const std::string &path, size_t max, std::string &text, std::string &refused);
// At most max bytes of path from offset (none when offset is at or past its end); size gets the
// file's whole size. False when it is no regular file or cannot be read.
bool fileReadPart(const std::string &path, unsigned long long offset, size_t max, std::string &text,
                  unsigned long long &size);
// path from offset to its end, a piece at a time, each piece given to take in order: a file of
// any length, never more than a piece of it in memory. The holes of a sparse file (a 20 GB file
// of zeros costs nothing on disk) are skipped, not read: take gets how many zero bytes stood
// before its piece, and at the end a last empty piece after a trailing hole; take returns false
// to read no further. False when it is no regular file or a read failed.
bool fileReadPieces(const std::string &path, unsigned long long offset,
                    const std::function<bool(std::string_view piece, unsigned long long zerosBefore)> &take);

// The name of each entry of the folder dir, given to take as it is listed. False when the folder
// cannot be listed to its end (unreadable, removed meanwhile): what was listed by then was
// taken. Never throws.
bool fileListFolder(const std::string &dir, const std::function<void(const std::string &name)> &take);

#endif
