// What the port list says the same way on every platform.
#include "platform/PortList.h"

#include "platform/PortName.h"

DWORD PortList_openError(int nId) {
    char path[16];
    if (!comDevicePath(nId, path)) return ERROR_FILE_NOT_FOUND;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_SYSTEM, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() != 0 ? GetLastError() : ERROR_FILE_NOT_FOUND;
    CloseHandle(h);
    return 0;
}
