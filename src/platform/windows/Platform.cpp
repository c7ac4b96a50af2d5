// Console, files and memory on Windows: what Platform.h promises beyond kernel32 serial calls.
#include "platform/Platform.h"

#include <conio.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>

// Binary stdout: the bytes written are exactly the texts, "\n" is not widened to "\r\n".
void platformConsoleInit() {
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, nullptr, _IONBF, 0);
}

bool platformStdinIsInteractive() { return _isatty(_fileno(stdin)) != 0; }

int platformGetch() { return _getch(); }

std::string platformReplaceFile(const char *from, const char *to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return "";
    const DWORD error = GetLastError();
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof text,
                   nullptr);
    std::string reason = text;
    while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
    return reason.empty() ? "error " + std::to_string(error) : reason;
}

void *platformAllocateLarge(size_t bytes) { return std::malloc(bytes); }
