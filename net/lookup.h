// One asynchronous host-name lookup at a time, for the engine socket (IPv4
// or IPv6) and the resolver component (IPv4 only); the resolver component
// gets every IPv4 address of the name.  The resolution runs on a thread of
// the lookup pool, beside the lookups of other objects; the completion
// comes back on the message loop.  A lookup may carry a tag (one lookup per
// tag runs at a time) and a deadline.
//
// Re-entrancy: a lookup is identified by a generation number; Start and
// Cancel bump it, so a superseded, cancelled or overdue lookup never
// reaches its callback.  The pool holds only a weak reference: releasing
// the owner drops its pending lookup.  The callback is moved out before it
// runs, so it may Start a new lookup or release the owner of this object.
#pragma once

#include <asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace harvox::net::detail {

// The canonical dotted form when text is a dotted IPv4 address.
std::optional<std::string> DottedAddress(const std::string& text);

class Lookup : public std::enable_shared_from_this<Lookup> {
 public:
  // Which answers count: IPv4 only, or IPv4 and, when the name has no IPv4
  // address, its first IPv6 one.
  enum class Family { V4, Any };
  // code 0 with every address found (at least one, in the resolver's
  // order, each once), or the Windows Sockets code and none.
  using Done = std::function<void(int code, const std::vector<std::string>& addresses)>;

  explicit Lookup(Family family = Family::V4);
  ~Lookup();
  static std::shared_ptr<Lookup> Create(Family family = Family::V4) {
    return std::make_shared<Lookup>(family);
  }

  // Starts resolving name; a pending lookup is dropped silently.  Returns 0
  // when the lookup runs, else the code of the refusal (nothing follows):
  // kWSAEALREADY while tag has a lookup running, kWSAENOBUFS when too many
  // wait.  With limit_ms, a lookup still unanswered by then ends with
  // kWSAETIMEDOUT.
  int Start(const std::string& name, Done done, const std::string& tag = {},
            uint32_t limit_ms = 0);
  // Drops the pending lookup silently.
  void Cancel();
  bool Pending() const { return pending_; }

 private:
  void Finished(uint64_t gen, int code, const std::vector<std::string>& found);

  asio::steady_timer deadline_;
  Family family_;
  uint64_t gen_ = 0;
  uint64_t ticket_ = 0;  // in the lookup pool
  bool pending_ = false;
  Done done_;
};

}  // namespace harvox::net::detail
