#ifndef PORTNAME_H_
#define PORTNAME_H_

#include <string>

// COM port names, the same on every platform.

// The device path of COM n ("\\.\COMn", which reaches ports 10 and above too) in `path`.
// False when n is below 1 or its path does not fit the 16-character buffer.
bool comDevicePath(int n, char (&path)[16]);

enum ComName { COM_NAME_NONE, COM_NAME_VALID, COM_NAME_INVALID };
// Reads "n", "COMn" (any case) or "\\.\COMn". VALID with n set; INVALID for such a name whose
// number is 0, missing or too long for a device path; NONE for any other text (a device path).
ComName parseComName(const std::string &name, int &n);

#endif
