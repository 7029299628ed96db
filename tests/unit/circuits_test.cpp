// Circuit table: ids, order, ownership of timers and resolvers, the keyed
// lookups (first match after re-keying) and iteration under removal.
// Sockets are only compared by identity here, so distinct addresses stand
// in for connection objects.
#include "circuits/circuits.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/ping.h"
#include "util/event_loop.h"
#include "util/timer.h"

namespace harvox {
namespace {

using std::chrono::milliseconds;

char g_tokens[16];
net::Connection* Conn(int i) { return reinterpret_cast<net::Connection*>(&g_tokens[i]); }
net::TClientSocket* Client(int i) { return reinterpret_cast<net::TClientSocket*>(&g_tokens[i]); }

CircuitTemplate WithCall(const std::string& call, uint8_t port = 0, const std::string& kind = "") {
  CircuitTemplate t;
  t.Ucb.UserCall = call;
  t.Ucb.Port = port;
  t.Ucb.Kind = kind;
  return t;
}

std::vector<int32_t> Ids(TLLFSM& table) {
  std::vector<int32_t> ids;
  for (Circuit* c = table.Head(); c != nullptr; c = table.Next(c)) ids.push_back(c->Id);
  return ids;
}

TEST(CircuitsTable, IdsOrderAndRemoval) {
  TLLFSM table;
  Circuit* only = table.Insert({});
  ASSERT_NE(only, nullptr);
  EXPECT_EQ(only->Id, 1);
  table.Remove(only);
  EXPECT_EQ(table.Head(), nullptr);
  Circuit* a = table.Insert({});
  EXPECT_EQ(a->Id, 2);  // never reused
  Circuit* b = table.Insert({});
  table.Insert({});
  table.Remove(b);
  table.Remove(b);  // already gone
  TLLFSM other;
  table.Remove(other.Insert({}));  // another table's
  table.Remove(nullptr);
  EXPECT_EQ(Ids(table), (std::vector<int32_t>{2, 4}));
  EXPECT_EQ(other.Count(), 1u);
}

TEST(CircuitsTable, InsertCopiesTemplateAndResetsTheRest) {
  CircuitTemplate t = WithCall("G4ABC-1", 3, "TN");
  t.FSM = 4;
  t.Ucb.Socket = Conn(1);
  t.Ucb.DestCall = "NODE";
  t.Ucb.Auth = 5;
  t.Ucb.LoginTries = 2;
  t.Ucb.Pending = std::string("a\0\xff", 3);
  t.Ucb.CLI = 1;
  t.Ucb2.UserId = "second";
  // Insert's own to set, whatever the template says:
  t.Ucb.Via = t.Ucb.NodeCall = "X";
  t.Ucb.bCRLF = t.Ucb.Quiet = 1;
  t.Ucb.NodePort = t.Ucb.Timeout = t.Ucb.MaxTime = 7;

  TLLFSM table;
  Circuit* c = table.Insert(t);
  ASSERT_NE(c, nullptr);
  const CircuitUCB& u = c->Ucb;
  EXPECT_EQ(c->FSM, 4);
  EXPECT_EQ(c->Ucb2.UserId, "second");
  EXPECT_EQ(u.Kind(), "TN");
  EXPECT_EQ(u.Port(), 3);
  EXPECT_EQ(u.Socket(), Conn(1));
  EXPECT_EQ(u.UserCall(), "G4ABC-1");
  EXPECT_EQ(u.DestCall, "NODE");
  EXPECT_EQ(u.Auth, 5);
  EXPECT_EQ(u.LoginTries, 2);
  EXPECT_EQ(u.Pending, std::string("a\0\xff", 3));
  EXPECT_EQ(u.CLI, 1);
  EXPECT_EQ(u.Via + u.NodeCall, "");
  EXPECT_EQ(u.bCRLF + u.Quiet + u.NodePort, 0);
  EXPECT_EQ(u.FirstData, 1);
  EXPECT_EQ(u.Timeout, 600000);
  EXPECT_EQ(u.MaxTime, 3600000);
  EXPECT_EQ(u.Ping(), nullptr);
  ASSERT_NE(u.InactTimer(), nullptr);
  ASSERT_NE(u.MaxTimer(), nullptr);
  EXPECT_NE(u.InactTimer(), u.MaxTimer());
  EXPECT_FALSE(u.InactTimer()->Enabled() || u.MaxTimer()->Enabled());
  EXPECT_FALSE(u.InactTimer()->HasHandler() || u.MaxTimer()->HasHandler());
}

TEST(CircuitsTable, CountActiveSkipsStateZero) {
  TLLFSM table;
  EXPECT_EQ(table.CountActive(), 0);
  table.Insert({});
  table.Insert({})->FSM = 3;
  CircuitTemplate t;
  t.FSM = 1;
  table.Insert(t);
  EXPECT_EQ(table.CountActive(), 2);
}

TEST(CircuitsTable, ForEachSurvivesRemovalAndInsertion) {
  TLLFSM table;
  for (int i = 0; i < 5; ++i) table.Insert({});
  std::vector<int32_t> seen;
  table.ForEach([&](Circuit& c) {
    const int32_t id = c.Id;
    seen.push_back(id);
    if (id == 2) table.Remove(&c);              // the current one
    if (id == 3) table.Remove(table.Next(&c));  // the next one (4)
    if (id == 5) table.Insert({});              // not visited
  });
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 2, 3, 5}));
  seen.clear();
  table.ForEach([&](Circuit& c) { seen.push_back(c.Id); table.Remove(&c); });
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 3, 5, 6}));
  EXPECT_EQ(table.Count(), 0u);
}

TEST(CircuitsTimers, InertUntilArmedAndStoppedOnRemove) {
  int fired = 0;
  auto table = std::make_unique<TLLFSM>();
  Circuit* c = table->Insert({});
  Timer* inact = c->Ucb.InactTimer();
  Timer* max = c->Ucb.MaxTimer();
  inact->SetInterval(1);
  inact->SetEnabled(true);  // armed without a handler: fires into nothing
  max->SetInterval(1);
  max->SetHandler([&](Timer&) { ++fired; });  // never enabled
  RunFor(milliseconds(20));
  EXPECT_EQ(fired, 0);

  max->SetEnabled(true);
  EXPECT_EQ(table->FindByMaxTimer(max), c);
  EXPECT_EQ(table->FindByTimer(max), nullptr);  // the two timers are not confused
  table->Remove(c);
  EXPECT_EQ(table->FindByMaxTimer(max), nullptr);
  Timer* left = table->Insert({})->Ucb.InactTimer();
  left->SetInterval(1);
  left->SetHandler([&](Timer&) { ++fired; });
  left->SetEnabled(true);
  table.reset();  // destroying the table stops what is left
  RunFor(milliseconds(20));
  EXPECT_EQ(fired, 0);
}

TEST(CircuitsPing, ReleasedOnlyAfterUnlink) {
  TLLFSM table;
  Circuit* c = table.Insert({});
  table.Insert({});
  EXPECT_EQ(table.FindByPing(nullptr), nullptr);  // circuits without a resolver

  // A lookup left pending raises 10004 on release; its handler must not
  // find the circuit any more.
  std::vector<std::pair<uint16_t, Circuit*>> events;
  auto pending = [&]() {
    auto ping = std::make_unique<net::TPing>();
    ping->OnDnsLookupDone = [&](net::TPing& p, uint16_t code) {
      events.emplace_back(code, table.FindByPing(&p));
    };
    ping->LookupHost("localhost");
    return ping;
  };
  table.SetPing(c, pending());
  net::TPing* first = c->Ucb.Ping();
  EXPECT_EQ(table.FindByPing(first), c);
  table.SetPing(c, pending());  // replaces and releases the first
  EXPECT_EQ(table.FindByPing(c->Ucb.Ping()), c);
  table.Remove(c);
  ASSERT_EQ(events.size(), 2u);
  for (const auto& [code, found] : events) {
    EXPECT_EQ(code, 10004);
    EXPECT_EQ(found, nullptr);
  }
  RunFor(milliseconds(20));  // late resolver results raise nothing more
  EXPECT_EQ(events.size(), 2u);
}

TEST(CircuitsLookup, FindCircuitNeedsPortCallAndKind) {
  TLLFSM table;
  Circuit* plain = table.Insert(WithCall("K1ABC", 1));
  Circuit* tn = table.Insert(WithCall("K1ABC", 1, "TN"));
  EXPECT_EQ(table.FindCircuit(1, "K1ABC", "TN"), tn);
  EXPECT_EQ(table.FindCircuit(1, "K1ABC", ""), plain);
  EXPECT_EQ(table.FindCircuit(2, "K1ABC", "TN"), nullptr);
  EXPECT_EQ(table.FindCircuit(1, "k1abc", "TN"), nullptr);
  EXPECT_EQ(table.FindByCall("K1ABC"), plain);  // port and kind ignored
  table.SetPort(tn, 2);
  EXPECT_EQ(table.FindCircuit(2, "K1ABC", "TN"), tn);
  table.SetKind(plain, "TN");
  EXPECT_EQ(table.FindCircuit(1, "K1ABC", "TN"), plain);
  EXPECT_EQ(table.FindCircuit(1, "K1ABC", ""), nullptr);
}

TEST(CircuitsLookup, FirstMatchIsEarliestAfterRekeying) {
  TLLFSM table;
  Circuit* a = table.Insert(WithCall("X"));
  Circuit* b = table.Insert(WithCall("X"));
  EXPECT_EQ(table.FindByCall("X"), a);
  table.SetUserCall(a, "Y");
  EXPECT_EQ(table.FindByCall("X"), b);
  EXPECT_EQ(table.FindByCall("Y"), a);
  table.SetUserCall(a, "X");  // rejoins after b, yet was inserted first
  EXPECT_EQ(table.FindByCall("X"), a);
  EXPECT_EQ(table.FindByCall("Y"), nullptr);

  table.SetSocket(b, Conn(2));
  table.SetSocket(a, Conn(2));
  EXPECT_EQ(table.FindBySocket(Conn(2)), a);
  table.SetSocket(a, nullptr);
  EXPECT_EQ(table.FindBySocket(Conn(2)), b);
  EXPECT_EQ(table.FindBySocket(nullptr), nullptr);

  table.SetTNSocket(a, nullptr, Conn(3));  // no client socket: never matches
  table.SetTNSocket(b, Client(4), Conn(3));
  EXPECT_EQ(table.FindByTNSocket(Conn(3)), b);
  table.SetTNSocket(b, nullptr, nullptr);
  EXPECT_EQ(table.FindByTNSocket(Conn(3)), nullptr);

  table.Remove(b);
  EXPECT_EQ(table.FindBySocket(Conn(2)), nullptr);
  table.SetUserCall(b, "Z");  // not in the table: nothing happens
  EXPECT_EQ(table.FindByCall("Z"), nullptr);
}

TEST(CircuitsScale, TenThousandCircuits) {
  constexpr int kCount = 10000;
  static char sockets[kCount];
  auto socket = [](int i) { return reinterpret_cast<net::Connection*>(&sockets[i]); };
  TLLFSM table;
  std::vector<Circuit*> all;
  for (int i = 0; i < kCount; ++i) {
    CircuitTemplate t = WithCall("C" + std::to_string(i), static_cast<uint8_t>(i % 4 + 1), "TN");
    t.Ucb.Socket = socket(i);
    all.push_back(table.Insert(t));
  }
  for (int i = 0; i < kCount; i += 2) table.Remove(all[i]);
  for (int i = 0; i < kCount; ++i) {
    Circuit* want = i % 2 == 0 ? nullptr : all[i];
    const std::string call = "C" + std::to_string(i);
    ASSERT_EQ(table.FindByCall(call), want) << i;
    ASSERT_EQ(table.FindBySocket(socket(i)), want) << i;
    ASSERT_EQ(table.FindCircuit(static_cast<uint8_t>(i % 4 + 1), call, "TN"), want) << i;
    if (want != nullptr) {
      ASSERT_EQ(table.FindByTimer(want->Ucb.InactTimer()), want) << i;
    }
  }
  EXPECT_EQ(table.Count(), static_cast<size_t>(kCount / 2));
  EXPECT_EQ(table.Insert({})->Id, kCount + 1);
}

}  // namespace
}  // namespace harvox
