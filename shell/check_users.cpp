// The users file as the Telnet server reads it at a login, and who may read
// a file the check could not.
#include "shell/check_users.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "telnetd/password.h"
#include "telnetd/users_file.h"
#include "util/files.h"
#include "util/strings.h"

namespace harvox {
namespace {

std::string UserName(uid_t uid) {
  const passwd* p = ::getpwuid(uid);
  return p ? p->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  const group* g = ::getgrgid(gid);
  return g ? g->gr_name : std::to_string(gid);
}

// The service's user as a rule: a group that may read the file and has a
// user of its own name (the package's root:harvox 0640), else the owner.
std::string ServiceReader(const struct stat& st) {
  const group* g = (st.st_mode & S_IRGRP) ? ::getgrgid(st.st_gid) : nullptr;
  if (g && ::getpwnam(g->gr_name)) return g->gr_name;
  return (st.st_mode & S_IRUSR) ? UserName(st.st_uid) : "";
}

bool OnlyLettersAndDigits(const std::string& s) { return KeepAlphaNum(s) == s; }

// Typed ids and clear-text passwords are cleaned to letters and digits
// before they are compared, so an entry with anything else in them is
// never matched.  A hashed password is checked as typed.
bool CanLogIn(const UserEntry& e, CheckReport& r) {
  const bool hashed = IsPasswordHash(e.Password);
  const char* why = !OnlyLettersAndDigits(e.Id) ? "the id has characters other than letters and digits"
                    : e.Password.empty()        ? "no password"
                    : !hashed && !OnlyLettersAndDigits(UpperText(e.Password))
                        ? "the password has characters other than letters and digits"
                        : nullptr;
  if (why) r.Lines.push_back("WARNING: user " + e.Id + " can never log in: " + why);
  return !why;
}

// The node's placeholder is told once, at NODECALL, not for every user who
// takes the default.
void CheckEntry(const UserEntry& e, const Settings& s, CheckReport& r) {
  if (e.Id == "DEMO") {
    r.Lines.push_back("WARNING: user DEMO is the example's login, known to everyone; remove it");
  }
  CheckPlaceholder("user " + e.Id + " callsign", e.Call.empty() ? e.Id : e.Call, r);
  if (e.NodeCall != s.NodeCall) CheckPlaceholder("user " + e.Id + " node", e.NodeCall, r);
}

void ReportOtherSections(const IniFile& ini, CheckReport& r) {
  for (const auto& name : ini.SectionNames()) {
    if (UpperText(name) != "USERS") {
      r.Lines.push_back("WARNING: USERS.INI [" + name + "] is no section of the users file (only [USERS] is read)");
    }
  }
}

// Keys without a value are no users at all: the section's lines leave them out.
void ReportEmptyEntries(const IniFile& ini, CheckReport& r) {
  for (const auto& [id, value] : ini.Entries("USERS")) {
    if (value.empty()) r.Lines.push_back("WARNING: user " + id + " can never log in: no password");
  }
}

std::optional<IniFile> LoadUsers(const std::string& dir, CheckReport& r) {
  const std::string path = FindFile(dir + "USERS.INI");
  if (!PathExists(path)) {
    r.Lines.push_back("WARNING: no USERS.INI: every Telnet login fails");
    return std::nullopt;
  }
  // Start-up does not read the users file, so this stops nothing: every
  // login fails, or only this check could not look.
  auto ini = FileExists(path) ? IniFile::TryLoad(path) : std::nullopt;
  if (!ini) {
    r.Lines.push_back("WARNING: USERS.INI can not be read" +
                      (FileExists(path) ? ReadableBy(path, dir) : std::string(": it is no regular file")) +
                      "; Telnet logins fail where it can not be read");
  }
  return ini;
}

}  // namespace

std::string ReadableBy(const std::string& path, const std::string& dir) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "";
  std::string dir_name = dir;
  if (dir_name.size() > 1 && dir_name.back() == '/') dir_name.pop_back();
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  const std::string who = ServiceReader(st);
  return " by user " + UserName(::geteuid()) + " (owner " + UserName(st.st_uid) + ", group " +
         GroupName(st.st_gid) + ", mode " + mode + ")" +
         (who.empty() ? "" : "; try: sudo -u " + who + " harvox --check " + dir_name);
}

void ReportUsers(const std::string& dir, const Settings& s, CheckReport& r) {
  const auto ini = LoadUsers(dir, r);
  if (!ini) return;
  ReportDuplicates("USERS.INI", *ini, r);
  ReportOtherSections(*ini, r);
  bool cut = false;
  const auto lines = ini->SectionLines("USERS", &cut);
  if (cut) r.Lines.push_back("WARNING: USERS.INI has more ids than the key list holds; later ids can not log in");
  ReportEmptyEntries(*ini, r);
  size_t usable = 0, plain = 0;
  for (const auto& line : lines) {
    const UserEntry e = ParseUserEntry(line, s.NodePort, s.NodeCall);
    if (CanLogIn(e, r)) {
      ++usable;
      if (!IsPasswordHash(e.Password)) ++plain;
    }
    CheckEntry(e, s, r);
  }
  if (plain > 0) {
    r.Lines.push_back("NOTE: " + std::to_string(plain) + " of the users have clear-text passwords in USERS.INI; "
                      "`harvox --hash-password` makes a hash to put in place of each");
  }
  r.Lines.push_back("USERS.INI: " + std::to_string(usable) + " of " + std::to_string(lines.size()) +
                    " users can log in (passwords are not shown)");
  if (s.TelnetEnabled && s.Security && usable == 0) {
    r.Lines.push_back("WARNING: [TELNET] SECURITY=YES and no user can log in: every Telnet login fails");
  }
  if (s.TelnetEnabled && !s.Security) {
    r.Lines.push_back("WARNING: [TELNET] SECURITY=NO: anyone logs in with any id and password and "
                      "transmits as <ID>-11");
  }
}

}  // namespace harvox
