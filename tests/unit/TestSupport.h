#ifndef TESTSUPPORT_H_
#define TESTSUPPORT_H_

#include <gtest/gtest.h>

#include <string>

// Gives each test the run's buffers, fresh, and releases them after.
class RunBuffers : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

// Reads a whole file; "" when it cannot.
std::string readFile(const std::string &path);
// A fresh empty folder for one test's files, private to this process.
std::string scratchDir(const std::string &name);
// Intel HEX record text (with "\r\n") for type and data at a 16-bit address.
std::string hexRecord(int type, unsigned address, const std::string &data);
// Data records of up to 16 bytes for `bytes` from address 0 (address records every 64 KiB).
std::string hexImage(const std::string &bytes);

#endif
