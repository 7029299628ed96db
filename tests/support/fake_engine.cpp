// Fake engine: lifecycle, sockets and injection.  Replies, recording and
// settings live in fake_engine_replies.cpp.  Socket state is touched on the
// engine thread only; see fake_engine.h for the threading rules.
#include "support/fake_engine.h"

#include "support/fake_engine_internal.h"

#include <asio/post.hpp>
#include <asio/write.hpp>

#include <future>

namespace harvox::test {

FakeEngine::FakeEngine() : FakeEngine(Options{}) {}

FakeEngine::FakeEngine(Options options)
    : options_(std::move(options)), port_(options_.port), port_list_(options_.port_list) {
  Start();
}

FakeEngine::~FakeEngine() { Stop(); }

bool FakeEngine::Start() {
  std::lock_guard<std::mutex> guard(start_mu_);
  if (io_) return true;
  io_ = std::make_unique<asio::io_context>();
  acceptor_ = std::make_unique<asio::ip::tcp::acceptor>(*io_);
  asio::error_code ec;
  asio::ip::tcp::endpoint ep(asio::ip::make_address(options_.address, ec), port_);
  if (!ec) acceptor_->open(ep.protocol(), ec);
  if (!ec) acceptor_->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec && options_.receive_buffer > 0)
    acceptor_->set_option(asio::socket_base::receive_buffer_size(options_.receive_buffer), ec);
  if (!ec) acceptor_->bind(ep, ec);
  if (!ec) acceptor_->listen(asio::socket_base::max_listen_connections, ec);
  if (!ec) port_ = acceptor_->local_endpoint(ec).port();
  if (ec) {
    acceptor_.reset();
    io_.reset();
    return false;
  }
  work_.emplace(io_->get_executor());
  {
    std::lock_guard<std::mutex> lock(mu_);
    running_ = true;
  }
  Accept();
  thread_ = std::thread([this] {
    engine_id_ = std::this_thread::get_id();
    io_->run();
  });
  return true;
}

void FakeEngine::Stop() {
  std::lock_guard<std::mutex> guard(start_mu_);
  if (!io_) return;
  asio::post(*io_, [this] {
    asio::error_code ec;
    acceptor_->close(ec);
    auto open = clients_;
    for (auto& [index, c] : open) CloseClient(c, false);
    io_->stop();
  });
  thread_.join();
  engine_id_ = std::thread::id();
  work_.reset();
  clients_.clear();
  acceptor_.reset();
  io_.reset();
  std::lock_guard<std::mutex> lock(mu_);
  running_ = false;
  open_clients_ = 0;
  pending_writes_ = 0;
  cv_.notify_all();
}

bool FakeEngine::Running() const {
  std::lock_guard<std::mutex> lock(mu_);
  return running_;
}

bool FakeEngine::OnEngine(const std::function<bool()>& fn) {
  if (std::this_thread::get_id() == engine_id_.load()) return fn();
  std::lock_guard<std::mutex> guard(start_mu_);
  if (!io_) return false;
  auto done = std::make_shared<std::promise<bool>>();
  auto result = done->get_future();
  asio::post(*io_, [fn, done] { done->set_value(fn()); });
  try {
    return result.get();
  } catch (...) {  // the engine stopped before the work ran
    return false;
  }
}

void FakeEngine::Accept() {
  acceptor_->async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket sock) {
    if (ec) {
      if (acceptor_ && acceptor_->is_open() && ec != asio::error::operation_aborted) Accept();
      return;
    }
    asio::error_code ignored;
    sock.set_option(asio::ip::tcp::no_delay(true), ignored);
    sock.non_blocking(true, ignored);
    int index;
    {
      std::lock_guard<std::mutex> lock(mu_);
      index = accepted_++;
      ++open_clients_;
    }
    cv_.notify_all();
    auto c = std::make_shared<Client>(index, std::move(sock), options_.max_data);
    clients_[index] = c;
    Accept();
    Serve(c);
  });
}

void FakeEngine::Serve(const std::shared_ptr<Client>& c) {
  size_t served = 0;
  for (auto& [index, other] : clients_) served += other->served ? 1 : 0;
  if (options_.max_clients > 0 && served >= options_.max_clients) return;
  c->served = true;
  Read(c);
}

// Waits for readability and only then reads, so a pause takes effect at
// once: nothing is taken from the socket while reading is off.
void FakeEngine::Read(const std::shared_ptr<Client>& c) {
  c->sock.async_wait(asio::socket_base::wait_read, [this, c](const asio::error_code& ec) {
    if (ec || !c->open) {
      CloseClient(c, false);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!reading_) {
        c->paused = true;
        return;
      }
    }
    asio::error_code rc;
    size_t n = c->sock.read_some(asio::buffer(c->buf), rc);
    if (rc == asio::error::would_block || rc == asio::error::try_again) {
      Read(c);
      return;
    }
    if (rc) {
      CloseClient(c, false);
      return;
    }
    c->reader.Feed(std::string_view(c->buf.data(), n));
    while (c->open) {
      auto frame = c->reader.Next();
      if (!frame) break;
      OnFrame(c, *frame);
    }
    if (c->reader.Bad()) {
      Violation("client " + std::to_string(c->index) + " announced an oversized frame");
      CloseClient(c, false);
    }
    if (c->open) Read(c);
  });
}

void FakeEngine::Queue(const std::shared_ptr<Client>& c, std::string bytes, milliseconds delay) {
  c->out.push_back({std::move(bytes), delay});
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++pending_writes_;
  }
  if (!c->writing) WriteNext(c);
}

void FakeEngine::WriteNext(const std::shared_ptr<Client>& c) {
  if (!c->open || c->out.empty()) {
    std::lock_guard<std::mutex> lock(mu_);
    pending_writes_ -= c->out.size();
    c->out.clear();
    c->writing = false;
    cv_.notify_all();
    return;
  }
  c->writing = true;
  auto& item = c->out.front();
  if (item.delay.count() > 0) {
    c->timer.expires_after(item.delay);
    item.delay = milliseconds(0);
    c->timer.async_wait([this, c](const asio::error_code&) { WriteNext(c); });
    return;
  }
  // deque::push_back keeps references valid, so item.bytes outlives the write.
  asio::async_write(c->sock, asio::buffer(item.bytes), [this, c](const asio::error_code& ec, size_t) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      --pending_writes_;
    }
    c->out.pop_front();
    cv_.notify_all();
    if (ec) CloseClient(c, false);
    WriteNext(c);
  });
}

void FakeEngine::CloseClient(const std::shared_ptr<Client>& c, bool reset) {
  if (!c->open) return;
  c->open = false;
  asio::error_code ec;
  if (reset) {
    c->sock.set_option(asio::socket_base::linger(true, 0), ec);
  } else {
    c->sock.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  }
  c->sock.close(ec);
  c->timer.cancel();
  clients_.erase(c->index);
  if (!c->writing) WriteNext(c);  // discards what is still queued
  if (c->served) {
    for (auto& [index, waiting] : clients_) {
      if (waiting->served) continue;
      Serve(waiting);  // the oldest waiting client takes the slot
      break;
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  --open_clients_;
  cv_.notify_all();
}

std::shared_ptr<FakeEngine::Client> FakeEngine::Find(int index) const {
  if (clients_.empty()) return nullptr;
  if (index == kLatest) return clients_.rbegin()->second;
  auto it = clients_.find(index);
  return it == clients_.end() ? nullptr : it->second;
}

bool FakeEngine::Send(const AgwFrame& frame, int client) {
  return OnEngine([this, frame, client] {
    auto c = Find(client);
    if (!c) return false;
    TrackInjected(*c, frame);
    Queue(c, frame.Encode(), milliseconds(0));
    return true;
  });
}

bool FakeEngine::SendRaw(std::string bytes, size_t chunk, milliseconds gap, int client) {
  return OnEngine([this, bytes = std::move(bytes), chunk, gap, client] {
    auto c = Find(client);
    if (!c) return false;
    size_t step = chunk == 0 ? bytes.size() : chunk;
    for (size_t at = 0; at < bytes.size(); at += step)
      Queue(c, bytes.substr(at, step), at == 0 ? milliseconds(0) : gap);
    return true;
  });
}

bool FakeEngine::SendTorn(const AgwFrame& frame, uint32_t seed, int client) {
  return OnEngine([this, frame, seed, client] {
    auto c = Find(client);
    if (!c) return false;
    TrackInjected(*c, frame);
    const std::string bytes = frame.Encode();
    std::set<size_t> cuts;
    uint32_t x = seed | 1;
    for (int i = 0; i < 3 && bytes.size() > 1; ++i) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;  // xorshift: the same tears for the same seed
      cuts.insert(1 + x % (bytes.size() - 1));
    }
    cuts.insert(bytes.size());
    size_t at = 0;
    for (size_t cut : cuts) {
      Queue(c, bytes.substr(at, cut - at), at == 0 ? milliseconds(0) : milliseconds(1));
      at = cut;
    }
    return true;
  });
}

bool FakeEngine::DropClient(int client) {
  return OnEngine([this, client] {
    auto c = Find(client);
    if (c) CloseClient(c, false);
    return c != nullptr;
  });
}

bool FakeEngine::ResetClient(int client) {
  return OnEngine([this, client] {
    auto c = Find(client);
    if (c) CloseClient(c, true);
    return c != nullptr;
  });
}

void FakeEngine::SetReading(bool on) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    reading_ = on;
  }
  if (!on) return;
  OnEngine([this] {
    for (auto& [index, c] : clients_) {
      if (!c->paused) continue;
      c->paused = false;
      Read(c);
    }
    return true;
  });
}

size_t FakeEngine::ClientCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return open_clients_;
}

int FakeEngine::Accepted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return accepted_;
}

bool FakeEngine::WaitForClients(size_t n, milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return open_clients_ == n; });
}

bool FakeEngine::Flush(milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return pending_writes_ == 0; });
}

}  // namespace harvox::test
