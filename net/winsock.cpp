// Translation of native socket and resolver errors into Windows Sockets
// numbers, and the error category that carries them in exceptions.
//
// Re-entrancy: pure; safe from any thread.
#include "net/winsock.h"

#include <asio/error.hpp>

#include <cerrno>

namespace harvox::net {

namespace {

struct Pair {
  int native;
  int winsock;
};

// Most numbers are 10000 + the BSD errno; Linux numbers differ, hence a table.
constexpr Pair kErrnoTable[] = {
    {EINTR, kWSAEINTR},
    {ECANCELED, kWSAEINTR},
    {EBADF, kWSAEBADF},
    {EACCES, kWSAEACCES},
    {EPERM, kWSAEACCES},
    {EFAULT, kWSAEFAULT},
    {EINVAL, kWSAEINVAL},
    {EMFILE, kWSAEMFILE},
    {ENFILE, kWSAEMFILE},
    {EAGAIN, kWSAEWOULDBLOCK},
    {EINPROGRESS, kWSAEINPROGRESS},
    {EALREADY, kWSAEALREADY},
    {ENOTSOCK, kWSAENOTSOCK},
    {EDESTADDRREQ, kWSAEDESTADDRREQ},
    {EMSGSIZE, kWSAEMSGSIZE},
    {EPROTOTYPE, kWSAEPROTOTYPE},
    {ENOPROTOOPT, kWSAENOPROTOOPT},
    {EPROTONOSUPPORT, kWSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, kWSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, kWSAEOPNOTSUPP},
    {EPFNOSUPPORT, kWSAEPFNOSUPPORT},
    {EAFNOSUPPORT, kWSAEAFNOSUPPORT},
    {EADDRINUSE, kWSAEADDRINUSE},
    {EADDRNOTAVAIL, kWSAEADDRNOTAVAIL},
    {ENETDOWN, kWSAENETDOWN},
    {ENETUNREACH, kWSAENETUNREACH},
    {ENETRESET, kWSAENETRESET},
    {ECONNABORTED, kWSAECONNABORTED},
    {ECONNRESET, kWSAECONNRESET},
    // Writing to a connection the peer has dropped: for the user the peer is gone.
    {EPIPE, kWSAECONNRESET},
    {ENOBUFS, kWSAENOBUFS},
    {ENOMEM, kWSAENOBUFS},
    {EISCONN, kWSAEISCONN},
    {ENOTCONN, kWSAENOTCONN},
    {ESHUTDOWN, kWSAESHUTDOWN},
    {ETOOMANYREFS, kWSAETOOMANYREFS},
    {ETIMEDOUT, kWSAETIMEDOUT},
    {ECONNREFUSED, kWSAECONNREFUSED},
    {ELOOP, kWSAELOOP},
    {ENAMETOOLONG, kWSAENAMETOOLONG},
    {EHOSTDOWN, kWSAEHOSTDOWN},
    {EHOSTUNREACH, kWSAEHOSTUNREACH},
};

int FromNetdb(int value) {
  switch (value) {
    case asio::error::host_not_found: return kWSAHOST_NOT_FOUND;
    case asio::error::host_not_found_try_again: return kWSATRY_AGAIN;
    case asio::error::no_data: return kWSANO_DATA;
    case asio::error::no_recovery: return kWSANO_RECOVERY;
    default: return kWSAETIMEDOUT;
  }
}

int FromAddrinfo(int value) {
  if (value == asio::error::service_not_found) return kWSATYPE_NOT_FOUND;
  if (value == asio::error::socket_type_not_supported) return kWSAESOCKTNOSUPPORT;
  return kWSAETIMEDOUT;
}

class WinsockCategoryImpl : public std::error_category {
 public:
  const char* name() const noexcept override { return "winsock"; }
  std::string message(int code) const override { return WinsockText(code); }
};

}  // namespace

int WinsockFromErrno(int err) {
  if (err == 0) return 0;
  for (const auto& p : kErrnoTable) {
    if (p.native == err) return p.winsock;
  }
  return kWSAETIMEDOUT;
}

int ToWinsock(const std::error_code& ec) {
  if (!ec) return 0;
  const auto& cat = ec.category();
  if (cat == WinsockCategory()) return ec.value();
  if (cat == asio::error::get_system_category() || cat == std::system_category() ||
      cat == std::generic_category()) {
    return WinsockFromErrno(ec.value());
  }
  if (cat == asio::error::get_netdb_category()) return FromNetdb(ec.value());
  if (cat == asio::error::get_addrinfo_category()) return FromAddrinfo(ec.value());
  if (ec == asio::error::eof) return kWSAECONNRESET;
  return kWSAETIMEDOUT;
}

const std::error_category& WinsockCategory() {
  static const WinsockCategoryImpl category;
  return category;
}

std::error_code WinsockError(int code) { return std::error_code(code, WinsockCategory()); }

std::string WinsockText(int code) {
  switch (code) {
    case 0: return "No error";
    case kWSAEINTR: return "Interrupted function call";
    case kWSAEACCES: return "Permission denied";
    case kWSAEINVAL: return "Invalid argument";
    case kWSAEMFILE: return "Too many open files";
    case kWSAEWOULDBLOCK: return "Resource temporarily unavailable";
    case kWSAEPROTONOSUPPORT: return "Protocol not supported";
    case kWSAEADDRINUSE: return "Address already in use";
    case kWSAEADDRNOTAVAIL: return "Cannot assign requested address";
    case kWSAENETDOWN: return "Network is down";
    case kWSAENETUNREACH: return "Network is unreachable";
    case kWSAECONNABORTED: return "Software caused connection abort";
    case kWSAECONNRESET: return "Connection reset by peer";
    case kWSAENOBUFS: return "No buffer space available";
    case kWSAEISCONN: return "Socket is already connected";
    case kWSAENOTCONN: return "Socket is not connected";
    case kWSAETIMEDOUT: return "Connection timed out";
    case kWSAECONNREFUSED: return "Connection refused";
    case kWSAEHOSTUNREACH: return "No route to host";
    case kWSAHOST_NOT_FOUND: return "Host not found";
    case kWSATRY_AGAIN: return "Non-authoritative host not found";
    case kWSANO_RECOVERY: return "This is a non-recoverable error";
    case kWSANO_DATA: return "Valid name, no data record of requested type";
    default: return "Windows Sockets error " + std::to_string(code);
  }
}

}  // namespace harvox::net
