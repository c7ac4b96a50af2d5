// The update dialogue with the unit: checks, FPGA image, MCU image, reboot.
#include "ComPortAPI.h"
#include "Console.h"
#include "FwUpgrade.h"
#include "RunPhase.h"
#include "UnitReplies.h"
#include "firmware/BinImage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool gUnitConfirmedAfterReboot = false;

// One read into gDataBuffer, terminated; what the unit said since the last read.
static void readReply() {
    int nBytesRead = 0;
    ComPortAPI_ReadCOM(gDataBuffer, DATA_BUFFER_SIZE - 1, &nBytesRead);
    gDataBuffer[nBytesRead] = '\0';
}

// Prints the two version lines; returns the device code, or -1 when the reply lacks a field.
static int checkVersions() {
    UnitVersions v;
    ComPortAPI_SetReadingTimeoutInMs(TIMEOUT_QUERY_MS);
    sendCommand("%fw -v", FALSE, FALSE, nullptr);
    readReply();
    StrRemoveNL(gDataBuffer, ' ');
    if (parseVersionReply(gDataBuffer, &v) != 7) return -1;
    consolePrintf("Checking firmware version ..............  %d.%02d.%02d \r\n", v.fw_ver, v.fw_rev, v.fw_sub);
    // The model word is the unit's own text: made safe before it reaches the terminal.
    consolePrintf("Checking fpga version ..................  %s %d.%02d  device:%d\r\n",
                  consoleSafeText(v.model, std::strlen(v.model)).c_str(), v.fpga_ver, v.fpga_rev, v.fpga_type);
    return v.fpga_type;
}

// Row of the image table for the unit that answered: 1 for TX, 2 for RX, 0 for neither.
static int identifyUnit() {
    if (sendCommand("%fw -p", FALSE, TRUE, VALIDATE_TX_PRODUCT_ID_STRING)) {
        consoleLine("TX OK\r");
        consolePrint(VALIDATE_TX_PRODUCT_ID_STRING);
        consoleLine("\r");
        return 1;
    }
    if (sendCommand("%fw -p", FALSE, TRUE, VALIDATE_RX_PRODUCT_ID_STRING)) {
        consoleLine("RX OK\r");
        consolePrint(VALIDATE_RX_PRODUCT_ID_STRING);
        consoleLine("\r");
        return 2;
    }
    consoleLine("FAILED\r");
    return 0;
}

// Announces the flat image in gDataConcatenated and streams it. Labels and time-outs per image.
static BOOL sendImage(RunPhase phase, const char *command, const char *prepareLabel, int readyTimeoutMs,
                      const char *sendLabel, bool printOk) {
    consolePrint(prepareLabel);
    setRunPhase(phase);
    char commandToSend[100];
    std::snprintf(commandToSend, sizeof commandToSend, "%s%u %d", command, computeDataConcatenatedCheckSum(),
                  gDataConcatenatedLenght);
    ComPortAPI_SetReadingTimeoutInMs(readyTimeoutMs);
    if (!sendCommand(commandToSend, FALSE, TRUE, "Ready")) {
        consoleLine("FAILED [Unit not ready]\r");
        return FALSE;
    }
    consoleLine("OK\r");
    consolePrint(sendLabel);
    ComPortAPI_SetBaudRate(115200);
    ComPortAPI_SetReadingTimeoutInMs(TIMEOUT_DATA_ACK_MS);
    if (!sendData(gDataConcatenated, gDataConcatenatedLenght, TRUE, "SUCCESS")) {
        consoleLine("FAILED\r");
        return FALSE;
    }
    if (printOk) consoleLine("OK\r");
    return TRUE;
}

// The fixed reboot wait, then the unit's prompt. Sets gUnitConfirmedAfterReboot.
static void awaitReboot() {
    const int max_cnt = 46;
    setRunPhase(PHASE_REBOOTING);
    ComPortAPI_SetBaudRate(gBaudRate);
    consolePrint(" OK\n\r\n\r");
    consolePrint("Please wait while the unit is rebooting ........... ");
    for (int i = 0; i < max_cnt; ++i) {
        consolePrintf("%3d%%", i * 100 / max_cnt);
        Sleep(WAIT_REBOOT_STEP_MS);
        platformStopCheck();
        consolePrint("\b\b\b\b");
    }
    consolePrintf("%3d%%", max_cnt * 100 / max_cnt);
    readReply();
    ComPortAPI_SetReadingTimeoutInMs(TIMEOUT_PROMPT_MS);
    readReply();
    consolePrint("\b\b\b\b");
    consolePrint("100%");
    gUnitConfirmedAfterReboot = unitPromptShown(gDataBuffer);
    if (gUnitConfirmedAfterReboot) {
        consoleLine("\n\r\n\rThe update was successful, the unit is now operational\r");
    } else {
        // Both images were accepted, but nothing says the unit runs them: never a plain success.
        consoleLine("\n\r\n\rWARNING: The unit accepted both images but did not confirm that it is running."
                    " Check the unit before use.\r");
    }
}

BOOL updateFirmware() {
    gUnitConfirmedAfterReboot = false;
    setRunPhase(PHASE_CHECKING);
    const int fpga_type = checkVersions();
    consolePrint("Checking product .......... ");
    if (fpga_type != DEVICE_XC7A75_676) {
        consoleLine("FAILED, Unknown product\r");
        return FALSE;
    }
    const int page_idx = identifyUnit();
    if (page_idx == 0) return FALSE;
    std::free(gHexFPGA_Code);
    gHexFPGA_Code = copyImageText(page_idx);
    if (gHexFPGA_Code == nullptr) {
        consoleLine("\r\nERROR: Not enough memory for the Programmable Logic data.\r");
        return FALSE;
    }
    if (!ValidateFwAndConcatenateData(gHexFPGA_Code)) {
        consoleLine("\r\nERROR: Programmable Logic data is not valid !\r");
        return FALSE;
    }
    if (!sendImage(PHASE_FPGA, "%fw -l ", "Preparing to Upload Programmable Logic ............ ", TIMEOUT_FPGA_READY_MS,
                   "Sending Programmable Logic data ................... ", true))
        return FALSE;
    if (!ValidateFwAndConcatenateData(gHexFirmware)) {
        consoleLine("\r\nERROR: uC Firmware data is not valid !\r");
        return FALSE;
    }
    if (!sendImage(PHASE_MCU, "%fw -h ", "Preparing to Upload Firmware ...................... ", TIMEOUT_MCU_READY_MS,
                   "Sending data ...................................... ", false))
        return FALSE;
    awaitReboot();
    return TRUE;
}
