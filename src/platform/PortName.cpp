#include "platform/PortName.h"

#include "base/StringOperations.h"

#include <cctype>
#include <cstdio>

bool comDevicePath(int n, char (&path)[16]) {
    const int length = std::snprintf(path, sizeof path, "\\\\.\\COM%d", n);
    return n >= 1 && length > 0 && length < (int)sizeof path;
}

static bool startsWithCom(const std::string &name) {
    return name.size() >= 3 && std::toupper((unsigned char)name[0]) == 'C' &&
           std::toupper((unsigned char)name[1]) == 'O' && std::toupper((unsigned char)name[2]) == 'M';
}

ComName parseComName(const std::string &name, int &n) {
    if (name.empty()) return COM_NAME_NONE;
    std::string digits = name;
    if (name.rfind("\\\\.\\", 0) == 0 && startsWithCom(name.substr(4))) digits = name.substr(7);
    else if (startsWithCom(name)) digits = name.substr(3);
    if (digits.find_first_not_of("0123456789") != std::string::npos) return COM_NAME_NONE;
    char path[16];
    if (!parseDecimal(digits, 1, 99999999, n) || !comDevicePath(n, path)) return COM_NAME_INVALID;
    return COM_NAME_VALID;
}
