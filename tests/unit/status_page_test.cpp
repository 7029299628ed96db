// The status page served on the loop, read over real sockets while the
// Telnet server runs against the fake engine: a logged-in user, the
// counters and the engine link as the page shows them; methods and paths
// it does not serve; and its bounds (request size, connections, deadline).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "status/http_server.h"
#include "support/telnet_fixture.h"
#include "tnclient_fixture.h"

namespace harvox {
namespace {

using test::GatewayFixture;
using test::TcpPeer;

struct StatusPage : test::TelnetFixture {
  std::unique_ptr<status::HttpServer> page;

  void StartPage() {
    page = std::make_unique<status::HttpServer>(&log, [this] {
      return status::Take({server.get(), nullptr, nullptr}, "Harvox test", status::Clock::now());
    });
    page->DeadlineMs = 2000;
    page->Start("127.0.0.1", 0);
  }
  // The whole answer to one request, the server closing after it.
  std::string Ask(const std::string& request) {
    TcpPeer p(page->BoundPort());
    p.Send(request);
    EXPECT_TRUE(RunUntil([&] { return p.Closed(); })) << request;
    return p.Received();
  }
  std::string Body(const std::string& path) {
    const std::string answer = Ask("GET " + path + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    return answer.substr(answer.find("\r\n\r\n") + 4);
  }
};

TEST_F(StatusPage, ShowsUsersCountersAndLinkFromTheRunningServer) {
  Start();
  auto user = LoginConnected();
  auto failed = Connect();
  ASSERT_TRUE(Await(*failed, "Login:"));
  failed->Send("demo\rwrong\r");
  ASSERT_TRUE(Await(*failed, "Invalid Login"));
  StartPage();

  const auto doc = nlohmann::json::parse(Body("/status.json"));
  ASSERT_EQ(doc["telnet_users"].size(), 2u) << doc.dump();
  const auto& u = doc["telnet_users"][0];
  EXPECT_EQ(u["user_id"], "DEMO");
  EXPECT_EQ(u["callsign"], "N0CALL-7");
  EXPECT_EQ(u["address"], "127.0.0.1");
  EXPECT_EQ(u["state"], "connected");
  EXPECT_GT(u["bytes_in"].get<int>(), 0);
  EXPECT_GT(u["bytes_out"].get<int>(), 0);
  EXPECT_EQ(doc["telnet_users"][1]["state"], "login");
  EXPECT_EQ(doc["counters"]["logins_ok"], 1);
  EXPECT_EQ(doc["counters"]["logins_failed"], 1);
  EXPECT_EQ(doc["engine_links"][0]["state"], "up");
  EXPECT_GT(doc["engine_links"][0]["frames_in"].get<int>(), 0);
  EXPECT_GT(doc["engine_links"][0]["frames_out"].get<int>(), 0);

  const std::string metrics = Body("/metrics");
  EXPECT_NE(metrics.find("harvox_logins_total{result=\"ok\"} 1\n"), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("harvox_engine_link_up{service=\"telnet\"} 1\n"), std::string::npos);
  EXPECT_NE(Body("/").find("<td>N0CALL-7</td>"), std::string::npos);
}

TEST_F(StatusPage, RefusesWhatItDoesNotServeAndStaysBounded) {
  StartPage();
  const struct {
    std::string request, status;
  } cases[] = {
      {"POST / HTTP/1.0\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 405"},
      {"GET /etc/passwd HTTP/1.0\r\n\r\n", "HTTP/1.1 404"},
      {"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(20000, 'a') + "\r\n\r\n", "HTTP/1.1 431"},
      {"HEAD /metrics HTTP/1.0\r\n\r\n", "HTTP/1.1 200"},
  };
  for (const auto& c : cases) EXPECT_EQ(Ask(c.request).rfind(c.status, 0), 0u) << c.request.substr(0, 20);

  // Callers that never finish a request hold every slot only until their
  // deadline; then they are closed and the page answers again.
  std::vector<std::unique_ptr<TcpPeer>> idle;
  for (size_t i = 0; i < page->MaxConnections + 4; ++i) {
    idle.push_back(std::make_unique<TcpPeer>(page->BoundPort()));
    idle.back()->Send("GET / HTTP/1.1\r\n");
  }
  EXPECT_TRUE(RunUntil([&] {
    for (auto& p : idle) {
      if (!p->Closed()) return false;
    }
    return true;
  }));
  EXPECT_NE(Body("/status.json").find("\"version\": \"Harvox test\""), std::string::npos);
}

// The gateway's side of the snapshot: a station at the prompt whose T was
// refused, then linked with its host.
TEST_F(GatewayFixture, StatusShowsCircuitsAndRefusedT) {
  net::test::RawListener host;
  const std::string port = std::to_string(host.Port());
  std::vector<std::string> errors;
  gw->Policy = Destinations::Parse("127.0.0.1:" + port, "", errors);
  Start();
  const auto circuit = [&] {
    const auto s = status::Take({nullptr, gw.get(), nullptr}, "", status::Clock::now());
    EXPECT_EQ(s.Circuits.size(), 1u);
    return s.Circuits.empty() ? status::GatewayCircuit{} : s.Circuits[0];
  };
  Connect("N0CALL");
  ASSERT_TRUE(Await("telnet>\r"));
  Say("T 127.0.0.2:" + port + "\r");
  ASSERT_TRUE(Await("is not allowed"));
  EXPECT_EQ(circuit().State, "prompt");
  EXPECT_EQ(status::Take({nullptr, gw.get(), nullptr}, "", status::Clock::now()).Count.RefusedT, 1u);
  Say("T 127.0.0.1:" + port + "\r");
  auto peer = host.Accept();
  ASSERT_TRUE(Await("*** Linked with"));
  Say("hello\r");
  ASSERT_TRUE(net::test::PeerGets(peer, 6));
  const auto c = circuit();
  EXPECT_EQ(c.Station + " " + c.OurCall + " " + c.Host + " " + c.State,
            "N0CALL GATE 127.0.0.1:" + port + " linked");
  EXPECT_GE(c.BytesToHost, 6u);
}

}  // namespace
}  // namespace harvox
