// Files on Windows: what Platform.h promises of them (replaced whole, created new, held, synced).
#include "platform/Platform.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <map>
#include <string>

std::string platformReplaceFile(const char *from, const char *to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return "";
    return platformErrorText(GetLastError());
}

// NTFS keeps its folders' entries in its own journal: a rename with MOVEFILE_WRITE_THROUGH is
// on disk when it returns.
std::string platformSyncFolder(const std::string &) { return ""; }

std::string platformTruncateFile(FILE *file, long long size) {
    return _chsize_s(_fileno(file), size) == 0 ? "" : "cannot cut it back";
}

// An open file cannot be removed here (it is not shared for deletion), nor its folder.
bool platformStillNamed(FILE *, const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string platformSyncFile(FILE *file) {
    if (std::fflush(file) != 0) return "cannot write it";
    HANDLE h = (HANDLE)_get_osfhandle(_fileno(file));
    return FlushFileBuffers(h) ? "" : platformErrorText(GetLastError());
}

FILE *platformCreateNewFile(const char *path, bool &exists, std::string &reason) {
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        reason = platformErrorText(error);
        return nullptr;
    }
    exists = false;
    const int fd = _open_osfhandle((intptr_t)h, _O_WRONLY | _O_BINARY);
    FILE *file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (file == nullptr) {
        reason = "cannot open it for writing";
        if (fd >= 0) _close(fd);
        else CloseHandle(h);
        DeleteFileA(path);
    }
    return file;
}

// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9, with any extension and in any folder,
// name devices, not files: "COM3.log" is the serial port COM3.
static bool reservedDeviceName(const char *path) {
    std::string name = path;
    name = name.substr(name.find_last_of("\\/:") == std::string::npos ? 0 : name.find_last_of("\\/:") + 1);
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char &c : name) c = (char)toupper((unsigned char)c);
    if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL") return true;
    return name.size() == 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0) && name[3] >= '1' &&
           name[3] <= '9';
}

// Opens path as a regular disk file only, never through a link: "\\.\COM12", a pipe or a
// console are refused. Null with reason set.
static FILE *openRegular(const char *path, DWORD access, DWORD disposition, int flags, const char *mode,
                         std::string &reason) {
    if (reservedDeviceName(path)) {
        reason = "it names a device (CON, NUL, COM1...), not a file";
        return nullptr;
    }
    // A reader shares everything, so that the writer may append to the file or rename another
    // over it meanwhile (the station's live state); a writer lets others read it.
    const DWORD share = access == GENERIC_READ ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : FILE_SHARE_READ;
    HANDLE h = CreateFileA(path, access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        reason = platformErrorText(GetLastError());
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        reason = "it is not a regular file";
        CloseHandle(h);
        return nullptr;
    }
    const int fd = _open_osfhandle((intptr_t)h, flags | _O_BINARY);
    FILE *file = fd < 0 ? nullptr : _fdopen(fd, mode);
    if (file == nullptr) {
        reason = "cannot open it";
        if (fd >= 0) _close(fd);
        else CloseHandle(h);
    }
    return file;
}

FILE *platformOpenToAppend(const char *path, std::string &reason) {
    // Write access, not only appending: a line a full disk cut is cut back (SetEndOfFile).
    return openRegular(path, GENERIC_WRITE, OPEN_ALWAYS, _O_WRONLY | _O_APPEND, "ab", reason);
}

FILE *platformOpenToRead(const char *path, std::string &reason) {
    return openRegular(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY, "rb", reason);
}

// NTFS keeps a file sparse only when it was marked so (FSCTL_SET_SPARSE): a file written and
// extended as ours are holds its zeros, and is read as it is.
unsigned long long platformDataFrom(FILE *, unsigned long long offset, unsigned long long) { return offset; }

// A file's rights here are an ACL, which is not read: the folder it is put in (a user's own
// profile, or one that only administrators may write) is what keeps others from changing it.
std::string platformOthersMayWrite(FILE *, const std::string &) { return ""; }

std::string platformNotARegularFile(const char *path) {
    if (reservedDeviceName(path)) return "it names a device (CON, NUL, COM1...), not a file";
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return "";
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "it is a folder";
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return "it is a link";
    if (attributes & FILE_ATTRIBUTE_DEVICE) return "it is a device";
    return "";
}

void platformLowerPriority() { SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS); }

unsigned long platformProcessId() { return GetCurrentProcessId(); }

std::string platformHostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? name : "this PC";
}

// The files this process holds, with the handle that holds each.
static std::map<std::string, HANDLE> gHeld;

// What the holder of the file r reads wrote in it. It writes just after it takes the hold: a
// file still empty (two programs started together) is read again for a few seconds.
static std::string heldBy(HANDLE r) {
    char buffer[512];
    for (int tries = 0; tries < 150; ++tries, Sleep(20)) {
        DWORD n = 0;
        if (SetFilePointer(r, 0, nullptr, FILE_BEGIN) != 0 || !ReadFile(r, buffer, sizeof buffer - 1, &n, nullptr)) return "";
        std::string text(buffer, n);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (!text.empty()) return text;
    }
    return "";
}

HoldResult platformHoldFile(const std::string &path, const std::string &text, std::string &holder) {
    if (!(holder = platformNotARegularFile(path.c_str())).empty()) return HOLD_FAILED;
    // Others may read it (to say who holds it), none may write or hold it while this handle lives.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION) {
            holder = "it cannot be opened: " + platformErrorText(error);
            return HOLD_FAILED;
        }
        HANDLE r = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        holder = r != INVALID_HANDLE_VALUE ? heldBy(r) : "";
        if (holder.empty()) holder = "it cannot be opened: " + platformErrorText(error);
        if (r != INVALID_HANDLE_VALUE) CloseHandle(r);
        return HOLD_BY_ANOTHER;
    }
    DWORD written = 0;
    if (SetFilePointer(h, 0, nullptr, FILE_BEGIN) != 0 || !SetEndOfFile(h) ||
        !WriteFile(h, text.data(), (DWORD)text.size(), &written, nullptr) || written != text.size()) {
        holder = "it cannot be written: " + platformErrorText(GetLastError());
        CloseHandle(h);
        return HOLD_FAILED;
    }
    HANDLE &held = gHeld[path];
    if (held != nullptr) CloseHandle(held); // held again: the file held before is named here no more
    held = h;
    return HOLD_TAKEN; // the handle stays open: the hold lasts as long as the process
}

// The held file cannot be removed (it is not shared for deletion), but its folder can be renamed
// and made again. A look that cannot tell (a sharing violation, an antivirus holding the file a
// moment) leaves the hold as it was: only another file at the path, or none, ends it, or the
// station would take its own lock for another station's.
bool platformStillHolding(const std::string &path) {
    const auto held = gHeld.find(path);
    if (held == gHeld.end()) return false;
    // Only its attributes are asked for: no sharing mode of another's handle can refuse that.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE named = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    BY_HANDLE_FILE_INFORMATION ours{}, there{};
    const bool told = GetFileInformationByHandle(held->second, &ours) && GetFileInformationByHandle(named, &there);
    CloseHandle(named);
    return !told || (ours.dwVolumeSerialNumber == there.dwVolumeSerialNumber &&
                     ours.nFileIndexHigh == there.nFileIndexHigh && ours.nFileIndexLow == there.nFileIndexLow);
}

