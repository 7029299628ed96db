// Logins against clear-text and hashed USERS.INI entries, the hash made by
// `harvox --hash-password`, and what of it all reaches the log at the
// finest level: never a password, typed or stored, nor a hash.
#include <cstdio>

#include "support/telnet_fixture.h"
#include "telnetd/login_guard.h"
#include "util/strings.h"

namespace harvox::test {
namespace {

std::string HashFromPipe(const std::string& password) {
  const std::string cmd = "printf '%s\\n' '" + password + "' | " HARVOX_BINARY " --hash-password";
  FILE* p = popen(cmd.c_str(), "r");
  char buf[512] = {};
  const bool got = p != nullptr && std::fgets(buf, sizeof buf, p) != nullptr;
  if (p != nullptr) pclose(p);
  std::string hash = got ? buf : "";
  if (!hash.empty() && hash.back() == '\n') hash.pop_back();
  return hash;
}

std::string Hex(const std::string& s) {
  std::string out;
  for (unsigned char c : s) out += ByteToHex(c);
  return out;
}

// The log, then every dump's ASCII column and hex digits run together, so a
// secret cut over two dump lines is found too.
std::string Searchable(const std::string& log) {
  std::string ascii, hex;
  for (size_t at = 0, end; at < log.size(); at = end + 2) {
    end = std::min(log.find("\r\n", at), log.size());
    const std::string line = log.substr(at, end - at);
    if (line.size() != 67 || !line.starts_with(" |")) continue;
    ascii += line.substr(51);
    for (char c : line.substr(2, 48)) {
      if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
    }
  }
  return log + "\n" + ascii + "\n" + hex;
}

TEST_F(TelnetFixture, PlainAndHashedPasswordsNeverReachTheLog) {
  const std::string yes = HashFromPipe("Pa ss-Word!");
  ASSERT_TRUE(yes.starts_with("$y$")) << yes;
  const std::string six = "$6$hArvOxSaLt6$6UmBsu7mbewFpetQN.5fCqugsU.KjgZ9ez23ZWXnRN4EWsCVQoWeesv7Rk95uYlq7tcSal3SiKuDyrGMfyi5t1";
  const std::string five = "$5$hArvOxSaLt5$vGBEBoiLouDclu1ZuET3kqEccpqWbWTnu/rkeMpurb6";
  WriteFile(wd.File("USERS.INI"), "[USERS]\r\nPLAIN=Secr3tPW,PL-1\r\nYES=" + yes + ",YE-1\r\nSIX=" + six +
                                      ",SX-1\r\nFIVE=" + five + ",FV-1\r\n");
  Start();
  struct Case {
    std::string id, typed;
    bool admitted;
  };
  const std::vector<Case> cases = {
      {"plain", "s-e-c-r-3-t-p-w!", true}, {"plain", "Secr3tPX", false},
      {"yes", "Pa ss-Word!", true},        {"yes", "PASSWORD", false},
      {"yes", "pa ss-word!", false},       {"six", "s3cret-6", true},
      {"six", "S3CRET-6", false},          {"five", "s3cret-5", true}};
  std::vector<std::string> secrets = {"Secr3tPW", "SECR3TPW", yes, six, five};
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    auto p = Connect();
    ASSERT_TRUE(Await(*p, "Login:"));
    if (i % 2 == 0) {  // typed ahead: the password comes in the read at the login prompt
      p->Send(c.id + "\r" + c.typed + "\r");
    } else {
      p->Send(c.id + "\r");
      ASSERT_TRUE(Await(*p, "Password:"));
      p->Send(c.typed + "\r");
    }
    EXPECT_TRUE(Await(*p, c.admitted ? "Users logged in." : "Invalid Login")) << c.id << " " << c.typed;
    secrets.push_back(c.typed);
  }
  const std::string all = Searchable(ReadFile(log.FileName));
  for (const auto& s : secrets) {
    EXPECT_EQ(all.find(s), std::string::npos) << s;
    EXPECT_EQ(all.find(Hex(s)), std::string::npos) << s;
  }
  EXPECT_TRUE(Logged("{TelnetD} Login failed from 127.0.0.1 user \"YES\": wrong password"));
}

TEST(FailedLoginLine, OneShapeWhateverTheIdHolds) {
  const struct {
    std::string id, shown;
  } cases[] = {{"DEMO", "DEMO"},
               {"a b\"\\\x01\xff", "a\\x20b\\x22\\x5C\\x01\\xFF"},
               {std::string(40, 'A'), std::string(32, 'A') + "..."}};
  for (const auto& c : cases) {
    EXPECT_EQ(FailedLoginLine("::1", c.id, "unknown user"),
              "{TelnetD} Login failed from ::1 user \"" + c.shown + "\": unknown user");
  }
}

}  // namespace
}  // namespace harvox::test
