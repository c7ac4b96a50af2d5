// The serial port over a pseudo-terminal: what an open applies, the setters, read time-outs.
#include "base/Console.h"
#include "platform/PortList.h"
#include "PtyPeer.h"
#include "unit/ComPortAPI.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

class ComPort : public ::testing::Test {
  protected:
    void SetUp() override {
        savedDcb = g_dcb;
        savedCto = g_cto;
        std::vector<int> numbers;
        std::string error;
        ASSERT_TRUE(PortList_resolve({peer.slavePath(), "/nonexistent/port"}, numbers, error));
        com = numbers[0];
        absent = numbers[1];
    }
    void TearDown() override {
        ComPortAPI_CloseCOM();
        g_dcb = savedDcb;
        g_cto = savedCto;
    }
    // Milliseconds one silent read of the full request lasts.
    long long silentReadMs() {
        static char buffer[1024000];
        int n = -1;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ComPortAPI_ReadCOM(buffer, 1023999, &n), TRUE);
        EXPECT_EQ(n, 0);
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    }
    PtyPeer peer;
    int com = 0, absent = 0; // the pty's COM number, and one that leads nowhere
    DCB savedDcb;
    COMMTIMEOUTS savedCto;
};

TEST_F(ComPort, InitialRecordsOpenAt9600With8N1AndCts) {
    ASSERT_EQ(ComPortAPI_OpenCOM(com), TRUE);
    EXPECT_EQ(peer.baud(), 9600u);
    EXPECT_TRUE(peer.cts());
    EXPECT_EQ(g_dcb.ByteSize, 8);
    EXPECT_EQ(g_dcb.Parity, NOPARITY);
    EXPECT_EQ(g_dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(g_cto.ReadIntervalTimeout, (DWORD)MAX_WAIT_READ);
    EXPECT_EQ(g_cto.ReadTotalTimeoutConstant, (DWORD)MAX_WAIT_READ);
}

TEST_F(ComPort, SettersWithoutAPortPrepareTheNextOpen) {
    EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(TRUE), TRUE); // unchanged: TRUE at once
    EXPECT_EQ(ComPortAPI_SetBaudRate(9600), TRUE);
    EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(FALSE), FALSE); // stored, nothing to apply to
    EXPECT_EQ(ComPortAPI_SetBaudRate(57600), FALSE);
    ASSERT_EQ(ComPortAPI_OpenCOM(com), TRUE);
    EXPECT_FALSE(peer.cts());
    EXPECT_EQ(peer.baud(), 57600u);
}

TEST_F(ComPort, SettersOnAnOpenPortApplyAtOnce) {
    ASSERT_EQ(ComPortAPI_OpenCOM(com), TRUE);
    EXPECT_EQ(ComPortAPI_SetBaudRate(115200), TRUE);
    EXPECT_EQ(peer.baud(), 115200u);
    EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(2), TRUE); // lowest bit: off
    EXPECT_FALSE(peer.cts());
    EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(TRUE), TRUE);
    EXPECT_TRUE(peer.cts());
    EXPECT_EQ(ComPortAPI_SetBaudRate(250000), TRUE); // beyond the Bxxx constants
}

TEST_F(ComPort, SilentReadsLastTheReadTimeOut) {
    ASSERT_EQ(ComPortAPI_OpenCOM(com), TRUE);
    long long first = silentReadMs();
    EXPECT_GE(first, MAX_WAIT_READ - 5);
    EXPECT_LT(first, MAX_WAIT_READ + 1500);
    ASSERT_EQ(ComPortAPI_SetReadingTimeoutInMs(2 * MAX_WAIT_READ), TRUE);
    EXPECT_EQ(g_cto.ReadIntervalTimeout, (DWORD)(2 * MAX_WAIT_READ));
    EXPECT_EQ(g_cto.ReadTotalTimeoutConstant, (DWORD)(2 * MAX_WAIT_READ));
    long long second = silentReadMs();
    EXPECT_GE(second, 2 * MAX_WAIT_READ - 5);
    EXPECT_LT(second, 2 * MAX_WAIT_READ + 1500);
}

TEST_F(ComPort, ReadReturnsAtTheCountWithoutWaiting) {
    ASSERT_EQ(ComPortAPI_OpenCOM(com), TRUE);
    peer.send("abc");
    char buffer[4] = {};
    int n = 0;
    EXPECT_EQ(ComPortAPI_ReadCOM(buffer, 3, &n), TRUE);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(ComPort, APortOpenHereCannotBeOpenedAgain) {
    ASSERT_EQ(ComPortAPI_OpenCOM(com), TRUE);
    char path[16];
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", com);
    EXPECT_EQ(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 4, nullptr),
              INVALID_HANDLE_VALUE);
    // The refused open left the holder's exclusive use in place (root opens past it, and sees it).
    int fd = open(peer.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int exclusive = 0;
    if (fd >= 0) {
        EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
        close(fd);
    }
    EXPECT_TRUE(fd < 0 ? errno == EBUSY : exclusive == 1);
    ComPortAPI_CloseCOM();
    fd = open(peer.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); // and the close gave it up
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(fd);
}

TEST_F(ComPort, FailedOpensSayWhy) {
    // Past the last number given out (a name not given before gets the next one): a number of
    // an earlier test's pty may lead to a pty that another process opened since.
    static int named = 0;
    std::vector<int> last;
    std::string error;
    ASSERT_TRUE(PortList_resolve({"/nonexistent/named-last-" + std::to_string(++named)}, last, error));
    const int unmapped = last[0] + 1;
    const std::string missing = "COM" + std::to_string(absent), beyond = "COM" + std::to_string(unmapped);
    const struct {
        int nId;
        std::string message;
    } cases[] = {{absent, "ERROR: Opening " + missing + " failed !\r\n/nonexistent/port: no such port. Is the adapter"
                                                         " plugged in? FwUpgrade --list-ports shows the ports."},
                 {unmapped, "ERROR: Opening " + beyond + " failed !\r\n" + beyond +
                                  " is no port of this machine: FwUpgrade --list-ports shows its ports."},
                 {0, "ERROR: COM0 is not a valid port number !"},
                 {-4, "ERROR: COM-4 is not a valid port number !"},
                 {123456789, "ERROR: COM123456789 is not a valid port number !"}};
    for (const auto &c : cases) {
        consoleCaptureBegin();
        EXPECT_EQ(ComPortAPI_OpenCOM(c.nId), FALSE);
        EXPECT_EQ(consoleCaptureEnd(), c.message);
        EXPECT_EQ(g_hCOM, nullptr);
    }
    EXPECT_EQ(ComPortAPI_CloseCOM(), TRUE);
}

TEST_F(ComPort, RejectedSettingsFailTheOpenAndCloseThePort) {
    g_dcb.BaudRate = 0; // no driver takes it
    consoleCaptureBegin();
    EXPECT_EQ(ComPortAPI_OpenCOM(com), FALSE);
    EXPECT_EQ(consoleCaptureEnd(), "ERROR: COM" + std::to_string(com) + " configuration failed !");
    g_dcb.BaudRate = 9600;
    EXPECT_EQ(ComPortAPI_OpenCOM(com), TRUE); // the failed open left nothing held
}

} // namespace
