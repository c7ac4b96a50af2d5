// The serial port on both platforms: when a write has stalled, decided on recorded calls; and a
// real COM port named by FWUPGRADE_TEST_PORT (a COM number), with the emulated unit at 9600
// behind it. The Windows build runs these under Wine; the end-to-end suite starts the unit and
// checks what it recorded. The port's tests are skipped when the variable is not set.
#include "TestSupport.h"
#include "unit/ComPortAPI.h"
#include "unit/Exchange.h"
#include "unit/RunBuffers.h"

#include <chrono>
#include <cstdlib>
#include <vector>

namespace {

class NamedPort : public RunBuffers {
  protected:
    void SetUp() override {
        const char *port = std::getenv("FWUPGRADE_TEST_PORT");
        if (port == nullptr) GTEST_SKIP() << "FWUPGRADE_TEST_PORT not set";
        RunBuffers::SetUp();
        nId = std::atoi(port);
    }
    void TearDown() override {
        ComPortAPI_CloseCOM();
        RunBuffers::TearDown();
    }
    long long silentReadMs() {
        int n = -1;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ComPortAPI_ReadCOM(gDataBuffer, DATA_BUFFER_SIZE - 1, &n), TRUE);
        EXPECT_EQ(n, 0);
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    }
    int nId = 0;
};

// The unit records each command with the line settings in force: "%fw -v" at 9600 without
// CTS, then "%fw -p" at 57600 with CTS (which the unit, at 9600, ignores).
TEST_F(NamedPort, OpenAndSettersReachTheLine) {
    EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(FALSE), FALSE); // no port: stored only
    ASSERT_EQ(ComPortAPI_OpenCOM(nId), TRUE);
    EXPECT_EQ(sendCommand("%fw -v", FALSE, FALSE, nullptr), TRUE);
    silentReadMs(); // the unit takes the command before the rate changes
    EXPECT_EQ(ComPortAPI_SetBaudRate(9600), TRUE); // unchanged: no platform call
    EXPECT_EQ(ComPortAPI_SetBaudRate(57600), TRUE);
    EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(TRUE), TRUE);
    EXPECT_EQ(sendCommand("%fw -p", FALSE, FALSE, nullptr), TRUE);
    silentReadMs(); // lets the unit take the bytes before the port closes
}

TEST_F(NamedPort, SilentReadsLastTheReadTimeOut) {
    ComPortAPI_SetReadingTimeoutInMs(MAX_WAIT_READ);
    ASSERT_EQ(ComPortAPI_OpenCOM(nId), TRUE);
    long long first = silentReadMs();
    EXPECT_GE(first, MAX_WAIT_READ - 20);
    EXPECT_LT(first, MAX_WAIT_READ + 1500);
    EXPECT_EQ(ComPortAPI_SetReadingTimeoutInMs(2 * MAX_WAIT_READ), TRUE);
    long long second = silentReadMs();
    EXPECT_GE(second, 2 * MAX_WAIT_READ - 20);
    EXPECT_LT(second, 2 * MAX_WAIT_READ + 1500);
    ComPortAPI_SetReadingTimeoutInMs(MAX_WAIT_READ);
}

// Each call's bytes taken and the time it ended (ms from the write's start; the bound 30 s).
TEST(WriteProgress, StallsOnlyAfterTheBoundWithoutAByte) {
    const struct Call {
        DWORD taken;
        long long atMs;
        bool stalled;
    } nothingTaken[] = {{0, 1000, false}, {0, 29999, false}, {0, 30000, true}},
      // 10 KiB a few bytes at a time takes hours (far beyond 30 s plus 1 ms a byte): no stall.
      slowUnit[] = {{100, 29000, false}, {100, 58000, false}, {100, 87000, false}, {0, 116999, false},
                    {0, 117000, true}},
      // A call that took bytes is progress however long it lasted; the bound counts from its end.
      lateBytes[] = {{0, 1000, false}, {5, 30500, false}, {0, 60499, false}, {0, 60500, true}};
    const struct {
        const char *what;
        std::vector<Call> calls;
    } cases[] = {{"nothing taken", {std::begin(nothingTaken), std::end(nothingTaken)}},
                 {"a slow unit", {std::begin(slowUnit), std::end(slowUnit)}},
                 {"bytes late in a call", {std::begin(lateBytes), std::end(lateBytes)}}};
    for (const auto &c : cases) {
        WriteProgress progress{0, 30000};
        for (const Call &call : c.calls)
            EXPECT_EQ(progress.stalled(call.taken, call.atMs), call.stalled) << c.what << " at " << call.atMs;
    }
}

} // namespace
