// TLS with OpenSSL. The library never touches the socket: it reads and writes two
// memory buffers, and this file moves their bytes through platform::Socket, so that
// every wait has the socket's time bound and no signal can arise from a dead peer.
//
//   socket --receive--> incoming (memory) --> SSL --> plain text
//   socket <--send_all-- outgoing (memory) <-- SSL <-- plain text

#include "platform/tls_channel.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <string>

#include "platform/deadline.h"

namespace torvane::platform {

struct TlsTrust::State {
  SSL_CTX* context = nullptr;
  ~State() { SSL_CTX_free(context); }
};

struct TlsChannel::Session {
  Socket socket;
  SSL* ssl = nullptr;
  BIO* incoming = nullptr;  // owned by ssl
  BIO* outgoing = nullptr;  // owned by ssl
  ~Session() { SSL_free(ssl); }
};

namespace {

constexpr std::size_t kTransferPiece = 16 * 1024;  // one TLS record at most

// Adds every CERTIFICATE block of pem to store; false when there is none or one cannot
// be read.
bool add_pem_roots(X509_STORE* store, std::string_view pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (!bio) return false;
  int added = 0;
  bool broken = false;
  for (;;) {
    X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    if (!certificate) {
      // The end of the text, or a block that is not a certificate, or a broken one.
      const unsigned long error = ERR_peek_last_error();
      broken = !(ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE);
      break;
    }
    if (X509_STORE_add_cert(store, certificate) == 1) ++added;
    X509_free(certificate);
  }
  ERR_clear_error();
  BIO_free(bio);
  return added > 0 && !broken;
}

CertificateProblem problem_of(long verify_result) {
  switch (verify_result) {
    case X509_V_ERR_CERT_HAS_EXPIRED: return CertificateProblem::expired;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED: return CertificateProblem::unknown_issuer;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return CertificateProblem::wrong_name;
    default: return CertificateProblem::other;
  }
}

// Sends what the library has written to its outgoing buffer.
NetStatus flush(TlsChannel::Session& s, int timeout_ms) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(s.outgoing, &data);
  if (size <= 0) return NetStatus::ok;
  const NetStatus sent =
      s.socket.send_all(std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)),
                        timeout_ms);
  (void)BIO_reset(s.outgoing);
  return sent;
}

// Reads one piece from the socket into the library's incoming buffer.
NetStatus fill(TlsChannel::Session& s, DeadlineClock::time_point deadline) {
  std::array<std::uint8_t, kTransferPiece> piece;
  const Socket::Received got = s.socket.receive(piece, remaining_ms(deadline));
  if (got.status != NetStatus::ok) return got.status;
  return BIO_write(s.incoming, piece.data(), static_cast<int>(got.count)) == static_cast<int>(got.count)
             ? NetStatus::ok
             : NetStatus::failed;
}

// What a failed read or write means: the server said it ends, or anything else.
NetStatus status_of(int ssl_error) {
  return ssl_error == SSL_ERROR_ZERO_RETURN ? NetStatus::closed : NetStatus::failed;
}

// Names the server for the handshake: a host name is sent as the server name and must
// be in the certificate; an address must be in the certificate and is not sent.
bool name_server(SSL* ssl, const std::string& host) {
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1) return true;
  ERR_clear_error();
  SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return !host.empty() && SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 && SSL_set1_host(ssl, host.c_str()) == 1;
}

}  // namespace

TlsTrust TlsTrust::create(std::string_view extra_roots_pem) {
  TlsTrust trust;
  auto state = std::make_shared<State>();
  state->context = SSL_CTX_new(TLS_client_method());
  if (!state->context) return trust;
  SSL_CTX* context = state->context;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  // The distribution's CA bundle; a machine without one trusts only the extra roots.
  SSL_CTX_set_default_verify_paths(context);
  ERR_clear_error();
  if (!extra_roots_pem.empty() && !add_pem_roots(SSL_CTX_get_cert_store(context), extra_roots_pem)) return trust;
  trust.state_ = std::move(state);
  return trust;
}

TlsChannel::TlsChannel() = default;
TlsChannel::TlsChannel(TlsChannel&& other) noexcept = default;
TlsChannel& TlsChannel::operator=(TlsChannel&& other) noexcept = default;
TlsChannel::~TlsChannel() { close(); }

TlsChannel TlsChannel::open(Socket socket, std::string_view host, const TlsTrust& trust, int timeout_ms) {
  const auto deadline = deadline_after(timeout_ms);
  TlsChannel channel;
  if (!socket.is_open() || !trust.is_valid()) return channel;
  auto s = std::make_unique<Session>();
  s->socket = std::move(socket);
  s->ssl = SSL_new(trust.state_->context);
  s->incoming = BIO_new(BIO_s_mem());
  s->outgoing = BIO_new(BIO_s_mem());
  if (!s->ssl || !s->incoming || !s->outgoing) {
    BIO_free(s->incoming);
    BIO_free(s->outgoing);
    ERR_clear_error();
    return channel;
  }
  BIO_set_mem_eof_return(s->incoming, -1);  // an empty buffer means "wait for more"
  SSL_set_bio(s->ssl, s->incoming, s->outgoing);
  SSL_set_connect_state(s->ssl);
  if (!name_server(s->ssl, std::string(host))) {
    ERR_clear_error();
    return channel;
  }
  for (;;) {
    const int result = SSL_do_handshake(s->ssl);
    const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(s->ssl, result);
    const bool going_on = result == 1 || error == SSL_ERROR_WANT_READ;
    // The alert that tells the server why we stop goes out too, but without waiting.
    const NetStatus sent = flush(*s, going_on ? remaining_ms(deadline) : 0);
    if (!going_on) {
      const long verified = SSL_get_verify_result(s->ssl);
      channel.status_ = verified != X509_V_OK          ? NetStatus::untrusted
                        : error == SSL_ERROR_ZERO_RETURN ? NetStatus::closed
                                                         : NetStatus::failed;
      if (verified != X509_V_OK) channel.problem_ = problem_of(verified);
      break;
    }
    if (sent != NetStatus::ok) {
      channel.status_ = sent;
      break;
    }
    if (result == 1) {
      channel.session_ = std::move(s);
      channel.status_ = NetStatus::ok;
      break;
    }
    if (const NetStatus got = fill(*s, deadline); got != NetStatus::ok) {
      channel.status_ = got;
      break;
    }
  }
  ERR_clear_error();
  return channel;
}

bool TlsChannel::is_open() const { return session_ && session_->socket.is_open(); }

NetStatus TlsChannel::send_all(std::span<const std::uint8_t> data, int timeout_ms) {
  if (!is_open()) return status_ = NetStatus::failed;
  Session& s = *session_;
  while (!data.empty()) {
    const std::size_t piece = std::min(data.size(), kTransferPiece);
    const int result = SSL_write(s.ssl, data.data(), static_cast<int>(piece));
    if (result <= 0) {
      status_ = status_of(SSL_get_error(s.ssl, result));
      ERR_clear_error();
      return status_;
    }
    if (const NetStatus sent = flush(s, timeout_ms); sent != NetStatus::ok) return status_ = sent;
    data = data.subspan(static_cast<std::size_t>(result));
  }
  return status_ = NetStatus::ok;
}

Socket::Received TlsChannel::receive(std::span<std::uint8_t> out, int timeout_ms) {
  if (!is_open()) return {status_ = NetStatus::failed, 0};
  if (out.empty()) return {NetStatus::ok, 0};
  Session& s = *session_;
  const auto deadline = deadline_after(timeout_ms);
  const int want = static_cast<int>(std::min(out.size(), kTransferPiece));
  for (;;) {
    const int result = SSL_read(s.ssl, out.data(), want);
    const int error = result > 0 ? SSL_ERROR_NONE : SSL_get_error(s.ssl, result);
    // Messages after the handshake (session tickets, key updates) may want an answer.
    flush(s, 0);
    if (result > 0) return {status_ = NetStatus::ok, static_cast<std::size_t>(result)};
    if (error != SSL_ERROR_WANT_READ) {
      status_ = status_of(error);
      ERR_clear_error();
      return {status_, 0};
    }
    if (const NetStatus got = fill(s, deadline); got != NetStatus::ok) return {status_ = got, 0};
  }
}

void TlsChannel::close() {
  if (!session_) return;
  if (session_->socket.is_open()) {
    SSL_shutdown(session_->ssl);
    flush(*session_, 0);
    ERR_clear_error();
  }
  session_.reset();
}

}  // namespace torvane::platform
