// Circuit table: records owned by pointer in a hash map (so they never move),
// ordered by Id in a std::map (Ids only grow, so Id order is insertion
// order), and one hash index per lookup key.  Keys that several circuits may
// share (callsign, sockets) map to a bucket ordered by Id, so the first
// match is the earliest inserted circuit whatever order the keys were set.
//
// Re-entrancy: a resolver is released only after its circuit has left every
// index; its release may raise an event that calls back into the table.
#include "circuits/circuits.h"

#include <climits>
#include <map>
#include <set>
#include <unordered_map>

#include "util/timer.h"

namespace harvox {

namespace {

constexpr int32_t kDefaultTimeoutMs = 600000;
constexpr int32_t kDefaultMaxTimeMs = 3600000;

struct ById {
  bool operator()(const Circuit* a, const Circuit* b) const { return a->Id < b->Id; }
};

// Key -> circuits carrying it, earliest first.
template <class K, class H = std::hash<K>>
class MultiIndex {
 public:
  void Add(const K& key, Circuit* c) { map_[key].insert(c); }
  void Drop(const K& key, Circuit* c) {
    auto it = map_.find(key);
    if (it == map_.end()) return;
    it->second.erase(c);
    if (it->second.empty()) map_.erase(it);
  }
  Circuit* First(const K& key) const {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : *it->second.begin();
  }

 private:
  std::unordered_map<K, std::set<Circuit*, ById>, H> map_;
};

// Key -> the one circuit carrying it (timers and resolvers are owned by
// exactly one circuit).
template <class K>
class UniqueIndex {
 public:
  void Add(const K& key, Circuit* c) { map_[key] = c; }
  void Drop(const K& key, Circuit* c) {
    auto it = map_.find(key);
    if (it != map_.end() && it->second == c) map_.erase(it);
  }
  Circuit* First(const K& key) const {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : it->second;
  }

 private:
  std::unordered_map<K, Circuit*> map_;
};

struct CircuitKey {
  uint8_t port;
  std::string call;
  std::string kind;
  bool operator==(const CircuitKey&) const = default;
};

struct CircuitKeyHash {
  size_t operator()(const CircuitKey& k) const {
    std::hash<std::string> text;
    size_t h = text(k.call);
    h ^= text(k.kind) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    h ^= static_cast<size_t>(k.port) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
  }
};

CircuitKey KeyOf(const Circuit* c) {
  return CircuitKey{c->Ucb.Port(), c->Ucb.UserCall(), c->Ucb.Kind()};
}

void ReleaseTimer(std::unique_ptr<Timer>& timer) {
  if (!timer) return;
  timer->SetEnabled(false);
  timer.reset();
}

}  // namespace

struct TLLFSM::Index {
  std::unordered_map<const Circuit*, std::unique_ptr<Circuit>> owned;
  std::map<int32_t, Circuit*> order;
  MultiIndex<std::string> by_call;
  MultiIndex<CircuitKey, CircuitKeyHash> by_circuit;
  MultiIndex<const net::Connection*> by_socket;
  MultiIndex<const net::Connection*> by_tn;
  UniqueIndex<const Timer*> by_timer;
  UniqueIndex<const Timer*> by_max_timer;
  UniqueIndex<const net::TPing*> by_ping;
};

CircuitUCB::CircuitUCB(const UCB& from)
    : DestCall(from.DestCall),
      LoginTime(from.LoginTime),
      FirstData(1),
      Auth(from.Auth),
      LoginTries(from.LoginTries),
      UserId(from.UserId),
      Password(from.Password),
      Pending(from.Pending),
      CLI(from.CLI),
      Timeout(kDefaultTimeoutMs),
      MaxTime(kDefaultMaxTimeMs),
      kind_(from.Kind),
      port_(from.Port),
      socket_(from.Socket),
      user_call_(from.UserCall),
      inact_timer_(std::make_unique<Timer>()),
      max_timer_(std::make_unique<Timer>()),
      tn_socket_(from.TNSocket),
      tn_connection_(from.TNConnection) {}

CircuitUCB::~CircuitUCB() = default;

Circuit::Circuit(int32_t id, const CircuitTemplate& from)
    : Id(id), Ucb(from.Ucb), FSM(from.FSM), Ucb2(from.Ucb2) {}

TLLFSM::TLLFSM() : index_(std::make_unique<Index>()) {}

TLLFSM::~TLLFSM() {
  // One by one through Remove, so a resolver released on the way raises
  // its event against a consistent table.
  while (!index_->order.empty()) Remove(index_->order.begin()->second);
}

Circuit* TLLFSM::Insert(const CircuitTemplate& from) {
  if (next_id_ == INT32_MAX) return nullptr;  // Ids are never reused
  std::unique_ptr<Circuit> fresh;
  try {
    fresh.reset(new Circuit(next_id_ + 1, from));
  } catch (...) {
    return nullptr;
  }
  Circuit* c = fresh.get();
  try {
    index_->owned.emplace(c, std::move(fresh));
    ++next_id_;
    Link(c);
  } catch (...) {
    // Out of memory half way: undo what was linked; the record goes too.
    if (index_->owned.count(c) != 0) {
      Unlink(c);
      index_->owned.erase(c);
    }
    return nullptr;
  }
  return c;
}

void TLLFSM::Remove(const Circuit* c) {
  auto it = index_->owned.find(c);
  if (it == index_->owned.end()) return;
  std::unique_ptr<Circuit> doomed = std::move(it->second);
  index_->owned.erase(it);
  Unlink(doomed.get());
  ReleaseTimer(doomed->Ucb.inact_timer_);
  ReleaseTimer(doomed->Ucb.max_timer_);
  // Last: this may raise the resolver's event, which must find nothing.
  std::shared_ptr<net::TPing> ping = std::move(doomed->Ucb.ping_);
  ping.reset();
}

void TLLFSM::Link(Circuit* c) {
  index_->order.emplace(c->Id, c);
  IndexKeys(c);
}

void TLLFSM::Unlink(Circuit* c) {
  UnindexKeys(c);
  auto it = index_->order.find(c->Id);
  if (it != index_->order.end() && it->second == c) index_->order.erase(it);
}

void TLLFSM::IndexKeys(Circuit* c) {
  const CircuitUCB& u = c->Ucb;
  index_->by_call.Add(u.UserCall(), c);
  index_->by_circuit.Add(KeyOf(c), c);
  if (u.Socket() != nullptr) index_->by_socket.Add(u.Socket(), c);
  if (u.TNSocket() != nullptr && u.TNConnection() != nullptr) {
    index_->by_tn.Add(u.TNConnection(), c);
  }
  if (u.InactTimer() != nullptr) index_->by_timer.Add(u.InactTimer(), c);
  if (u.MaxTimer() != nullptr) index_->by_max_timer.Add(u.MaxTimer(), c);
  if (u.Ping() != nullptr) index_->by_ping.Add(u.Ping(), c);
}

void TLLFSM::UnindexKeys(Circuit* c) {
  const CircuitUCB& u = c->Ucb;
  index_->by_call.Drop(u.UserCall(), c);
  index_->by_circuit.Drop(KeyOf(c), c);
  index_->by_socket.Drop(u.Socket(), c);
  index_->by_tn.Drop(u.TNConnection(), c);
  index_->by_timer.Drop(u.InactTimer(), c);
  index_->by_max_timer.Drop(u.MaxTimer(), c);
  index_->by_ping.Drop(u.Ping(), c);
}

Circuit* TLLFSM::FindCircuit(uint8_t port, const std::string& call,
                             const std::string& kind) const {
  return index_->by_circuit.First(CircuitKey{port, call, kind});
}

Circuit* TLLFSM::FindByCall(const std::string& call) const {
  return index_->by_call.First(call);
}

Circuit* TLLFSM::FindByTimer(const Timer* timer) const {
  return timer == nullptr ? nullptr : index_->by_timer.First(timer);
}

Circuit* TLLFSM::FindByMaxTimer(const Timer* timer) const {
  return timer == nullptr ? nullptr : index_->by_max_timer.First(timer);
}

Circuit* TLLFSM::FindByPing(const net::TPing* ping) const {
  return ping == nullptr ? nullptr : index_->by_ping.First(ping);
}

Circuit* TLLFSM::FindBySocket(const net::Connection* socket) const {
  return socket == nullptr ? nullptr : index_->by_socket.First(socket);
}

Circuit* TLLFSM::FindByTNSocket(const net::Connection* connection) const {
  return connection == nullptr ? nullptr : index_->by_tn.First(connection);
}

int32_t TLLFSM::CountActive() const {
  int32_t count = 0;
  for (const auto& [id, c] : index_->order) {
    if (c->FSM != 0) ++count;
  }
  return count;
}

void TLLFSM::SetKind(Circuit* c, const std::string& kind) {
  if (!Contains(c)) return;
  UnindexKeys(c);
  c->Ucb.kind_ = kind;
  IndexKeys(c);
}

void TLLFSM::SetPort(Circuit* c, uint8_t port) {
  if (!Contains(c)) return;
  UnindexKeys(c);
  c->Ucb.port_ = port;
  IndexKeys(c);
}

void TLLFSM::SetSocket(Circuit* c, net::Connection* socket) {
  if (!Contains(c)) return;
  UnindexKeys(c);
  c->Ucb.socket_ = socket;
  IndexKeys(c);
}

void TLLFSM::SetUserCall(Circuit* c, const std::string& call) {
  if (!Contains(c)) return;
  UnindexKeys(c);
  c->Ucb.user_call_ = call;
  IndexKeys(c);
}

void TLLFSM::SetTNSocket(Circuit* c, net::TClientSocket* client, net::Connection* connection) {
  if (!Contains(c)) return;
  UnindexKeys(c);
  c->Ucb.tn_socket_ = client;
  c->Ucb.tn_connection_ = connection;
  IndexKeys(c);
}

void TLLFSM::SetPing(Circuit* c, std::shared_ptr<net::TPing> ping) {
  if (!Contains(c)) return;  // `ping` is released on the way out
  UnindexKeys(c);
  std::shared_ptr<net::TPing> old = std::move(c->Ucb.ping_);
  c->Ucb.ping_ = std::move(ping);
  IndexKeys(c);
  old.reset();  // may raise its event; the circuit no longer names it
}

Circuit* TLLFSM::Head() const {
  return index_->order.empty() ? nullptr : index_->order.begin()->second;
}

Circuit* TLLFSM::Next(const Circuit* c) const {
  if (!Contains(c)) return nullptr;
  auto it = index_->order.upper_bound(c->Id);
  return it == index_->order.end() ? nullptr : it->second;
}

void TLLFSM::ForEach(const std::function<void(Circuit&)>& visit) {
  auto& order = index_->order;
  if (order.empty()) return;
  const int32_t last = order.rbegin()->first;
  // Re-find the successor by Id after each visit: the visitor may have
  // removed the current circuit or any other.
  for (auto it = order.begin(); it != order.end() && it->first <= last;) {
    const int32_t id = it->first;
    visit(*it->second);
    it = order.upper_bound(id);
  }
}

bool TLLFSM::Contains(const Circuit* c) const {
  return c != nullptr && index_->owned.count(c) != 0;
}

size_t TLLFSM::Count() const { return index_->order.size(); }

}  // namespace harvox
