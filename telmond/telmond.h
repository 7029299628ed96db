// TTelMonD: the monitor server.  A Telnet port without login or input that
// shows every viewer one text for each AX.25 frame the engine hears.  It
// owns its own engine link (raw frames on, callsign "MON-0", never
// registered), which it does not re-open once it is lost; new viewers are
// then turned away with the busy text and existing ones are told once.
//
// Each frame's text is built once and queued on every viewer as one shared
// buffer.  A viewer that does not keep up is cut off when its unsent output
// passes kViewerOutputCap, so it never holds up the others or memory.
//
// Viewers are limited in all and per source address; a caller past either
// limit gets the busy text and is closed at once.
//
// Re-entrancy: main thread only.  Closing a viewer's connection raises
// TNClientDisconnect inside the close, which removes the viewer; sending
// never closes (the output cap is judged later, from the loop).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agw/link_modes.h"
#include "circuits/circuits.h"
#include "telmond/monitor_line.h"
#include "telnetd/address_slots.h"

namespace harvox {

class TLog;
class TL2;
namespace net {
class Connection;
class TServerSocket;
}  // namespace net

class TTelMonD {
 public:
  explicit TTelMonD(TLog* log);
  ~TTelMonD();
  TTelMonD(const TTelMonD&) = delete;
  TTelMonD& operator=(const TTelMonD&) = delete;

  // Settings.
  bool Active = false;
  int32_t ListenPort = 8002;
  std::vector<std::string> ListenAddresses{"0.0.0.0"};  // IPv4 or IPv6
  std::string Mask = "IUSC";
  bool Split = false;
  bool UseCRLF = true;
  bool Details = true;
  bool Recover = false;  // kept for the record: the link is never re-opened
  std::string AGWHost, AGWAddress;
  int32_t AGWPort = 0;
  std::string AGWLogin, AGWPassword;
  uint32_t MaxViewers = 64;
  uint32_t MaxViewersPerAddress = 8;

  static constexpr size_t kViewerOutputCap = 256 * 1024;
  static constexpr const char* kLinkLost = "*** Packet engine link lost";

  void SetActive(bool on);
  TL2& Link() { return *L2; }
  TLLFSM& Viewers() { return Circuits; }
  int32_t BoundPort() const;

 private:
  // Listener events.
  void TNListen();
  void TNAccept(net::Connection& conn);
  bool Admit(net::Connection& conn);
  void Forget(Circuit* c);
  void TNClientRead(net::Connection& conn);
  void TNClientDisconnect(net::Connection& conn);
  void TNClientError(net::Connection& conn, int& code);
  void SendFile(net::Connection& conn, const std::string& name, const std::string& builtin);
  // Engine link events.
  void OnAX25Frame(uint8_t port, std::string_view frame);
  void OnAX25AGWUp();
  void OnAX25AGWDown();
  void OnAX25AGWError();
  void LinkLost();
  void ConfigureLink();
  void Broadcast(const std::shared_ptr<const std::string>& text);
  const char* LineEnd() const { return UseCRLF ? "\r\n" : "\r"; }
  void W(uint8_t level, std::string_view text);

  TLog* Log;
  std::unique_ptr<net::TServerSocket> Server;
  TLLFSM Circuits;
  std::unique_ptr<TL2> L2;
  ModuloLinks Links;
  AddressSlots Slots;  // viewers, by circuit Id
};

}  // namespace harvox
