// The entry, the option scanner and the query mode's command lines.
#include <string>
#include <vector>

#include "driver/driver.h"
#include "shared/shared.h"
#include "tests/unit/test_support.h"

namespace {

// Runs the query mode on a command line of wide arguments after the program name.
ResultCode Query(const std::vector<std::wstring>& arguments) {
  std::vector<std::wstring> all = {L"qlpatch.exe"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<wchar_t*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  return RunEntry(static_cast<int>(all.size()), argv.data());
}

class CommandLineTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    WriteDescription(Description("03"));
    g_optionIndex = 1;
  }
};

TEST_F(CommandLineTest, PatchCommandRunsBothChecks) {
  EXPECT_EQ(Query({L"-c", L"patch"}), RC_RECORD_MISSING);
  EXPECT_EQ(g_status, RC_RECORD_MISSING);
  WriteFile(recordPath_, "<UpdateQL><QL4.20><CurVersion>03</CurVersion></QL4.20></UpdateQL>");
  EXPECT_EQ(Query({L"-c", L"patch"}), RC_PATCH_IS_LATEST);
  fake::SetMachineValue(kInstallKey, L"Version", L"4.21");
  EXPECT_EQ(Query({L"-c", L"patch"}), RC_VERSION_MISMATCH);
  EXPECT_TRUE(fake::Output().empty()) << "the query mode prints nothing";
}

TEST_F(CommandLineTest, LastCommandWins) {
  EXPECT_EQ(Query({L"-c", L"patch", L"-c", L"other"}), RC_UNKNOWN);
  EXPECT_EQ(Query({L"-c", L"other", L"-c", L"patch"}), RC_RECORD_MISSING);
  EXPECT_EQ(Query({L"-c", L"PATCH"}), RC_UNKNOWN);
}

TEST_F(CommandLineTest, MalformedCommandLinesGive22) {
  EXPECT_EQ(Query({L"-x", L"-c", L"patch"}), RC_BAD_COMMAND_LINE);
  EXPECT_EQ(Query({L"patch"}), RC_BAD_COMMAND_LINE);
  EXPECT_EQ(Query({L"-cpatch"}), RC_BAD_COMMAND_LINE);
  EXPECT_EQ(Query({L"-c"}), RC_BAD_COMMAND_LINE);
  EXPECT_EQ(Query({L"-:", L"-c", L"patch"}), RC_BAD_COMMAND_LINE);
  EXPECT_EQ(Query({L"-c", L"patch", L"-c"}), RC_BAD_COMMAND_LINE) << "a trailing -c has no command";
  // Each scan leaves the scanner ready for the next.
  EXPECT_EQ(g_optionIndex, 1);
  EXPECT_EQ(Query({L"-c", L"patch"}), RC_RECORD_MISSING);
}

TEST_F(CommandLineTest, ArgumentCountLimit) {
  std::vector<std::wstring> thirty;
  for (int i = 0; i < 15; ++i) {
    thirty.push_back(L"-c");
    thirty.push_back(L"patch");
  }
  EXPECT_EQ(Query(thirty), RC_RECORD_MISSING);
  thirty.push_back(L"patch");
  EXPECT_EQ(Query(thirty), RC_TOO_MANY_ARGUMENTS);
  EXPECT_EQ(fake::CallCount("NarrowText"), 2 * 31) << "only the accepted command line is converted";
}

TEST_F(CommandLineTest, OptionArgumentIsTakenWhateverItIs) {
  EXPECT_EQ(Query({L"-c", L"-c"}), RC_UNKNOWN) << "the command is \"-c\"";
}

TEST_F(CommandLineTest, ArgumentThatCannotBeConvertedIsRefused) {
  fake::FailCall("NarrowText", 3);
  EXPECT_EQ(Query({L"-c", L"patch"}), RC_BAD_COMMAND_LINE);
}

TEST(ScanOptionTest, ScansAndResets) {
  const char* raw[] = {"qlpatch", "-c", "patch", "-z", "stray", "-c", "x", nullptr};
  char* arguments[8];
  for (int i = 0; i < 8; ++i) arguments[i] = const_cast<char*>(raw[i]);
  g_optionIndex = 1;
  g_optionArgument = nullptr;
  EXPECT_EQ(ScanOption(7, arguments, "c:"), 'c');
  EXPECT_STREQ(g_optionArgument, "patch");
  EXPECT_EQ(ScanOption(7, arguments, "c:"), '?');
  EXPECT_EQ(ScanOption(7, arguments, "c:"), '?') << "stray ends the scan";
  EXPECT_EQ(g_optionIndex, 7);
  EXPECT_EQ(ScanOption(7, arguments, "c:"), -1);
  EXPECT_EQ(g_optionIndex, 1);
  EXPECT_EQ(ScanOption(1, arguments, "c:"), -1);
}

TEST(ResultMessageTest, TableAndFallback) {
  wchar_t message[kMessageChars];
  const std::pair<ResultCode, std::wstring> expected[] = {
      {-1, L"unknow error!"},        {0, L"succeed!"},
      {3, L"unknow xml evelment!"},  {9, L"stop service error!"},
      {15, L"Qorlink has patched!"}, {19, L"Patch is latest!"},
      {20, L"unknow error 20!"},     {21, L"unknow error 21!"},
      {22, L"unknow error 22!"},     {-2, L"unknow error -2!"},
  };
  for (const auto& [code, text] : expected) {
    FormatResultMessage(code, message);
    EXPECT_EQ(std::wstring(message), text) << code;
  }
}

}  // namespace
