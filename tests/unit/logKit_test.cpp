// The log side of the test kit: masking the line numbers of the service's
// log, splitting it into lines, counting and finding pieces in it, and the
// hex renderings of bytes. A mask that took too much would let a wrong
// message pass.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "logText.h"

namespace {

using sandbox::LogLine;
using ::testing::ElementsAre;

TEST(LogTextKit, OnlyThePrefixLineNumberIsMasked)
{
    const std::string log = "banner #12 \n"
                            "[src/peripher] viewBuf() #212 Receive:(2) #3 \r\n\n"
                            "[src/serial] serial_open() #7 x() #9 y\n"
                            "[src/serial] serial_open() #  not a number\n"
                            "cmd_request_connect() #5 the platform logger's\n";
    EXPECT_EQ(sandbox::maskLineNumbers(log), "banner #12 \n"
                                             "[src/peripher] viewBuf() #N Receive:(2) #3 \r\n\n"
                                             "[src/serial] serial_open() #N x() #9 y\n"
                                             "[src/serial] serial_open() #  not a number\n"
                                             "cmd_request_connect() #5 the platform logger's\n");
    EXPECT_EQ(sandbox::logPrefix("src/peripher", "viewBuf") + "Receive:",
              sandbox::maskLineNumbers("[src/peripher] viewBuf() #1 Receive:"));
}

TEST(LogTextKit, PiecesInOrderAndTheirCount)
{
    EXPECT_EQ(sandbox::missingInOrder("open, send, close", {"open", "close"}), "");
    EXPECT_EQ(sandbox::missingInOrder("open, send, close", {"close", "open"}), "open");
    EXPECT_EQ(sandbox::missingInOrder("OK", {"OK", "OK"}), "OK") << "one occurrence serves one piece";
    EXPECT_EQ(sandbox::occurrences("OK\r\nOK\r\nERROR\r\n", "OK\r\n"), 2U);
    EXPECT_EQ(sandbox::occurrences("aaaa", "aa"), 2U);
    EXPECT_EQ(sandbox::occurrences("abc", "x"), 0U);
    EXPECT_EQ(sandbox::occurrences("abc", ""), 0U);
}

TEST(LogTextKit, HexBytesRenderEveryByte)
{
    EXPECT_EQ(sandbox::hexBytes(std::string("\x00\x0a\x7f\x80\xff", 5), "0x", " "), "0x00 0x0a 0x7f 0x80 0xff ");
    EXPECT_EQ(sandbox::hexBytes("AT", "[", "]"), "[41][54]");
    EXPECT_EQ(sandbox::hexBytes(std::vector<uint8_t>{0xfe, 0x00, 0x05}, "0x", " "), "0xfe 0x00 0x05 ");
    EXPECT_EQ(sandbox::hexBytes("", "0x", " "), "");
}

TEST(LogTextKit, SplitsOutputAtEachPrefix)
{
    const std::string out = "banner\n[src/peripher] boardPinSet() #120  echo 1 > x\r\n\n"
                            "[src/tcpServer] ctx_Send_2() #7 two\nlines\n[src/peripher] f() #1 ";
    EXPECT_THAT(sandbox::logLines(out),
                ElementsAre(LogLine{"src/peripher", "boardPinSet", " echo 1 > x\r\n\n"},
                            LogLine{"src/tcpServer", "ctx_Send_2", "two\nlines\n"}, LogLine{"src/peripher", "f", ""}));
    EXPECT_THAT(sandbox::logMessages(out), ElementsAre(" echo 1 > x\r\n\n", "two\nlines\n", ""));
    EXPECT_THAT(sandbox::logMessages("no log line at all\n"), ::testing::IsEmpty());
}

} // namespace
