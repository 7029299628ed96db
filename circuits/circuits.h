// The circuit table: one record per connection a service carries (a Telnet
// user, a monitor viewer, a radio station at the gateway).  Each service owns
// one table; tables are never shared.  The table owns every Circuit, its two
// timers and its resolver; it does not own the sockets (the service closes
// those before it removes a circuit).
//
// Lookups by socket, timer, resolver, outbound connection and callsign go
// through hash indexes, so one event costs O(1) however many circuits exist.
// "First match" still means the earliest inserted circuit (lowest Id).  To
// keep the indexes right, the keyed fields of a live circuit (Kind, Port,
// Socket, UserCall, TNSocket, Ping, the timers) are read-only on the record
// and change only through the table's Set* methods; every other field is a
// plain member the service reads and writes as it likes.
//
// Re-entrancy: main thread only.  A Circuit stays at the same address until
// Remove of that circuit.  Remove (and SetPing, and destroying the table)
// unlink the circuit before releasing its resolver, whose release may raise
// its lookup event: a handler that looks the circuit up then finds nothing,
// and may call back into the table.  ForEach tolerates the visitor removing
// or inserting circuits.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace harvox {

class Timer;

namespace net {
class Connection;
class TClientSocket;
class TPing;
}  // namespace net

// A user control block as a plain record: the template handed to Insert,
// and the circuit's second block Ucb2.  Insert ignores InactTimer, MaxTimer
// and Ping of a template (it creates its own timers; a circuit starts with
// no resolver).
struct UCB {
  std::string Kind;                      // owner tag; gateway circuits carry "TN"
  uint8_t Port = 0;                      // radio port of the AX.25 side
  net::Connection* Socket = nullptr;     // accepted Telnet connection (not owned)
  std::string UserCall;                  // callsign of the party the circuit serves
  std::string DestCall;                  // the other AX.25 callsign
  std::string Via;                       // digipeater path
  std::string LoginTime;                 // date, blank, time of the Telnet login
  uint8_t bCRLF = 0;                     // an LF to CR LF replacement was made
  uint8_t FirstData = 0;
  uint8_t Auth = 0;                      // authorisation level
  int32_t LoginTries = 0;
  std::string UserId;
  std::string Password;
  std::string Pending;                   // input not yet taken / data held back
  Timer* InactTimer = nullptr;
  Timer* MaxTimer = nullptr;
  int32_t NodePort = 0;
  std::string NodeCall;
  net::TClientSocket* TNSocket = nullptr;   // outbound socket to the Telnet host
  // The connection object TNSocket names in its events; FindByTNSocket
  // matches on it.  Set it together with TNSocket.
  net::Connection* TNConnection = nullptr;
  net::TPing* Ping = nullptr;
  uint8_t CLI = 0;                       // talking to the node command processor
  uint8_t Quiet = 0;                     // transparent circuit
  int32_t Timeout = 0;                   // inactivity time-out, ms
  int32_t MaxTime = 0;                   // maximum connection time, ms
};

// What Insert copies into a new circuit.
struct CircuitTemplate {
  UCB Ucb;
  uint8_t FSM = 0;
  UCB Ucb2;
};

// The control block of a circuit in a table.  Free fields are plain
// members; keyed fields are read through accessors and written through the
// table.  The timers and the resolver are owned here.
class CircuitUCB {
 public:
  ~CircuitUCB();
  CircuitUCB(const CircuitUCB&) = delete;
  CircuitUCB& operator=(const CircuitUCB&) = delete;

  const std::string& Kind() const { return kind_; }
  uint8_t Port() const { return port_; }
  net::Connection* Socket() const { return socket_; }
  const std::string& UserCall() const { return user_call_; }
  std::string DestCall;
  std::string Via;
  std::string LoginTime;
  uint8_t bCRLF = 0;
  uint8_t FirstData = 0;
  uint8_t Auth = 0;
  int32_t LoginTries = 0;
  std::string UserId;
  std::string Password;
  std::string Pending;
  Timer* InactTimer() const { return inact_timer_.get(); }
  Timer* MaxTimer() const { return max_timer_.get(); }
  int32_t NodePort = 0;
  std::string NodeCall;
  net::TClientSocket* TNSocket() const { return tn_socket_; }
  net::Connection* TNConnection() const { return tn_connection_; }
  net::TPing* Ping() const { return ping_.get(); }
  uint8_t CLI = 0;
  uint8_t Quiet = 0;
  int32_t Timeout = 0;
  int32_t MaxTime = 0;
  // The gateway: a T lookup whose addresses must pass the destination rules.
  uint8_t CheckDest = 0;
  // When the circuit came to its present state (made, logged in, linked);
  // shown on the status page.
  std::chrono::system_clock::time_point Since = std::chrono::system_clock::now();

 private:
  friend class TLLFSM;
  friend class Circuit;
  explicit CircuitUCB(const UCB& from);

  std::string kind_;
  uint8_t port_ = 0;
  net::Connection* socket_ = nullptr;
  std::string user_call_;
  std::unique_ptr<Timer> inact_timer_;
  std::unique_ptr<Timer> max_timer_;
  net::TClientSocket* tn_socket_ = nullptr;
  net::Connection* tn_connection_ = nullptr;
  // Held through shared_ptr only because its deleter is then bound where
  // the resolver is made, so this table never needs the resolver's type.
  // The table's reference is meant to be the only one.
  std::shared_ptr<net::TPing> ping_;
};

// One live circuit.  Created only by TLLFSM::Insert, never copied or moved.
class Circuit {
 public:
  Circuit(const Circuit&) = delete;
  Circuit& operator=(const Circuit&) = delete;

  const int32_t Id;      // 1, 2, 3... in insertion order; never reused
  CircuitUCB Ucb;
  uint8_t FSM = 0;       // state number; its values belong to the owning service
  std::string Extra;
  UCB Ucb2;

 private:
  friend class TLLFSM;
  Circuit(int32_t id, const CircuitTemplate& from);
};

class TLLFSM {
 public:
  TLLFSM();
  // Releases every remaining circuit with its timers and resolver.
  ~TLLFSM();
  TLLFSM(const TLLFSM&) = delete;
  TLLFSM& operator=(const TLLFSM&) = delete;

  // Adds a circuit at the end: Ucb, Ucb2 and FSM from the template, then
  // Extra, Via, NodeCall empty; FirstData 1; Quiet, NodePort, bCRLF 0;
  // Timeout 600000; MaxTime 3600000; two new inert timers (disabled, no
  // handler); no resolver.  Returns none when no circuit could be made.
  Circuit* Insert(const CircuitTemplate& from);
  // Unlinks and frees that very circuit; a circuit not in the table
  // (already removed, or another table's) is ignored.  Never dereferences
  // a circuit it does not hold.
  void Remove(const Circuit* c);

  // Each returns the earliest inserted match, or none.  Comparisons are
  // exact and case-sensitive.  A null socket, connection, timer or resolver
  // matches nothing.
  Circuit* FindCircuit(uint8_t port, const std::string& call, const std::string& kind) const;
  Circuit* FindByCall(const std::string& call) const;
  Circuit* FindByTimer(const Timer* timer) const;
  Circuit* FindByMaxTimer(const Timer* timer) const;
  Circuit* FindByPing(const net::TPing* ping) const;
  Circuit* FindBySocket(const net::Connection* socket) const;
  // Matches the circuit whose TNSocket is set and whose TNConnection is
  // the given connection object.
  Circuit* FindByTNSocket(const net::Connection* connection) const;

  // Circuits whose FSM is not 0.
  int32_t CountActive() const;

  // Keyed-field setters.  Each is ignored for a circuit not in the table.
  void SetKind(Circuit* c, const std::string& kind);
  void SetPort(Circuit* c, uint8_t port);
  void SetSocket(Circuit* c, net::Connection* socket);
  void SetUserCall(Circuit* c, const std::string& call);
  // client: the outbound socket; connection: the object it reports in its
  // events (its Socket()).  Pass nulls to clear.
  void SetTNSocket(Circuit* c, net::TClientSocket* client, net::Connection* connection);
  // Hands the table a resolver for the circuit (none to release it); pass
  // a std::unique_ptr (it converts), and keep no other owner, so that Remove
  // really releases it.  The previous one is freed after the new one is in
  // place, so its release event finds no circuit for it.  For a circuit not
  // in the table the given resolver is released.
  void SetPing(Circuit* c, std::shared_ptr<net::TPing> ping);

  // Walk in insertion order.  Next of a circuit not in the table is none.
  Circuit* Head() const;
  Circuit* Next(const Circuit* c) const;
  // Visits every circuit present when the walk starts, in insertion order,
  // skipping those removed before their turn.  The visitor may remove any
  // circuit, the current one included, and may insert (new circuits are
  // not visited).
  void ForEach(const std::function<void(Circuit&)>& visit);

  bool Contains(const Circuit* c) const;
  size_t Count() const;
  // Last Id handed out; 0 in a new table.
  int32_t NextId() const { return next_id_; }

 private:
  struct Index;
  void Link(Circuit* c);
  void Unlink(Circuit* c);
  void IndexKeys(Circuit* c);
  void UnindexKeys(Circuit* c);

  int32_t next_id_ = 0;
  std::unique_ptr<Index> index_;
};

}  // namespace harvox
