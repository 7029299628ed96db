// Login verification against USERS.INI, kept parsed in memory and read
// again whenever the file changed, so edits count at the next attempt while
// an attempt costs no file reading.  Entries: ID=password,callsign,auth,port:nodecall.
// The typed id is cleaned to letters and digits; entries are compared
// upper-cased but not cleaned, so an entry id with punctuation never
// matches.  The password check is password.cpp's.  No password, typed or
// stored, and no hash reaches the log: a fixed mask stands in for them.
#include <exception>
#include <optional>
#include <vector>

#include "util/log.h"
#include "telnetd/password.h"
#include "telnetd/telnetd.h"
#include "telnetd/users_file.h"
#include "util/files.h"
#include "util/ini.h"
#include "util/strings.h"

namespace harvox {

UserEntry ParseUserEntry(const std::string& line, int32_t def_port, const std::string& def_call) {
  std::string rest = line;
  UserEntry e;
  e.Id = UpperText(CutField(rest, '='));
  e.Password = CutField(rest, ',');  // as written: a hash keeps its case
  e.Call = UpperText(CutField(rest, ','));
  e.AuthText = CutField(rest, ',');
  std::string node = CutField(rest, ',');
  e.NodePortText = CutField(node, ':');
  e.NodeCall = UpperText(node);
  if (!IsNumeric(e.NodePortText)) e.NodePortText = std::to_string(def_port);
  if (e.NodeCall.empty()) e.NodeCall = UpperText(def_call);
  return e;
}

// Finds and reads the users file into its lines; a verdict when it can not.
std::optional<TTelnetD::Verdict> TTelnetD::ReadUsers(std::vector<std::string>& lines,
                                                     std::string& why) {
  const std::string dir = WorkingDir();
  W(3, "{TelnetD} Path=" + dir);
  const bool has_path = UsersFile.find('/') != std::string::npos || UsersFile.find(':') != std::string::npos;
  const std::string path = FindFile(has_path ? UsersFile : dir + UsersFile);
  if (!FileExists(path)) {
    W(1, "{TelnetD} Security verification Failed, no USERS file");
    why = "no users file";
    return Verdict::Refused;
  }
  W(3, "{TelnetD} <Security> USERS.INI File=" + path);
  if (Users->Refresh(path) != CachedIniFile::State::Ready) {
    W(1, "{TelnetD} Security verification Failed, USERS file can not be read");
    return Verdict::Unavailable;
  }
  bool cut = false;
  lines = Users->File().SectionLines("USERS", &cut);
  if (Users->TakeFresh()) {
    if (Users->File().Truncated()) {
      W(1, "{TelnetD} USERS file is longer than " + std::to_string(IniFile::kMaxFileSize) +
               " bytes, the rest is not read");
    }
    if (cut) {
      W(1, "{TelnetD} USERS file holds more user ids than " + std::to_string(IniFile::kMaxKeyList) +
               " bytes of names, later ids can not log in");
    }
  }
  return std::nullopt;
}

TTelnetD::Verdict TTelnetD::Security(Circuit* c, std::string& why) {
  auto& u = c->Ucb;
  W(3, "{TelnetD} <Security> Verifying against File=" + UsersFile);
  W(3, "{TelnetD} Verifying User");
  D(3, u.UserId);
  W(3, "{TelnetD} With Password");
  D(3, kSecretMask);
  std::vector<std::string> lines;
  if (const auto failed = ReadUsers(lines, why)) return *failed;
  // The typed password stays as typed for a hash; the cleaned form only
  // tells whether one was typed at all.
  const std::string typed = u.Password;
  u.UserId = KeepAlphaNum(UpperText(u.UserId));
  u.Password = KeepAlphaNum(UpperText(u.Password));
  if (u.UserId.empty()) {
    W(1, "{TelnetD} Security verification Failed, Invalid Id(" + u.UserId + ")");
    why = "invalid id";
    return Verdict::Refused;
  }
  if (lines.empty() && Secure) {
    W(1, "{TelnetD} Security verification Failed, empty USERS file");
    why = "empty users file";
    return Verdict::Refused;
  }
  why = "unknown user";
  for (const auto& line : lines) {
    const UserEntry e = ParseUserEntry(line, DefNodePort, DefNodeCall);
    if (Tracing(3)) {
      W(3, "{TelnetD} Recovered User(" + e.Id + ") Pasw(" + std::string(kSecretMask) + ") Call(" +
               e.Call + ") Node(" + e.NodePortText + ":" + e.NodeCall + ")");
    }
    if (e.Id != u.UserId) continue;
    // An entry without a password admits nobody (not even an empty one).
    if (!PasswordMatches(e.Password, typed)) {
      W(1, "{TelnetD} Invalid Login, Password does not match");
      why = "wrong password";
      return Verdict::Refused;
    }
    Sessions().SetUserCall(c, e.Call.empty() ? u.UserId : e.Call);
    // Only the low 8 bits of the level count; an overlong number counts as none.
    u.Auth = static_cast<uint8_t>(NumberOr(e.AuthText, 0));
    u.NodePort = NumberOr(e.NodePortText, DefNodePort);
    u.NodeCall = e.NodeCall;
    W(1, "{TelnetD} User(" + u.UserId + ") successfully logged as Call(" + u.UserCall() + ") Auth(" +
             std::to_string(u.Auth) + ") Node(" + std::to_string(u.NodePort) + ":" + u.NodeCall + ")");
    return Verdict::Admitted;
  }
  if (Secure || u.UserId.empty() || u.Password.empty()) return Verdict::Refused;
  Sessions().SetUserCall(c, u.UserId + "-11");
  u.Auth = DefAuth;
  u.NodePort = DefNodePort;
  u.NodeCall = DefNodeCall;
  W(1, "{TelnetD} User(" + u.UserId + ") successfully logged as Call(" + u.UserCall() + ") Auth(" +
           std::to_string(u.Auth) + ")");
  return Verdict::Admitted;
}

}  // namespace harvox
