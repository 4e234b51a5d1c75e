// The parts of the TLS channel that are the same on every operating system. The
// handshake, the certificate check and the records live in posix/ and win32/.

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/tls_channel.h"

namespace torvane::platform {

const char* certificate_problem_text(CertificateProblem problem) {
  switch (problem) {
    case CertificateProblem::none: return "";
    case CertificateProblem::expired: return "Zertifikat abgelaufen";
    case CertificateProblem::unknown_issuer: return "Zertifikat von unbekannter Stelle ausgestellt";
    case CertificateProblem::wrong_name: return "Zertifikat f\xFCr einen anderen Namen ausgestellt";
    case CertificateProblem::other: return "Zertifikat ung\xFCltig";
  }
  return "Zertifikat ung\xFCltig";
}

NetStatus TlsChannel::send_all(std::string_view data, int timeout_ms) {
  return send_all(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()), timeout_ms);
}

}  // namespace torvane::platform
