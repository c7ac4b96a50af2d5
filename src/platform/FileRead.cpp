#include "platform/FileRead.h"

#include "platform/Platform.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

namespace {

const size_t kPiece = 1u << 16;

using File = std::unique_ptr<FILE, int (*)(FILE *)>;

// The size of an open file (its end), or -1.
long long sizeOf(FILE *file) {
#ifdef _WIN32
    return _fseeki64(file, 0, SEEK_END) == 0 ? _ftelli64(file) : -1;
#else
    return fseeko(file, 0, SEEK_END) == 0 ? (long long)ftello(file) : -1;
#endif
}

// At most max bytes of the open file (of size bytes) from offset.
bool readFrom(FILE *file, unsigned long long offset, unsigned long long size, size_t max, std::string &text) {
    text.clear();
    if (size <= offset) return true;
    if (!fileSeek(file, offset)) return false;
    // By the size: nothing larger than what is there is allocated, whatever max allows.
    text.resize((size_t)std::min<unsigned long long>(size - offset, max));
    text.resize(std::fread(text.data(), 1, text.size(), file));
    return !std::ferror(file);
}

} // namespace

FILE *fileOpenToRead(const std::string &path, unsigned long long &size) {
    std::string reason;
    File file(platformOpenToRead(path.c_str(), reason), std::fclose);
    const long long end = file ? sizeOf(file.get()) : -1;
    if (end < 0) return nullptr;
    size = (unsigned long long)end;
    return file.release();
}

bool fileSeek(FILE *file, unsigned long long offset) {
#ifdef _WIN32
    return _fseeki64(file, (long long)offset, SEEK_SET) == 0;
#else
    return fseeko(file, (off_t)offset, SEEK_SET) == 0;
#endif
}

bool fileReadWhole(const std::string &path, size_t max, std::string &text) {
    unsigned long long size = 0;
    return fileReadPart(path, 0, max, text, size) && size <= max && text.size() == size;
}

bool fileReadPart(const std::string &path, unsigned long long offset, size_t max, std::string &text,
                  unsigned long long &size) {
    const File file(fileOpenToRead(path, size), std::fclose);
    return file && readFrom(file.get(), offset, size, max, text);
}

bool fileReadOwnersOnly(const std::string &path, size_t max, std::string &text, std::string &refused) {
    std::string reason;
    // What is checked is the file opened (a link is not followed), not what the name meant before.
    const File file(platformOpenToRead(path.c_str(), reason), std::fclose);
    refused = file ? platformOthersMayWrite(file.get(), path) : platformNotARegularFile(path.c_str());
    const long long size = file && refused.empty() ? sizeOf(file.get()) : -1;
    return size >= 0 && (unsigned long long)size <= max && readFrom(file.get(), 0, (unsigned long long)size, max, text) &&
           text.size() == (size_t)size;
}

bool fileReadPieces(const std::string &path, unsigned long long offset,
                    const std::function<bool(std::string_view piece, unsigned long long zerosBefore)> &take) {
    unsigned long long size = 0;
    const File file(fileOpenToRead(path, size), std::fclose);
    if (!file) return false;
    std::vector<char> buffer(kPiece);
    for (unsigned long long at = offset, zeros = 0;;) {
        const unsigned long long data = at < size ? platformDataFrom(file.get(), at, size) : at;
        // Always: looking for data moves the descriptor under the stream, whose buffer may still
        // hold bytes read ahead of `at` (read on from an offset that is not a block's start, they
        // came twice).
        if (!fileSeek(file.get(), data)) return false;
        zeros += data - at;
        at = data;
        const size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
        if (n == 0) {
            if (zeros > 0) take(std::string_view(), zeros);
            return !std::ferror(file.get());
        }
        if (!take(std::string_view(buffer.data(), n), zeros)) return true;
        zeros = 0;
        at += n;
    }
}

bool fileListFolder(const std::string &dir, const std::function<void(const std::string &name)> &take) {
    std::error_code code;
    // Moved on with an error code: a range for's step throws when a read of the folder fails.
    for (std::filesystem::directory_iterator at(dir, code), end; !code && at != end; at.increment(code)) {
        std::string name;
        try {
            name = at->path().filename().string();
        } catch (const std::exception &) { // a name Windows cannot give as text: no file of ours
            continue;
        }
        take(name);
    }
    return !code;
}
