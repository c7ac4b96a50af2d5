// Commands and data on the wire, reply collection and the progress text, over a pty.
#include "base/Console.h"
#include "platform/PortList.h"
#include "PtyPeer.h"
#include "TestSupport.h"
#include "unit/ComPortAPI.h"
#include "unit/Exchange.h"
#include "unit/RunBuffers.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

class Exchange : public RunBuffers {
  protected:
    void SetUp() override {
        RunBuffers::SetUp();
        std::vector<int> numbers;
        std::string error;
        ASSERT_TRUE(PortList_resolve({peer.slavePath()}, numbers, error));
        ComPortAPI_SetHardwareFlowControl(FALSE);
        ASSERT_EQ(ComPortAPI_OpenCOM(numbers[0]), TRUE);
    }
    void TearDown() override {
        ComPortAPI_CloseCOM();
        ComPortAPI_SetHardwareFlowControl(TRUE);
        RunBuffers::TearDown();
    }
    // sendCommand with the reply already waiting in the line; console output in `output`.
    BOOL command(const std::string &reply, const char *expected, BOOL validate = TRUE) {
        peer.send(reply);
        consoleCaptureBegin();
        BOOL result = sendCommand("%fw -p", FALSE, validate, expected);
        output = consoleCaptureEnd();
        return result;
    }
    PtyPeer peer;
    std::string output;
};

TEST_F(Exchange, CommandsAreFramedOnTheWire) {
    EXPECT_EQ(sendCommand("%fw -v", FALSE, FALSE, nullptr), TRUE);
    EXPECT_STREQ(gDataBuffer, "%%%fw -v\n\r"); // still framed: nothing was read
    EXPECT_EQ(sendCommand("%fw -v", TRUE, FALSE, nullptr), TRUE);
    EXPECT_EQ(sendCommand("%fw -v", 2, FALSE, nullptr), TRUE); // only exactly TRUE means echo
    ASSERT_TRUE(peer.waitFor(10 + 8 + 10, 2000));
    EXPECT_EQ(peer.received(), "%%%fw -v\n\r%fw -v\n\r%%%fw -v\n\r");
}

TEST_F(Exchange, RepliesMustMatchExactly) {
    const struct {
        const char *name;
        std::string reply;
        BOOL result;
    } cases[] = {
        {"exact", "Ready", TRUE},
        {"extra trailing space", "Ready ", FALSE},
        {"extra CR", "Ready\r", FALSE},
        {"other case", "ready", FALSE},
        {"silence", "", FALSE},
        {"a zero byte counts: more bytes than expected", std::string("Ready\0", 6), FALSE},
        {"zero bytes alone", std::string(5, '\0'), FALSE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(command(c.reply, "Ready"), c.result);
        EXPECT_EQ(output, ""); // a mismatch is the caller's to report
        EXPECT_STREQ(gDataBuffer, ""); // the last, silent read emptied it
    }
    EXPECT_EQ(command("\r\n>>", "Ready", FALSE), TRUE); // not compared: any reply will do
}

TEST_F(Exchange, AReplyOverSeveralReadsIsJoinedInOrder) {
    std::thread unit([this] {
        peer.waitFor(1, 2000);
        for (char c : std::string("Ready")) { // lasts about two read time-outs
            peer.send(std::string(1, c));
            std::this_thread::sleep_for(std::chrono::milliseconds(MAX_WAIT_READ * 2 / 5));
        }
    });
    EXPECT_EQ(sendCommand("%fw -p", FALSE, TRUE, "Ready"), TRUE);
    unit.join();
}

TEST_F(Exchange, AUnitThatNeverFallsSilentCannotHoldTheExchange) {
    for (char flood : {'x', '\0'}) { // chatter, and zero bytes that add nothing to the text
        SCOPED_TRACE((int)flood);
        std::atomic<bool> stop{false};
        std::thread unit([&] {
            while (!stop) peer.send(std::string(4096, flood));
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(sendCommand("%fw -p", FALSE, TRUE, "Ready"), FALSE);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3 * MAX_WAIT_READ));
        stop = true;
        unit.join();
    }
}

TEST_F(Exchange, ProgressTextForEachBlockSize) {
    const struct {
        int length;
        const char *progress;
    } cases[] = {
        {0, "1%"},
        {10240, "1%\b\b100%"},
        {10241, "1%\b\b99%\b\b\b100%"},
        {25600, "1%\b\b40%\b\b\b80%\b\b\b100%"},
        {102400, "1%\b\b10%\b\b\b20%\b\b\b30%\b\b\b40%\b\b\b50%\b\b\b60%\b\b\b70%\b\b\b80%\b\b\b90%\b\b\b100%"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<uint8_t> block((size_t)c.length);
        for (size_t i = 0; i < block.size(); ++i) block[i] = (uint8_t)(i * 31);
        const size_t before = peer.received().size();
        consoleCaptureBegin();
        EXPECT_EQ(sendData(block.data(), c.length, FALSE, nullptr), TRUE);
        EXPECT_EQ(consoleCaptureEnd(), c.progress);
        ASSERT_TRUE(peer.waitFor(before + block.size(), 5000));
        EXPECT_EQ(peer.received().substr(before), std::string(block.begin(), block.end()));
    }
}

TEST_F(Exchange, AWrongAcknowledgementIsShownSafely) {
    const std::string longReply = "\x1b[2J" + std::string(300, 'x');
    const struct {
        std::string reply;
        std::string shown;
    } cases[] = {
        {"FAILURE", "FAILURE"},
        {"CHECKSUM\r\nERROR", "CHECKSUM\r\nERROR"},
        {std::string("SUC\0CESS", 8), "SUC\\x00CESS"},
        {longReply, "\\x1b[2J" + std::string(193, 'x') + "... (304 bytes received)"},
    };
    uint8_t block[3] = {1, 2, 3};
    for (const auto &c : cases) {
        peer.send(c.reply);
        consoleCaptureBegin();
        EXPECT_EQ(sendData(block, 3, TRUE, "SUCCESS"), FALSE);
        EXPECT_EQ(consoleCaptureEnd(), "1%\b\b100%\r\nExpected : SUCCESS  received : " + c.shown +
                                           "\r\n\r\nError: Expected response did  not matched !\r\n");
        int drained = 0; // what an early end of the collection left in the line
        ComPortAPI_ReadCOM(gDataBuffer, DATA_BUFFER_SIZE - 1, &drained);
    }
    peer.send("SUCCESS");
    consoleCaptureBegin();
    EXPECT_EQ(sendData(block, 3, TRUE, "SUCCESS"), TRUE);
    EXPECT_EQ(consoleCaptureEnd(), "1%\b\b100%");
}

TEST_F(Exchange, AHungUpLineFailsEveryWrite) {
    peer.hangUp();
    consoleCaptureBegin();
    EXPECT_EQ(sendCommand("%fw -v", FALSE, FALSE, nullptr), FALSE);
    EXPECT_EQ(consoleCaptureEnd(), "\r\nError occurred when sending data !\r\n");
    std::vector<uint8_t> block(20000, 0x55);
    consoleCaptureBegin();
    EXPECT_EQ(sendData(block.data(), (int)block.size(), TRUE, "SUCCESS"), FALSE);
    EXPECT_EQ(consoleCaptureEnd(), "1%");
}

} // namespace
