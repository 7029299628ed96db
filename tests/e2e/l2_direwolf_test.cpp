// The engine link against a real engine: a TL2 on the main loop talks to
// direwolf A and connects over the simulated channel to a station
// registered on direwolf B (a plain test client).
#include <gtest/gtest.h>

#include "agw/l2.h"
#include "util/log.h"
#include "support/agw_client.h"
#include "support/direwolf_pair.h"
#include "support/temp_dir.h"
#include "util/event_loop.h"

namespace harvox {
namespace {

using namespace std::chrono_literals;
using test::AgwClient;
using test::AgwFrame;
using test::DirewolfPair;
using test::Station;

constexpr const char* kOwn = "N0AAA-3";
constexpr const char* kFar = "N0BBB-7";

std::string Bytes(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed) % 256);
  return s;
}

struct L2Direwolf : ::testing::Test {
  test::TempDir dir;
  TLog log;
  DirewolfPair pair;
  AgwClient far;                 // the station on engine B
  std::vector<AgwFrame> far_rx;  // what it received
  std::unique_ptr<TL2> l2;
  std::vector<std::string> events;
  std::string data_rx;

  void SetUp() override {
    HARVOX_REQUIRE_DIREWOLF();
    test::OpenLog(log, dir.File("HARVOX.LOG"), 4);
    std::string error;
    ASSERT_TRUE(pair.Start(&error)) << error;
    ASSERT_TRUE(far.Connect("127.0.0.1", pair.AgwPort(Station::B)));
    far.Send(AgwFrame{0, 'X', 0, kFar, "", ""});
    ASSERT_TRUE(far.ReadUntil([](const AgwFrame& f) { return f.kind == 'X'; }, 30s));
    l2 = std::make_unique<TL2>(&log);
    l2->SetCallSign(kOwn);
    l2->SetAddress("127.0.0.1");
    l2->SetPort(pair.AgwPort(Station::A));
    pair.Share(*l2, Station::A);
    Record();
  }
  void TearDown() override {
    l2.reset();
    RunFor(20ms);
  }
  void Record() {
    auto call = [this](const char* name) {
      return [this, name](TL2&, uint8_t, const std::string& c, const std::string& t) {
        events.push_back(std::string(name) + " " + c + " " + t);
      };
    };
    l2->FOnAGWUp = [this](TL2&) { events.push_back("up"); };
    l2->FOnPort = [this](TL2&) { events.push_back("port"); };
    l2->FOnVersion = [this](TL2&, int32_t a, int32_t b) {
      events.push_back("version " + std::to_string(a) + "." + std::to_string(b));
    };
    l2->FOnRegister = [this](TL2&, const std::string& c, std::string_view d) {
      events.push_back("register " + c + " " + std::to_string(d.empty() ? -1 : d[0]));
    };
    l2->FOnMyConnect = call("myconnect");
    l2->FOnHisDisconnect = call("hisdisconnect");
    l2->FOnMyDisconnect = call("mydisconnect");
    l2->FOnConnectEx = [this](TL2&, uint8_t p, const std::string& f, const std::string& t,
                              const std::string& x) {
      events.push_back("connectex " + std::to_string(p) + " " + f + " " + t + " " + x);
    };
    l2->FOnDisconnectEx = [this](TL2&, uint8_t, const std::string& f, const std::string& t,
                                 const std::string&) { events.push_back("disconnectex " + f + " " + t); };
    l2->FOnData = [this](TL2&, uint8_t, const std::string& f, const std::string& t, uint8_t pid,
                         std::string_view d) {
      EXPECT_EQ(f, kFar);
      EXPECT_EQ(t, kOwn);
      EXPECT_EQ(pid, 0xF0);
      data_rx.append(d);
    };
  }
  bool Seen(const std::string& prefix) {
    for (const auto& e : events) {
      if (e.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  // Runs the loop while polling the far station's frames.
  bool Until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 20s) {
    return RunUntil(
        [&] {
          while (auto f = far.Read(0ms)) far_rx.push_back(*f);
          return pred();
        },
        timeout);
  }
  std::string FarData() {
    std::string s;
    for (const auto& f : far_rx) {
      if (f.kind == 'D') s += f.data;
    }
    return s;
  }
  bool FarGot(char kind, const std::string& text) {
    for (const auto& f : far_rx) {
      if (f.kind == kind && f.data.find(text) != std::string::npos) return true;
    }
    return false;
  }
  void ConnectOverTheAir() {
    l2->Open();
    ASSERT_TRUE(Until([&] { return Seen("port") && Seen("version"); }));
    EXPECT_TRUE(l2->AGWRegister(kOwn));
    ASSERT_TRUE(Until([&] { return Seen("register"); }));
    l2->ConnectExt(1, 0xF0, kOwn, kFar, "");
    ASSERT_TRUE(Until([&] { return Seen("connectex"); }));
    ASSERT_TRUE(Until([&] { return FarGot('C', "CONNECTED To Station N0AAA-3"); }));
  }
};

TEST_F(L2Direwolf, LogsInConnectsOverTheAirPassesEveryByteAndDisconnects) {
  ConnectOverTheAir();
  EXPECT_EQ(events.at(0), "up");
  EXPECT_TRUE(Seen("version 2005."));
  EXPECT_TRUE(Seen("register N0AAA-3 1"));
  EXPECT_EQ(l2->Registered, 1);
  EXPECT_GE(l2->NumPorts, 1);
  EXPECT_TRUE(Seen("myconnect N0BBB-7 *** CONNECTED With Station N0BBB-7"));
  EXPECT_TRUE(Seen("connectex 1 N0BBB-7 N0AAA-3 *** CONNECTED With Station N0BBB-7"));

  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  const std::string block = Bytes(600, 3);
  l2->SendData(1, 0xF0, kOwn, kFar, all);
  l2->SendData(1, 0xF0, kOwn, kFar, block);
  ASSERT_TRUE(Until([&] { return FarData().size() >= all.size() + block.size(); }));
  EXPECT_EQ(FarData(), all + block);

  far.Send(AgwFrame{0, 'D', 0xF0, kFar, kOwn, all});
  far.Send(AgwFrame{0, 'D', 0xF0, kFar, kOwn, block});
  ASSERT_TRUE(Until([&] { return data_rx.size() >= all.size() + block.size(); }));
  EXPECT_EQ(data_rx, all + block);

  l2->DisconnectExt(1, kOwn, kFar);
  ASSERT_TRUE(Until([&] { return Seen("disconnectex"); }));
  // The engine reports the end of a link it was asked to end with the same
  // "From" text as one the far station ended.
  EXPECT_TRUE(Seen("disconnectex N0BBB-7 N0AAA-3"));
  EXPECT_TRUE(Until([&] { return FarGot('d', "DISCONNECTED From Station N0AAA-3"); }));
}

TEST_F(L2Direwolf, BlockSentJustBeforeTheDisconnectArrivesWhole) {
  ConnectOverTheAir();
  const std::string block = Bytes(2048, 11);
  l2->SendData(1, 0xF0, kOwn, kFar, block);
  l2->EndLinkAfterDrain(1, kOwn, kFar, {{1, 0, 'd', kOwn, kFar, {}}});
  ASSERT_TRUE(Until([&] { return FarGot('d', "DISCONNECTED"); }, 60s));
  EXPECT_EQ(FarData(), block);
  EXPECT_EQ(l2->DrainsPending(), 0u);
  EXPECT_TRUE(Until([&] { return Seen("disconnectex"); }));
}

}  // namespace
}  // namespace harvox
