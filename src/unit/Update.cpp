// The update dialogue with the unit: checks, FPGA image, MCU image, reboot.
#include "unit/Update.h"

#include "base/Clock.h"
#include "base/Console.h"
#include "image/firmware/BinImage.h"
#include "image/Flatten.h"
#include "product/Product.h"
#include "product/UnitReplies.h"
#include "record/Outcome.h"
#include "record/Record.h"
#include "unit/ComPortAPI.h"
#include "unit/Detection.h"
#include "unit/Exchange.h"
#include "unit/Probe.h"
#include "unit/RunBuffers.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

RebootOutcome gRebootOutcome = REBOOT_NOT_CONFIRMED;
bool gVerifyAfterReboot = false;
bool gUnitAnswered = false;
bool gSkipCurrent = false;
bool gUnitWasCurrent = false;

// One read into gDataBuffer, terminated; what the unit said since the last read. The count.
static int readReply() {
    int nBytesRead = 0;
    const MonotonicTime start = std::chrono::steady_clock::now();
    ComPortAPI_ReadCOM(gDataBuffer, DATA_BUFFER_SIZE - 1, &nBytesRead);
    gDataBuffer[nBytesRead] = '\0';
    recordReply(std::string(gDataBuffer, (size_t)nBytesRead), (size_t)nBytesRead, secondsSince(start));
    return nBytesRead;
}

// The version query: "%fw -v", one read, line breaks blanked, the seven fields. True when all
// seven converted.
static bool askVersions(UnitVersions &v, bool afterReboot) {
    v = UnitVersions();
    ComPortAPI_SetReadingTimeoutInMs(TIMEOUT_QUERY_MS);
    sendCommand("%fw -v", FALSE, FALSE, nullptr);
    if (!afterReboot) gUnitAnswered = readReply() > 0;
    else readReply();
    StrRemoveNL(gDataBuffer, ' ');
    const bool converted = parseVersionReply(gDataBuffer, &v) == 7;
    recordVersions(v, converted, afterReboot);
    return converted;
}

bool queryUnitVersions(UnitVersions &v) {
    if (!askVersions(v, false)) return false;
    consolePrintf("Checking firmware version ..............  %d.%02d.%02d \r\n", v.fw_ver, v.fw_rev, v.fw_sub);
    // The model word is the unit's own text: made safe before it reaches the terminal.
    consolePrintf("Checking fpga version ..................  %s %d.%02d  device:%d\r\n",
                  consoleSafeText(v.model, std::strlen(v.model)).c_str(), v.fpga_ver, v.fpga_rev, v.fpga_type);
    return true;
}

// Row of the image table for the unit that answered: 1 for TX, 2 for RX, 0 for neither.
static int identifyUnit() {
    if (sendCommand("%fw -p", FALSE, TRUE, VALIDATE_TX_PRODUCT_ID_STRING)) {
        recordUnitKind("TX");
        consoleLine("TX OK\r");
        consolePrint(VALIDATE_TX_PRODUCT_ID_STRING);
        consoleLine("\r");
        return 1;
    }
    if (sendCommand("%fw -p", FALSE, TRUE, VALIDATE_RX_PRODUCT_ID_STRING)) {
        recordUnitKind("RX");
        consoleLine("RX OK\r");
        consolePrint(VALIDATE_RX_PRODUCT_ID_STRING);
        consoleLine("\r");
        return 2;
    }
    consoleLine("FAILED\r");
    return 0;
}

int checkUnit(UnitVersions &versions) {
    recordPhase(PHASE_CHECKING);
    const bool converted = queryUnitVersions(versions);
    consolePrint("Checking product .......... ");
    if (!converted || versions.fpga_type != DEVICE_XC7A75_676) {
        consoleLine("FAILED, Unknown product\r");
        recordCheckFailed(!gUnitAnswered ? "no reply to the version query"
                          : !converted   ? "a version reply that does not read as versions"
                                         : "device code " + std::to_string(versions.fpga_type) + ", not " +
                                               std::to_string(DEVICE_XC7A75_676) + " that this program updates");
        return 0;
    }
    const int row = identifyUnit();
    if (row == 0) recordCheckFailed("its product reply names neither the TX nor the RX unit");
    return row;
}

bool unitRunsCarriedFirmware(const UnitVersions &versions) {
    int ver = -1, rev = -1, sub = -1; // "1.0.4" is 1, 0, 4
    std::sscanf(FIRMWARE_VERSION_TO_UPLOAD, "%d.%d.%d", &ver, &rev, &sub);
    return versions.fw_ver == ver && versions.fw_rev == rev && versions.fw_sub == sub;
}

// Announces the flat image in gDataConcatenated and streams it. Labels and time-outs per image.
static BOOL sendImage(RunPhase phase, int row, const char *command, const char *prepareLabel, int readyTimeoutMs,
                      const char *sendLabel, bool printOk) {
    consolePrint(prepareLabel);
    recordPhase(phase);
    char commandToSend[100];
    std::snprintf(commandToSend, sizeof commandToSend, "%s%u %d", command, computeDataConcatenatedCheckSum(),
                  gDataConcatenatedLenght);
    recordImageAnnounced(phase == PHASE_FPGA ? "fpga" : "mcu", AUTOGEN_FILES[row].filePath, gDataConcatenatedCheckSum,
                         gDataConcatenatedLenght);
    ComPortAPI_SetReadingTimeoutInMs(readyTimeoutMs);
    if (!sendCommand(commandToSend, FALSE, TRUE, "Ready")) {
        consoleLine("FAILED [Unit not ready]\r");
        recordImageEnd(exchangeLineFailed() ? "line failed" : "not ready", 0, 0);
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

// A unit left at another rate by an earlier run cut short comes back from its reboot at its own:
// not heard at the run's rate, it is asked at the port's other rates, in the product's order,
// with the detection probe. True when it answers at one (the port stays at that rate).
static bool answersAtAnotherRate() {
    ComPortAPI_SetReadingTimeoutInMs(TIMEOUT_INITIAL_READ_MS);
    const int rate = firstRateAnswering(gBaudRate, [](int rate) {
        ComPortAPI_SetBaudRate(rate);
        return probeAnswers(ComPortAPI_port(), gDataBuffer);
    });
    if (rate != 0) {
        recordRateAfterReboot(rate);
        return true;
    }
    ComPortAPI_SetBaudRate(gBaudRate);
    return false;
}

// Asks the rebooted unit for its versions as the update did before: it must run the firmware
// sent with the device code an update accepts (the FPGA version is shown, not compared: the
// images do not say it).
static RebootOutcome verifyVersions() {
    recordPhase(PHASE_VERIFYING);
    UnitVersions v;
    if (!askVersions(v, true) && (!answersAtAnotherRate() || !askVersions(v, true))) return REBOOT_NOT_CONFIRMED;
    consolePrintf("\n\r\n\rVersions after the reboot ..............  firmware %d.%d.%d, fpga %s %d.%02d\r\n", v.fw_ver,
                  v.fw_rev, v.fw_sub, consoleSafeText(v.model, std::strlen(v.model)).c_str(), v.fpga_ver,
                  v.fpga_rev);
    const bool carried = unitRunsCarriedFirmware(v), accepted = v.fpga_type == DEVICE_XC7A75_676;
    recordVerified(carried, accepted);
    if (!carried)
        consolePrintf("FAILED: the unit runs firmware %d.%d.%d, not %s that was sent.\r\n", v.fw_ver, v.fw_rev,
                      v.fw_sub, FIRMWARE_VERSION_TO_UPLOAD);
    else if (!accepted)
        consolePrintf("FAILED: the unit reports device code %d, not %d that this program updates.\r\n", v.fpga_type,
                      DEVICE_XC7A75_676);
    return carried && accepted ? REBOOT_CONFIRMED : REBOOT_OTHER_FIRMWARE;
}

// The fixed reboot wait, then the unit's prompt (and with --verify its versions).
static void awaitReboot() {
    const int max_cnt = 46;
    recordPhase(PHASE_REBOOTING);
    ComPortAPI_SetBaudRate(gBaudRate);
    consolePrint(" OK\n\r\n\r");
    consolePrint("Please wait while the unit is rebooting ........... ");
    for (int i = 0; i < max_cnt; ++i) {
        consolePrintf("%3d%%", i * 100 / max_cnt);
        recordRebootProgress(i * 100 / max_cnt);
        Sleep(WAIT_REBOOT_STEP_MS);
        platformStopCheck();
        consolePrint("\b\b\b\b");
    }
    consolePrintf("%3d%%", max_cnt * 100 / max_cnt);
    recordRebootProgress(100);
    // A unit that finished booting within the wait has already shown its prompt: the first read
    // holds it (whole, or its beginning), and the second then waits for nothing more.
    readReply();
    const std::string early = gDataBuffer;
    ComPortAPI_SetReadingTimeoutInMs(TIMEOUT_PROMPT_MS);
    readReply();
    consolePrint("\b\b\b\b");
    consolePrint("100%");
    const bool prompt = unitPromptShown(gDataBuffer) || unitPromptShown((early + gDataBuffer).c_str());
    recordPrompt(prompt);
    // With --verify the version reply decides, the prompt seen or not.
    gRebootOutcome = gVerifyAfterReboot             ? verifyVersions()
                     : prompt || answersAtAnotherRate() ? REBOOT_CONFIRMED
                                                        : REBOOT_NOT_CONFIRMED;
    if (gRebootOutcome == REBOOT_CONFIRMED) {
        consoleLine("\n\r\n\rThe update was successful, the unit is now operational\r");
    } else if (gRebootOutcome == REBOOT_NOT_CONFIRMED) {
        // Both images were accepted, but nothing says the unit runs them: never a plain success.
        consoleLine("\n\r\n\rWARNING: The unit accepted both images but did not confirm that it is running."
                    " Check the unit before use.\r");
    }
}

BOOL updateFirmware() {
    gRebootOutcome = REBOOT_NOT_CONFIRMED;
    UnitVersions versions;
    const int page_idx = checkUnit(versions);
    if (page_idx == 0) return FALSE;
    if (gSkipCurrent && (gUnitWasCurrent = unitRunsCarriedFirmware(versions))) return TRUE;
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
    if (!sendImage(PHASE_FPGA, page_idx, "%fw -l ", "Preparing to Upload Programmable Logic ............ ",
                   TIMEOUT_FPGA_READY_MS, "Sending Programmable Logic data ................... ", true))
        return FALSE;
    if (!ValidateFwAndConcatenateData(gHexFirmware)) {
        consoleLine("\r\nERROR: uC Firmware data is not valid !\r");
        return FALSE;
    }
    if (!sendImage(PHASE_MCU, 0, "%fw -h ", "Preparing to Upload Firmware ...................... ",
                   TIMEOUT_MCU_READY_MS, "Sending data ...................................... ", false))
        return FALSE;
    awaitReboot();
    return TRUE;
}
