#include <gtest/gtest.h>

#include <stdexcept>

#include "module/AXLogger.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

class TestLogger : public CAXLogger {
 public:
  explicit TestLogger(DWORD flags) : CAXLogger(WSTR("Test")) { m_settings.m_debugFlags = flags; }
  int QueryLoggerFlag() override { return 1; }
  const WCHAR* GetLogPrefix() override {
    if (throwStd) throw std::runtime_error("prefix went wrong");
    if (throwOther) throw 42;
    return WSTR("CTest :: ");
  }
  int ForwardLine(DWORD level, const WCHAR* message) override {
    forwarded.push_back({level, message});
    return 0;
  }
  int WriteToFile(DWORD level, const WCHAR* message) override {
    filed.push_back({level, message});
    return 0;
  }
  struct Call {
    DWORD level;
    WString message;
  };
  std::vector<Call> forwarded, filed;
  bool throwStd = false, throwOther = false;
};

constexpr DWORD kAllLevels = LOG_ERROR | LOG_MAJOR | LOG_INFO | LOG_DETAIL;

}  // namespace

TEST(Logger, SuppressedLinesReachNoSink) {
  FixedClock clock;
  CapturedDiagnostics diag;
  TestLogger silent(0);
  for (DWORD level : {LOG_ERROR, LOG_MAJOR, LOG_INFO, LOG_DETAIL}) silent.Log(level, WSTR("x %d"), 1);
  EXPECT_TRUE(diag.lines.empty());
  EXPECT_TRUE(silent.forwarded.empty());
  EXPECT_TRUE(silent.filed.empty());

  // Errors and majors only: an info line is dropped, a major line written.
  TestLogger some(LOG_TO_DEBUGGER | LOG_ERROR | LOG_MAJOR);
  some.Log(LOG_INFO, WSTR("Tessaro INFO  :: f(1): info"));
  EXPECT_TRUE(diag.lines.empty());
  some.Log(LOG_MAJOR, WSTR("Tessaro INFO  :: f(2): major"));
  ASSERT_EQ(1u, diag.lines.size());
  EXPECT_EQ("21:04:09.007 [0x00000a1c] CTest :: Tessaro INFO  :: f(2): major\n", U8(diag.lines[0]));
}

TEST(Logger, HeaderUsesTwentyFourHoursPaddedMillisecondsAndThreadId) {
  FixedClock clock;
  CapturedDiagnostics diag;
  TestLogger logger(LOG_TO_DEBUGGER | kAllLevels);
  clock.local.wHour = 9, clock.local.wMinute = 5, clock.local.wSecond = 3;
  logger.Log(LOG_INFO, WSTR("Tessaro INFO  :: CActiveMonAX::MonInit(18): Initializing Activity Monitor"));
  clock.local.wHour = 23, clock.local.wMilliseconds = 999, clock.threadId = 0xFFFFFFFF;
  logger.Log(LOG_DETAIL, WSTR("%s=%lu"), WSTR("n"), static_cast<DWORD>(12));
  ASSERT_EQ(2u, diag.lines.size());
  EXPECT_EQ("09:05:03.007 [0x00000a1c] CTest :: Tessaro INFO  :: CActiveMonAX::MonInit(18): Initializing Activity "
            "Monitor\n",
            U8(diag.lines[0]));
  EXPECT_EQ("23:05:03.999 [0xffffffff] CTest :: n=12\n", U8(diag.lines[1]));
}

TEST(Logger, LongMessagesAreCutAndLineFeedsNotDoubled) {
  FixedClock clock;
  CapturedDiagnostics diag;
  TestLogger logger(LOG_TO_DEBUGGER | LOG_TO_FILE | kAllLevels);
  const WString big(5000, 'm');
  logger.Log(LOG_INFO, WSTR("%s"), big.c_str());
  logger.Log(LOG_INFO, WSTR("ends in a line feed\n"));
  logger.Log(LOG_INFO, WSTR("%s"), WSTR(""));
  ASSERT_EQ(2u, diag.lines.size());
  const WString header = WSTR("21:04:09.007 [0x00000a1c] CTest :: ");
  EXPECT_EQ(header + WString(2047, 'm') + WSTR("\n"), diag.lines[0]);
  EXPECT_EQ(header + WSTR("ends in a line feed\n"), diag.lines[1]);
  // The file hook gets the message alone, before the line feed is added.
  ASSERT_EQ(2u, logger.filed.size());
  EXPECT_EQ(WString(2047, 'm'), logger.filed[0].message);
  EXPECT_EQ(LOG_INFO, logger.filed[0].level);
}

TEST(Logger, WithoutDebuggerBitNoHeaderIsBuiltAndNothingIsWritten) {
  FixedClock clock;
  CapturedDiagnostics diag;
  TestLogger logger(LOG_TO_FILE | LOG_FORWARD | kAllLevels);
  logger.Log(LOG_INFO, WSTR("quiet"));
  EXPECT_TRUE(diag.lines.empty());
  ASSERT_EQ(1u, logger.filed.size());
  EXPECT_EQ("quiet", U8(logger.filed[0].message));
  ASSERT_EQ(1u, logger.forwarded.size());
  EXPECT_EQ("quiet\n", U8(logger.forwarded[0].message));
  EXPECT_EQ(LOG_INFO | LOG_FORWARDED, logger.forwarded[0].level);
}

TEST(Logger, ForwardingHonoursNoForwardAndLevelZero) {
  FixedClock clock;
  CapturedDiagnostics diag;
  // LOG_NO_FORWARD among the flags lets such a line pass the mask: it is
  // written, and only the forwarding rule keeps it from the forward sink.
  TestLogger logger(LOG_TO_DEBUGGER | LOG_FORWARD | LOG_NO_FORWARD | kAllLevels);
  logger.Log(LOG_INFO | LOG_NO_FORWARD, WSTR("kept here"));
  ASSERT_EQ(1u, diag.lines.size());
  EXPECT_TRUE(logger.forwarded.empty());
  logger.Log(LOG_INFO, WSTR("passed on"));
  ASSERT_EQ(1u, logger.forwarded.size());
  EXPECT_EQ("passed on\n", U8(logger.forwarded[0].message));

  // A level of 0 passes the mask test under any flags and is never forwarded.
  logger.Log(0, WSTR("level zero"));
  ASSERT_EQ(3u, diag.lines.size());
  EXPECT_EQ(1u, logger.forwarded.size());
  TestLogger bare(0);
  bare.Log(0, WSTR("no sink"));
  EXPECT_EQ(3u, diag.lines.size());
}

TEST(Logger, ExceptionsBecomeReportBoxes) {
  FixedClock clock;
  CapturedDiagnostics diag;
  TestLogger logger(LOG_TO_DEBUGGER | kAllLevels);
  logger.throwStd = true;
  logger.Log(LOG_ERROR, WSTR("fmt %d"), 1);
  logger.throwStd = false, logger.throwOther = true;
  logger.Log(LOG_ERROR, WSTR("other %d"), 2);
  EXPECT_TRUE(diag.lines.empty());
  ASSERT_EQ(2u, diag.boxes.size());
  EXPECT_EQ("Unexpected exception thrown\n\tprocessing:\nfmt %d\n\tdescription: prefix went wrong ",
            U8(diag.boxes[0].text));
  EXPECT_EQ("Unexpected runtime error", U8(diag.boxes[0].caption));
  EXPECT_EQ("Unexpected exception thrown\n\tprocessing:\nother %d", U8(diag.boxes[1].text));
  EXPECT_EQ(static_cast<UINT>(MB_OK), diag.boxes[1].type);
}

TEST(Logger, LastErrorTextComesFromTheSystemOrTheConstant) {
  plat::Errors().SetLastError(ERROR_ACCESS_DENIED);
  LPWSTR text = GetLastErrorText();
  ASSERT_NE(kNoLastErrorText, text);
  // The system's own wording (Wine words some texts differently); it keeps
  // its trailing line break.
  const std::string message = U8(text);
#ifdef _WIN32
  EXPECT_NE(std::string::npos, message.find("denied")) << message;
  EXPECT_EQ("\r\n", message.substr(message.size() - 2));
#else
  EXPECT_EQ("Access is denied.\r\n", message);
#endif
  ReleaseLastErrorText(text);
  plat::Errors().SetLastError(0x2BADF00D);
  text = GetLastErrorText();
  EXPECT_EQ(kNoLastErrorText, text);
  ReleaseLastErrorText(text);
}
