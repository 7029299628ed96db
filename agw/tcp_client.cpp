// Transport state: Active is 1 from a successful connection until the
// socket reports it closed or failed.  Every failure ends in OnError with a
// Windows Sockets code (10060 when there is no better one).
#include "agw/tcp_client.h"

#include "net/winsock.h"
#include "net/wsocket.h"
#include "util/event_loop.h"
#include "util/log.h"

namespace harvox {

TTCPClient::TTCPClient(TLog* log) : Log(log), socket_(std::make_unique<net::TWSocket>()) {
  Write(1, "{TCPIP} Client Object Created");
  socket_->Proto = "tcp";
  socket_->OnDnsLookupDone = [this](net::TWSocket&, uint16_t c) { DnsLookupDone(c); };
  socket_->OnSessionConnected = [this](net::TWSocket&, uint16_t c) { SessionConnected(c); };
  socket_->OnSessionClosed = [this](net::TWSocket&, uint16_t c) { SessionClosed(c); };
  socket_->OnDataAvailable = [this](net::TWSocket&, uint16_t c) { Raise(OnDataAvailable, c); };
  socket_->OnError = [this](net::TWSocket&) { SocketError(); };
  socket_->OnDataSent = [this](net::TWSocket&, uint16_t) { CheckBacklog(); };
}

TTCPClient::~TTCPClient() {
  Write(1, "{TCPIP} Client Object Destroyed");
  socket_.reset();
}

void TTCPClient::Write(uint8_t level, std::string_view text) {
  if (Log) Log->Write(level, text);
}

void TTCPClient::Raise(const Event& e, int code) {
  if (e) e(*this, code);
}

void TTCPClient::SetActive(bool on) {
  Write(4, std::string("{TCPIP} SetActive(") + (on ? "TRUE" : "FALSE") + ")");
  if (on) {
    Open();
  } else {
    Close();
  }
}

void TTCPClient::Open() {
  Write(4, "{TCPIP} Open");
  if (Active) {
    Write(4, "{TCPIP} TCP Object already opened, cancelled");
    if (OnError) {
      OnError(*this, net::kWSAETIMEDOUT);
    } else {
      socket_->CancelLookup();
      socket_->Abort();
    }
    return;
  }
  Write(4, "{TCPIP} TCP Object Host(" + HostName + ") IP(" + Address + ") Port(" +
               std::to_string(Port) + ")");
  socket_->Port = std::to_string(Port);
  if (!HostName.empty()) {
    Write(4, "{TCPIP} DNS LookUp triggered");
    socket_->LookupHost(HostName);
  } else {
    Write(4, "{TCPIP} Direct TCP Connection");
    socket_->Addr = Address;
    socket_->Connect();
  }
}

void TTCPClient::DnsLookupDone(uint16_t code) {
  Write(4, "{TCPIP} DNS LookUp Done Error(" + std::to_string(code) + ")");
  if (code != 0) {
    Write(1, "{TCPIP} Engine host name (" + HostName + ") could not be resolved, Error(" +
                 std::to_string(code) + ")");
    Raise(OnError, net::kWSAETIMEDOUT);
    return;
  }
  socket_->Addr = socket_->DnsResult;
  Address = socket_->Addr;
  Write(4, "{TCPIP} DNS Result(" + Address + ")");
  socket_->Connect();
}

void TTCPClient::SessionConnected(uint16_t code) {
  Write(4, "{TCPIP} OnSessionConnect Error(" + std::to_string(code) + ")");
  if (code != 0) {
    Raise(OnError, code);
    socket_->Close();
    return;
  }
  Active = true;
  Write(4, "{TCPIP} OnSessionConnect Object Active");
  Raise(OnConnected, code);
}

void TTCPClient::SessionClosed(uint16_t code) {
  Write(4, "{TCPIP} OnSessionClosed Error(" + std::to_string(code) + ")");
  Active = false;
  ClearBacklog();
  if (code != 0) {
    Write(4, "{TCPIP} OnSessionClosed Error Triggered");
    Raise(OnError, code);
  } else {
    Write(4, "{TCPIP} OnSessionClosed Disconnect Triggered");
    Raise(OnDisconnected, code);
  }
}

void TTCPClient::SocketError() {
  if (Active) {
    Active = false;
    socket_->Close();
  }
  ClearBacklog();
  Raise(OnError, net::kWSAETIMEDOUT);
}

int TTCPClient::Receive(char* buffer, size_t size) {
  if (!Active) return 0;
  return socket_->Receive(buffer, size);
}

void TTCPClient::SendText(std::string_view bytes) {
  Write(5, "{TCPIP} SendText");
  if (!Active) {
    Write(4, "{TCPIP} TCP Object not Active");
    return;
  }
  if (bytes.empty()) {
    Write(4, "{TCPIP} SendText: Empty Buffer not sent");
    return;
  }
  if (Log) Log->Dump(5, bytes);
  // The socket queues what the connection cannot take at once, in order.
  socket_->Send(bytes.data(), bytes.size());
  CheckBacklog();
}

void TTCPClient::CheckBacklog() {
  const size_t pending = PendingOutput();
  if (!backlogged_ && pending > HoldMark) {
    Write(4, "{TCPIP} Output backlog(" + std::to_string(pending) + "), holding input");
    backlogged_ = true;
    Raise(OnBacklog, 1);
  } else if (backlogged_ && pending < ResumeMark) {
    Write(4, "{TCPIP} Output backlog cleared, input resumed");
    backlogged_ = false;
    Raise(OnBacklog, 0);
  }
  if (pending <= MaxPending || stall_check_queued_) return;
  stall_check_queued_ = true;
  Defer([life = std::weak_ptr<char>(life_), this] {
    if (!life.expired()) CheckStall();
  });
}

// Judged from the loop: by then the socket has taken what it could.
void TTCPClient::CheckStall() {
  stall_check_queued_ = false;
  const size_t pending = PendingOutput();
  if (!Active || pending <= MaxPending) return;
  Write(1, "{TCPIP} Engine is not reading, " + std::to_string(pending) +
               " bytes unsent, connection dropped");
  socket_->Abort();  // OnSessionClosed: the owner sees the link go down
}

void TTCPClient::ClearBacklog() {
  if (!backlogged_) return;
  backlogged_ = false;
  Raise(OnBacklog, 0);
}

void TTCPClient::Close() {
  Write(4, "{TCPIP} Close");
  socket_->Close();
}

size_t TTCPClient::PendingOutput() const { return socket_->PendingOutput(); }

}  // namespace harvox
