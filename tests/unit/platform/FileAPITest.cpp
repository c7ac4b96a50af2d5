// The one open file: modes, messages, and what is reported without a file.
#include "base/Console.h"
#include "platform/FileAPI.h"
#include "TestSupport.h"

namespace {

TEST(FileApi, CreateEmptiesAndAppendFollowsTheOldContent) {
    const std::string file = scratchDir("fileapi") + "/f.bin";
    ASSERT_EQ(FileAPI_CreateFile(file.c_str(), TRUE), TRUE);
    FileAPI_writeToFile("100% old\n");
    FileAPI_CloseFile();
    ASSERT_EQ(FileAPI_OpenFile_ToWrite(file.c_str(), TRUE), TRUE);
    EXPECT_EQ(FileAPI_writeToFileBinary("+new", 4), TRUE);
    EXPECT_EQ(FileAPI_writeToFileBinary("", 0), TRUE);
    FileAPI_CloseFile();
    EXPECT_EQ(readFile(file), "100% old\n+new");
    ASSERT_EQ(FileAPI_CreateFile(file.c_str(), TRUE), TRUE);
    FileAPI_CloseFile();
    EXPECT_EQ(readFile(file), "");
    EXPECT_EQ(FileAPI_hasFailed(), FALSE);
}

TEST(FileApi, WithoutAnOpenFileEveryOperationSaysSo) {
    const std::string file = scratchDir("fileapi-none") + "/f.bin";
    ASSERT_EQ(FileAPI_CreateFile(file.c_str(), TRUE), TRUE);
    FileAPI_CloseFile();
    consoleCaptureBegin();
    EXPECT_EQ(FileAPI_writeToFile("x"), FALSE);
    EXPECT_EQ(FileAPI_writeToFileBinary("x", 1), FALSE);
    EXPECT_EQ(FileAPI_CloseFile(), FALSE);
    const std::string expected = "ERROR: File does not exists or Not opened !\n";
    EXPECT_EQ(consoleCaptureEnd(), expected + expected + expected);
}

TEST(FileApi, FailedOpensSayTheFileDoesNotExist) {
    const std::string dir = scratchDir("fileapi-missing");
    consoleCaptureBegin();
    EXPECT_EQ(FileAPI_OpenFile_ToRead((dir + "/missing").c_str(), TRUE), FALSE);
    EXPECT_EQ(FileAPI_CreateFile((dir + "/no/such/dir/f").c_str(), TRUE), FALSE);
    EXPECT_EQ(consoleCaptureEnd(), "ERROR: File does not exists\nERROR: File does not exists\n");
    EXPECT_EQ(fptr, nullptr);
    EXPECT_EQ(FileAPI_hasFailed(), TRUE);
}

TEST(FileApi, OnlyExactlyTrueMeansBinary) {
    const std::string file = scratchDir("fileapi-text") + "/f.txt";
    ASSERT_EQ(FileAPI_CreateFile(file.c_str(), 2), TRUE);
    FileAPI_writeToFile("a\n");
    FileAPI_CloseFile();
#ifdef _WIN32
    EXPECT_EQ(readFile(file), "a\r\n"); // text mode widens line ends on Windows
#else
    EXPECT_EQ(readFile(file), "a\n");
#endif
}

// What a full disk cut short is cut back, on Windows too: a file opened to append can be cut.
TEST(FileApi, AnAppendedFileCanBeCutBack) {
    const std::string file = scratchDir("fileapi-cut") + "/journal.jsonl";
    std::string reason;
    FILE *f = platformOpenToAppend(file.c_str(), reason);
    ASSERT_NE(f, nullptr) << reason;
    std::fputs("{\"unit\":1}\n{\"unit\":2,\"cut", f);
    std::fflush(f);
    EXPECT_EQ(platformTruncateFile(f, 11), "");
    std::fputs("{\"unit\":2}\n", f);
    std::fclose(f);
    EXPECT_EQ(readFile(file), "{\"unit\":1}\n{\"unit\":2}\n");
}

} // namespace
