#ifndef PRODUCT_H_
#define PRODUCT_H_

// What this program is and what it talks to: versions, the unit's identity, its commands.

// The build reads the carried firmware's version from this line for file names and packages.
#define FIRMWARE_VERSION_TO_UPLOAD "1.0.4"
// FWUPGRADE_PROGRAM_VERSION comes from the build: project(FwUpgrade VERSION ...) in CMakeLists.txt;
// so does FWUPGRADE_SAMPLE_IMAGES, 1 when the carried images are the generated samples.

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

// The rates a unit may listen at, in the order detection tries them.
inline constexpr int DETECTION_BAUD_RATES[] = {115200, 9600, 57600, 4800, 2400, 1200};

#define ONDREX_PRODUCT_NAME "482915"
#define FIRMWARE_FILE_HEADER_FOR_WEB "OndRex\r\n" ONDREX_PRODUCT_NAME "\r\n"
#define FIRMWARE_CHUNCK_SIZE_FOR_WEB 928
#define FIRMWARE_FILE_NAME_FOR_WEB "FwToUpload.bin"

#endif
