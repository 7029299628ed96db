// The node command processor as a pure unit: every step of Execute in one
// table, with the owner's events recorded.
#include <gtest/gtest.h>

#include "gateway/l2cli.h"

namespace harvox {
namespace {

struct CliFixture {
  TL2CLI cli;
  std::vector<std::string> calls;  // what reached the owner
  bool help_answers = false;

  CliFixture() {
    cli.NodeCall = "GATE";
    cli.Welcome = "Hello";
    cli.Bye = "73!";
    cli.AddCommand("t", "Telnet", true, 0, false, "");
    cli.AddCommand("PING", "Ping a Host", true, 8, false, "");
    cli.AddCommand("X", "Alias", false, 0, true, "t 10.0.0.1:23");
    cli.FOnDisconnect = [this](uint8_t, const std::string& call) { calls.push_back("bye " + call); };
    cli.FOnCommand = [this](uint8_t, const std::string&, const std::string& cmd,
                            const std::string& args, uint8_t, std::string& reply) {
      calls.push_back(cmd + "|" + args);
      reply = "ok " + cmd + "\r";
    };
    cli.FOnHelp = [this](uint8_t, const std::string&, const std::string& cmd,
                         const std::string& args, uint8_t, std::string& reply) {
      calls.push_back("help " + cmd + "|" + args);
      if (help_answers) reply = "topic\r";
    };
  }
};

const std::string P = "{N0CALL de GATE}:\r";

TEST(L2CliTest, ExecuteStepsAndReplies) {
  struct Case {
    std::string input;
    std::string reply;
    std::vector<std::string> calls;
    bool help_answers = false;
  };
  const std::vector<Case> cases = {
      {"", "", {}},
      {"no line end", P, {}},
      {"t 10.0.0.5:23\r", "ok T\r" + P, {"T|10.0.0.5:23"}},
      {"t 10.0.0.5:23\n", "ok T\r" + P, {"T|10.0.0.5:23"}},
      {"T   host  port\r", "ok T\r" + P, {"T|host  port"}},
      {"\r\n", "Hello\r" + P, {}},
      {"\r", P + "\r", {}},
      {" \r", P + "\r", {}},
      {"t a\r\nt b\r\n", "ok T\rok T\r" + P + P, {"T|a", "T|b"}},
      {"t a\rt b\r", "ok T\r" + P, {"T|a"}},
      {"zz\r", "*** Error, command ZZ not valid, type ? for help\r" + P, {}},
      {"zz\r\nt a\r\n", "*** Error, command ZZ not valid, type ? for help\r" + P, {}},
      {"t\r", "*** ERROR, Invalid or missing argument\r" + P, {}},
      {"ping host\r", "*** ERROR, Not authorized for command <PING>\r" + P, {}},
      {"x mine\r", "ok T\r" + P, {"T|10.0.0.1:23"}},
      {"q\r", "\r73!" + P, {"bye N0CALL"}},
      {"B\r\nt a\r\n", "\r73!ok T\r" + P + P, {"bye N0CALL", "T|a"}},
      {"?\r", "\rT Telnet\rX Alias\r" + P, {"help ?|"}},
      {"h topic\r", "\rtopic\r" + P, {"help H|topic"}, true},
  };
  for (const auto& c : cases) {
    CliFixture f;
    f.help_answers = c.help_answers;
    std::string buffer = c.input;
    EXPECT_EQ(f.cli.Execute(1, "N0CALL", buffer, 0), c.reply) << c.input;
    EXPECT_EQ(f.calls, c.calls) << c.input;
  }
}

TEST(L2CliTest, UnboundEventsAndFailures) {
  CliFixture f;
  f.cli.FOnDisconnect = nullptr;
  f.cli.FOnHelp = nullptr;
  std::string b = "q\r";
  EXPECT_EQ(f.cli.Execute(1, "N0CALL", b, 0),
            "*** Error, command Q not valid, type ? for help\r" + P);
  b = "?\r";
  EXPECT_EQ(f.cli.Execute(1, "N0CALL", b, 9), "\rT Telnet\rPING Ping a Host\rX Alias\r" + P);
  f.cli.FOnCommand = [](uint8_t, const std::string&, const std::string&, const std::string&,
                        uint8_t, std::string&) { throw std::out_of_range("port"); };
  b = "t a:99999999999\r";
  EXPECT_EQ(f.cli.Execute(1, "N0CALL", b, 0), "\r--Exception on Command Processor--\r" + P);
  // A failure on a later line keeps the prompts owed by the lines before it.
  b = "\r\nt a:99999999999\r\n";
  EXPECT_EQ(f.cli.Execute(1, "N0CALL", b, 0), "Hello\r\r--Exception on Command Processor--\r" + P + P);
}

// An engine may hand over one data frame of 64 KiB: its first lines are
// answered in turn, the rest is dropped with one note.
TEST(L2CliTest, ABufferOfManyLinesIsAnsweredLineByLine) {
  CliFixture f;
  constexpr size_t kLines = 30000;
  std::string b;
  for (size_t i = 0; i < kLines; ++i) b += "\r\n";
  std::string want;
  for (size_t i = 0; i < TL2CLI::kMaxLines; ++i) want += "Hello\r";
  want += "\r*** Only 8 lines at a time\r";
  for (size_t i = 0; i < TL2CLI::kMaxLines; ++i) want += P;
  EXPECT_EQ(f.cli.Execute(1, "N0CALL", b, 0), want);
  EXPECT_TRUE(b.empty());
}

TEST(L2CliTest, TableHoldsThirtyAndRejectsEmptyNames) {
  TL2CLI cli;
  EXPECT_FALSE(cli.AddCommand("", "none", false, 0, false, ""));
  for (int i = 0; i < 30; ++i) EXPECT_TRUE(cli.AddCommand("C" + std::to_string(i), "", false, 0, false, ""));
  EXPECT_FALSE(cli.AddCommand("LAST", "", false, 0, false, ""));
  cli.ResetCommands();
  EXPECT_TRUE(cli.AddCommand("LAST", "", false, 0, false, ""));
  EXPECT_EQ(cli.Commands[0].Name, "LAST");
}

}  // namespace
}  // namespace harvox
