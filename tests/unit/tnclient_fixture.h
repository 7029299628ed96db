// Shared set-up for the gateway tests: the gateway on the main loop, the
// fake engine as its packet engine, and helpers that play a radio station
// (notices and data injected through the engine) and read what the station
// was sent.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "agw/l2.h"
#include "gateway/tnclient.h"
#include "support/net_test_util.h"
#include "support/fake_engine.h"
#include "support/temp_dir.h"
#include "util/event_loop.h"
#include "util/log.h"

namespace harvox::test {

struct GatewayFixture : ::testing::Test {
  WorkDir wd;
  TLog log;
  FakeEngine engine;
  std::unique_ptr<TTNClient> gw;

  void SetUp() override {
    OpenLog(log, wd.File("HARVOX.LOG"), 5);
    gw = std::make_unique<TTNClient>(&log);
    gw->AGWPort = engine.Port();
    gw->CallSign = "GATE";
    gw->TimeoutFloor = 0;
    gw->MaxTimeFloor = 0;
    gw->Timeout = 0;
    gw->MaxTime = 0;
    gw->IsrtClient("GATE", "", 0, 0, 0, false);
    gw->Link().DrainPollMs = 50;
  }
  void TearDown() override {
    EXPECT_TRUE(engine.Violations().empty()) << engine.Violations().front();
    gw.reset();
    RunFor(std::chrono::milliseconds(20));
  }
  void Start() {
    gw->SetActive(true);
    const size_t calls = gw->Hooks().size();
    ASSERT_TRUE(RunUntil([&] { return gw->Active && engine.Count(IsKind('X')) >= calls; }));
    RunFor(std::chrono::milliseconds(20));  // the registration replies
  }
  void Connect(const std::string& station, const std::string& to = "GATE") {
    engine.Send({.port = 0, .kind = 'C', .from = station, .to = to,
                 .data = "*** CONNECTED To Station " + station + "\r"});
  }
  void Say(const std::string& text, const std::string& station = "N0CALL",
           const std::string& to = "GATE") {
    engine.Send({.port = 0, .kind = 'D', .pid = 0xF0, .from = station, .to = to, .data = text});
  }
  void Leave(const std::string& station = "N0CALL", const std::string& to = "GATE") {
    engine.Send({.port = 0, .kind = 'd', .from = station, .to = to,
                 .data = "*** DISCONNECTED From Station " + station + "\r"});
  }
  // Everything our callsign `from` sent to the station, in order.
  std::string Got(const std::string& station = "N0CALL", const std::string& from = "GATE") {
    std::string all;
    for (const auto& f : engine.Frames()) {
      if (f.kind == 'D' && f.from == from && f.to == station) all += f.data;
    }
    return all;
  }
  bool Await(const std::string& text, const std::string& station = "N0CALL",
             const std::string& from = "GATE") {
    return RunUntil([&] { return Got(station, from).find(text) != std::string::npos; });
  }
  // A 'd' from our callsign to the station (the right order).
  size_t Disconnects(const std::string& station = "N0CALL", const std::string& from = "GATE") {
    return engine.Count([&](const AgwFrame& f) {
      return f.kind == 'd' && f.from == from && f.to == station;
    });
  }
  bool AwaitDisconnect(const std::string& station = "N0CALL", const std::string& from = "GATE") {
    return RunUntil([&] { return Disconnects(station, from) > 0; });
  }
  bool Logged(const std::string& text) {
    return ReadFile(log.FileName).find(text) != std::string::npos;
  }
};

}  // namespace harvox::test
