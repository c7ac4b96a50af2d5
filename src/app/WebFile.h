#ifndef WEBFILE_H_
#define WEBFILE_H_

#include "platform/Platform.h"

// Writes the MCU image as the web upload file fileName (complete, or not at all).
BOOL createFirmwareFileForWeb(const char *fileName);

#endif
