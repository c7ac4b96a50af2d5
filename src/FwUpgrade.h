#ifndef FWUPGRADE_H_
#define FWUPGRADE_H_

#include "UnitReplies.h"
#include "platform/Platform.h"

#include <cstdint>
#include <vector>

// The build reads the carried firmware's version from this line for file names and packages.
#define FIRMWARE_VERSION_TO_UPLOAD "1.0.4"
// FWUPGRADE_PROGRAM_VERSION comes from the build: project(FwUpgrade VERSION ...) in CMakeLists.txt.
#define DATA_BUFFER_SIZE (1024 * 1000)
#define CONCAT_BUFFER_SIZE (4 * 1024 * 1024)

#define DEVICE_NONE 0x00
#define DEVICE_XC7A35_484 0x01
#define DEVICE_XC7A50_484 0x02
#define DEVICE_XC7A75_484 0x03
#define DEVICE_XC7A100_484 0x04
#define DEVICE_XC7A200_S484 0x05
#define DEVICE_XC7A200_F484 0x06
#define DEVICE_XC7A75_676 0x07
#define DEVICE_XC7A100_676 0x08
#define DEVICE_XC7A15_484 0x09

#define VALIDATE_TX_PRODUCT_ID_STRING "Ondrex 6G SDI EXTENDER TX OVER FIBER WITH RETURN CHANNEL\r\n>>"
#define VALIDATE_RX_PRODUCT_ID_STRING "Ondrex 6G SDI EXTENDER RX OVER FIBER WITH RETURN CHANNEL\r\n>>"
#define DETECTION_PROBE_COMMAND "%help -c version"
#define DETECTION_EXPECTED_RESPONSE "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>"

#define ONDREX_PRODUCT_NAME "482915"
#define FIRMWARE_FILE_HEADER_FOR_WEB "OndRex\r\n" ONDREX_PRODUCT_NAME "\r\n"
#define FIRMWARE_CHUNCK_SIZE_FOR_WEB 928
#define FIRMWARE_FILE_NAME_FOR_WEB "FwToUpload.bin"

// Exit status of a run.
#define EXIT_UPDATE_OK 0
#define EXIT_UPDATE_FAILED 1      // update failed, or a file could not be written
#define EXIT_USAGE 2              // bad option or operator input, end of input
#define EXIT_NOT_CONFIRMED 3      // both images accepted, the unit did not show its prompt
#define EXIT_STOPPED 130          // a signal stopped the run; the port was restored first
#define EXIT_PORT_FAILED (-1)     // the port given cannot be opened or its rate set

extern char *gHexFirmware;       // MCU Intel HEX text copy, consumed by one flattening
extern char *gHexFPGA_Code;      // chosen FPGA Intel HEX text copy
extern uint8_t *gDataConcatenated; // flat image: CONCAT_BUFFER_SIZE bytes + 16 spare
extern char *gDataBuffer;        // command and reply buffer, DATA_BUFFER_SIZE bytes
extern int gDataConcatenatedLenght;
extern uint32_t gDataConcatenatedCheckSum;
extern int gComPortNumber;
extern int gBaudRate;
// What updateFirmware learnt of the unit after its reboot.
enum RebootOutcome {
    REBOOT_CONFIRMED,      // its prompt came (and with gVerifyAfterReboot it runs the firmware sent)
    REBOOT_NOT_CONFIRMED,  // no prompt, or no usable version reply
    REBOOT_OTHER_FIRMWARE, // it answers with another firmware version than the one sent
};
extern RebootOutcome gRebootOutcome;
extern bool gVerifyAfterReboot; // --verify: ask the versions again after the reboot
extern std::vector<int> gDetectionPorts; // COM numbers detection tries, in order
extern std::vector<int> gDetectionProbed; // those of them that existed and were probed

// Frames the command ("%%" in front unless isEchoON is TRUE, "\n\r" behind) and writes it.
// With expectedResponse null: TRUE once written. Else collects the reply until a silent
// read; FALSE when validateResponse is TRUE and it differs (or the write failed).
BOOL sendCommand(const char *commandToSend, BOOL isEchoON, BOOL validateResponse, const char *expectedResponse);
// Streams the block in 10240-byte writes with the percentage display, then as sendCommand.
BOOL sendData(const uint8_t *dataToSend, int dataToSendLength, BOOL validateResponse, const char *expectedResponse);
// TRUE: a unit answered the probe; port gComPortNumber left open at gBaudRate.
BOOL detectComPortAndBaudrate();
// Flattens the Intel HEX text (consumed) into gDataConcatenated; sets gDataConcatenatedLenght.
BOOL ValidateFwAndConcatenateData(char *gHexData);
// The same for a text that stays as it is (the image table's own).
BOOL flattenImageText(const char *text);
// Replaces every "\r" and "\n" of str by ch; TRUE.
BOOL StrRemoveNL(char *str, char ch);
// gDataConcatenatedCheckSum over the first gDataConcatenatedLenght bytes: 0 minus each byte.
uint32_t computeDataConcatenatedCheckSum();
// The whole dialogue with the unit on the open port.
BOOL updateFirmware();
// Asks the unit for its versions ("%fw -v", one read) and prints the two version lines when
// all seven fields convert; false when they do not.
bool queryUnitVersions(UnitVersions &versions);
// The checks an update begins with: versions, device code, TX or RX. The image table row of
// the unit's FPGA image (1 TX, 2 RX), or 0 with the failure printed.
int checkUnit(UnitVersions &versions);
// True when the unit's firmware version is the one this program carries.
bool unitRunsCarriedFirmware(const UnitVersions &versions);
// Writes the MCU image as the web upload file fileName (complete, or not at all).
BOOL createFirmwareFileForWeb(const char *fileName);
// Prints lastMessage unchanged, the exit prompt, and waits for a key where a person can press one.
void dipsplayLastMessageToUserBeforeExit(const char *lastMessage);

struct Options;
// The run with a unit, each ending the process through the closing message and the record:
// the update; the identification (--info); the settings of both from the command line.
void beginRun(const Options &options);
[[noreturn]] void runUpdate(const Options &options);
[[noreturn]] void runInfo(const Options &options);
// A signal's stop: port closed and given back, what was cut short said, exit 130; once the
// outcome is known (runOutcomeKnown), only the closing wait is cut short and the run keeps it.
[[noreturn]] void stopRun(int signal);
void runOutcomeKnown(int status, const char *outcome);
// The banner of an update, and the notes of a test or sample build.
void printBanner();
void printBuildNotes();

// A writable zero-terminated copy of row `row` of the image table (fileDataLength + 16 bytes).
char *copyImageText(int row);
// A flat image buffer: CONCAT_BUFFER_SIZE bytes of 0xFF, then 16 zeros.
uint8_t *allocateDataConcatenated();
// Allocates gHexFirmware (with the MCU text), gDataConcatenated and gDataBuffer; false if out of memory.
bool allocateRunBuffers();
void releaseRunBuffers();

#endif
