#ifndef UNITREPLIES_H_
#define UNITREPLIES_H_

// What the unit's replies say. Pure functions over texts, any bytes accepted.

struct UnitVersions {
    int fw_ver = 0, fw_rev = 0, fw_sub = 0;
    char model[8] = ""; // at most 7 characters: a longer word does not convert
    int fpga_ver = 0, fpga_rev = 0;
    int fpga_type = -1;
};

// Converts "%d.%d.%d %s %d.%d %d" (line breaks already blanked) as scanf would, but a number
// beyond an int does not convert; returns the number of fields converted.
int parseVersionReply(const char *reply, UnitVersions *versions);
// TRUE when the text after the reboot begins with "[" and ends with ">>".
bool unitPromptShown(const char *text);

#endif
