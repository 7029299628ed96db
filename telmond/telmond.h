// TTelMonD: the monitor server.  A Telnet port without login or input that
// shows every viewer one text for each AX.25 frame the engine hears, and
// (OWN) each frame the engine sends itself.  It owns its own engine link
// (raw frames and monitor texts on, callsign "MON-0", never registered).
// When that link is lost the viewers are told once and new viewers are
// turned away with the busy text; with Recover the link is opened again
// every RecoverMs until it is back, and the viewers are told so.
//
// The engine never sends its own frames raw: their texts (kind 'T') tell
// which of its links run modulo 128 (SABME), so that the answers heard from
// the far station decode right.
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
class Timer;
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
  bool Own = true;        // show the engine's own frames too
  bool Raw = false;       // frame text as received, control bytes and all
  bool Timestamp = false; // "hh:mm:ss " (local time) before each frame
  bool Recover = false;   // re-open a lost engine link
  uint32_t RecoverMs = 60000;
  std::string AGWHost, AGWAddress;
  int32_t AGWPort = 0;
  std::string AGWLogin, AGWPassword;
  uint32_t MaxViewers = 64;
  uint32_t MaxViewersPerAddress = 8;

  static constexpr size_t kViewerOutputCap = 256 * 1024;
  static constexpr const char* kLinkLost = "*** Packet engine link lost";
  static constexpr const char* kLinkRestored = "*** Packet engine link restored";

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
  void OnOwnFrame(uint8_t port, std::string_view text);
  void Show(const KissFrame& f);
  void OnAX25AGWUp();
  void OnAX25AGWDown();
  void OnAX25AGWError();
  void LinkLost();
  void OnRecoverTimer();
  void Tell(const char* notice);
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
  std::unique_ptr<Timer> RecoverTimer;
  bool Listening = false;  // between SetActive (true) and (false)
  bool LostTold = false;   // the viewers were told the link is lost
};

}  // namespace harvox
