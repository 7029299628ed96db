// Windows Sockets error numbers: the codes the whole program logs and passes
// in its socket events.  Native errors (errno values, Asio's resolver and
// misc errors) are translated here, in one place.  10004 (cancelled) and
// 10060 (timed out) keep their meaning; anything without a number of its
// own becomes 10060.
//
// Re-entrancy: pure functions and constants; the error category is a
// stateless singleton.
#pragma once

#include <string>
#include <system_error>

namespace harvox::net {

constexpr int kWSAEINTR = 10004;
constexpr int kWSAEBADF = 10009;
constexpr int kWSAEACCES = 10013;
constexpr int kWSAEFAULT = 10014;
constexpr int kWSAEINVAL = 10022;
constexpr int kWSAEMFILE = 10024;
constexpr int kWSAEWOULDBLOCK = 10035;
constexpr int kWSAEINPROGRESS = 10036;
constexpr int kWSAEALREADY = 10037;
constexpr int kWSAENOTSOCK = 10038;
constexpr int kWSAEDESTADDRREQ = 10039;
constexpr int kWSAEMSGSIZE = 10040;
constexpr int kWSAEPROTOTYPE = 10041;
constexpr int kWSAENOPROTOOPT = 10042;
constexpr int kWSAEPROTONOSUPPORT = 10043;
constexpr int kWSAESOCKTNOSUPPORT = 10044;
constexpr int kWSAEOPNOTSUPP = 10045;
constexpr int kWSAEPFNOSUPPORT = 10046;
constexpr int kWSAEAFNOSUPPORT = 10047;
constexpr int kWSAEADDRINUSE = 10048;
constexpr int kWSAEADDRNOTAVAIL = 10049;
constexpr int kWSAENETDOWN = 10050;
constexpr int kWSAENETUNREACH = 10051;
constexpr int kWSAENETRESET = 10052;
constexpr int kWSAECONNABORTED = 10053;
constexpr int kWSAECONNRESET = 10054;
constexpr int kWSAENOBUFS = 10055;
constexpr int kWSAEISCONN = 10056;
constexpr int kWSAENOTCONN = 10057;
constexpr int kWSAESHUTDOWN = 10058;
constexpr int kWSAETOOMANYREFS = 10059;
constexpr int kWSAETIMEDOUT = 10060;
constexpr int kWSAECONNREFUSED = 10061;
constexpr int kWSAELOOP = 10062;
constexpr int kWSAENAMETOOLONG = 10063;
constexpr int kWSAEHOSTDOWN = 10064;
constexpr int kWSAEHOSTUNREACH = 10065;
constexpr int kWSATYPE_NOT_FOUND = 10109;
constexpr int kWSAHOST_NOT_FOUND = 11001;
constexpr int kWSATRY_AGAIN = 11002;
constexpr int kWSANO_RECOVERY = 11003;
constexpr int kWSANO_DATA = 11004;

// 0 for no error; the Windows Sockets number otherwise (10060 by default).
int ToWinsock(const std::error_code& ec);
// The same for a raw errno value.
int WinsockFromErrno(int err);

// A category whose values are Windows Sockets numbers, so that a
// std::system_error thrown by this layer carries the number and a text.
const std::error_category& WinsockCategory();
std::error_code WinsockError(int code);
std::string WinsockText(int code);

// What went wrong on a connection, as reported to error handlers.
enum class ErrorKind { General, Send, Receive, Connect, Disconnect, Accept };

}  // namespace harvox::net
