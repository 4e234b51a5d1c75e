#include "support/tls_test_server.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>

namespace torvane::testing {
namespace {

using std::chrono::steady_clock;

constexpr int kPollMs = 20;
constexpr std::size_t kMaxRequest = 64 * 1024;
constexpr long kDay = 24 * 60 * 60;

// --- Certificates -----------------------------------------------------------------

void add_extension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (!extension) std::abort();  // a typing error in this file
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

struct Validity {
  long from_s;  // seconds from now
  long to_s;
};

// A certificate for key, named name, signed by the issuer (itself when issuer is null).
// Without alt_names it is a certificate authority; with them a server's certificate.
X509* make_certificate(const char* name, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key, Validity validity,
                       const char* alt_names, long serial) {
  X509* c = X509_new();
  X509_set_version(c, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c), serial);
  X509_gmtime_adj(X509_getm_notBefore(c), validity.from_s);
  X509_gmtime_adj(X509_getm_notAfter(c), validity.to_s);
  X509_set_pubkey(c, key);
  X509_NAME* subject = X509_get_subject_name(c);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
  X509* signer = issuer ? issuer : c;
  X509_set_issuer_name(c, X509_get_subject_name(signer));
  add_extension(c, signer, NID_subject_key_identifier, "hash");
  add_extension(c, signer, NID_authority_key_identifier, "keyid:always");
  if (alt_names) {
    add_extension(c, signer, NID_basic_constraints, "critical,CA:FALSE");
    add_extension(c, signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
    add_extension(c, signer, NID_ext_key_usage, "serverAuth");
    add_extension(c, signer, NID_subject_alt_name, alt_names);
  } else {
    add_extension(c, signer, NID_basic_constraints, "critical,CA:TRUE");
    add_extension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  }
  if (X509_sign(c, issuer_key ? issuer_key : key, EVP_sha256()) <= 0) std::abort();
  return c;
}

std::string pem_of(X509* certificate) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, certificate);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return pem;
}

SSL_CTX* server_context(X509* certificate, EVP_PKEY* key) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (!context || SSL_CTX_use_certificate(context, certificate) != 1 || SSL_CTX_use_PrivateKey(context, key) != 1) {
    std::abort();
  }
  return context;
}

// Everything is made once per test process and kept until it ends.
struct Materials {
  std::string ca_pem;
  std::string other_ca_pem;
  std::array<SSL_CTX*, 4> contexts{};  // by TlsTestCertificate
};

Materials make_materials() {
  EVP_PKEY* ca_key = EVP_EC_gen("P-256");
  EVP_PKEY* other_key = EVP_EC_gen("P-256");
  EVP_PKEY* server_key = EVP_EC_gen("P-256");
  if (!ca_key || !other_key || !server_key) std::abort();
  const Validity years{-kDay, 3650 * kDay};
  X509* ca = make_certificate("Test Authority", ca_key, nullptr, nullptr, years, nullptr, 1);
  X509* other = make_certificate("Unknown Authority", other_key, nullptr, nullptr, years, nullptr, 2);
  const char* local = "DNS:localhost,IP:127.0.0.1";
  Materials m;
  m.ca_pem = pem_of(ca);
  m.other_ca_pem = pem_of(other);
  const auto add = [&](TlsTestCertificate which, X509* certificate) {
    m.contexts[static_cast<std::size_t>(which)] = server_context(certificate, server_key);
    X509_free(certificate);
  };
  add(TlsTestCertificate::valid, make_certificate("localhost", server_key, ca, ca_key, years, local, 10));
  add(TlsTestCertificate::expired,
      make_certificate("localhost", server_key, ca, ca_key, {-30 * kDay, -kDay}, local, 11));
  add(TlsTestCertificate::unknown_issuer,
      make_certificate("localhost", server_key, other, other_key, years, local, 12));
  add(TlsTestCertificate::wrong_name,
      make_certificate("other.invalid", server_key, ca, ca_key, years, "DNS:other.invalid", 13));
  X509_free(ca);
  X509_free(other);
  EVP_PKEY_free(ca_key);
  EVP_PKEY_free(other_key);
  EVP_PKEY_free(server_key);
  return m;
}

const Materials& materials() {
  static const Materials m = make_materials();
  return m;
}

// --- The server's side of one connection ------------------------------------------

// OpenSSL on two memory buffers; the bytes go through the platform socket, in short
// waits so that the server notices when it is stopped.
class ServerTls {
 public:
  ServerTls(SSL_CTX* context, platform::Socket& socket, const std::atomic<bool>& stop)
      : socket_(socket), stop_(stop), ssl_(SSL_new(context)) {
    incoming_ = BIO_new(BIO_s_mem());
    outgoing_ = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(incoming_, -1);
    SSL_set_bio(ssl_, incoming_, outgoing_);
    SSL_set_accept_state(ssl_);
  }
  ~ServerTls() {
    SSL_free(ssl_);
    ERR_clear_error();
  }
  ServerTls(const ServerTls&) = delete;
  ServerTls& operator=(const ServerTls&) = delete;

  // The whole handshake; false when the client gave up or rejected the certificate.
  bool handshake() {
    for (;;) {
      const int result = SSL_do_handshake(ssl_);
      const bool wants = result != 1 && SSL_get_error(ssl_, result) == SSL_ERROR_WANT_READ;
      if (!flush()) return false;
      if (result == 1) return true;
      if (!wants || !fill()) return false;
    }
  }

  // Reads the client's first message, sends the first half of the answer and stops.
  void stall_in_handshake() {
    while (BIO_ctrl_pending(outgoing_) == 0) {
      const int result = SSL_do_handshake(ssl_);
      if (result == 1 || SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ) return;
      if (BIO_ctrl_pending(outgoing_) == 0 && !fill()) return;
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(outgoing_, &data);
    socket_.send_all(std::string_view(data, static_cast<std::size_t>(size / 2)), 1000);
  }

  // Plain text from the client: ok, timed_out (nothing within one short wait) or closed.
  platform::Socket::Received read(std::span<std::uint8_t> out) {
    for (;;) {
      const int result = SSL_read(ssl_, out.data(), static_cast<int>(out.size()));
      if (result > 0) return {platform::NetStatus::ok, static_cast<std::size_t>(result)};
      if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ) return {platform::NetStatus::closed, 0};
      const platform::NetStatus got = fill_once();
      if (got != platform::NetStatus::ok) return {got, 0};
    }
  }

  bool write(std::string_view bytes) {
    while (!bytes.empty()) {
      const int result = SSL_write(ssl_, bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), 16384)));
      if (result <= 0 || !flush()) return false;
      bytes.remove_prefix(static_cast<std::size_t>(result));
    }
    return true;
  }

  void shutdown() {
    SSL_shutdown(ssl_);
    flush();
  }

 private:
  bool flush() {
    char* data = nullptr;
    const long size = BIO_get_mem_data(outgoing_, &data);
    if (size <= 0) return true;
    const bool sent = socket_.send_all(std::string_view(data, static_cast<std::size_t>(size)), 1000) ==
                      platform::NetStatus::ok;
    (void)BIO_reset(outgoing_);
    return sent;
  }

  platform::NetStatus fill_once() {
    std::array<std::uint8_t, 16384> piece;
    const auto got = socket_.receive(piece, kPollMs);
    if (got.status == platform::NetStatus::ok) BIO_write(incoming_, piece.data(), static_cast<int>(got.count));
    return got.status;
  }

  // Waits for the client's next bytes: at most two seconds, less when stopped.
  bool fill() {
    const auto give_up = steady_clock::now() + std::chrono::seconds(2);
    while (!stop_.load() && steady_clock::now() < give_up) {
      const platform::NetStatus got = fill_once();
      if (got == platform::NetStatus::ok) return true;
      if (got != platform::NetStatus::timed_out) return false;
    }
    return false;
  }

  platform::Socket& socket_;
  const std::atomic<bool>& stop_;
  SSL* ssl_;
  BIO* incoming_ = nullptr;
  BIO* outgoing_ = nullptr;
};

std::string path_of(const std::string& request) {
  const std::size_t sp = request.find(' ');
  if (sp == std::string::npos) return {};
  const std::size_t end = request.find(' ', sp + 1);
  return request.substr(sp + 1, end == std::string::npos ? std::string::npos : end - sp - 1);
}

}  // namespace

TlsTestServer::TlsTestServer(TlsTestCertificate certificate, Script script)
    : TlsTestServer(Mode{certificate, false}, std::move(script)) {}

TlsTestServer::TlsTestServer(StallInHandshake)
    : TlsTestServer(Mode{TlsTestCertificate::valid, true}, [](const std::string&) { return ScriptedReply{}; }) {}

TlsTestServer::TlsTestServer(Mode mode, Script script) : mode_(mode), script_(std::move(script)) {
  materials();  // made before the first client comes, not while it waits
  listener_ = platform::Listener::open_loopback(0);
  if (!listener_.is_open()) std::abort();  // no loopback: the tests cannot run at all
  port_ = listener_.port();
  thread_ = std::thread([this] { serve(); });
}

TlsTestServer::~TlsTestServer() {
  stop_ = true;
  thread_.join();
}

const std::string& TlsTestServer::ca_pem() { return materials().ca_pem; }
const std::string& TlsTestServer::other_ca_pem() { return materials().other_ca_pem; }

std::vector<std::string> TlsTestServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> TlsTestServer::paths() const {
  std::lock_guard lock(mutex_);
  return paths_;
}

void TlsTestServer::serve() {
  while (!stopping()) {
    platform::Socket client = listener_.accept(kPollMs);
    if (!client.is_open()) continue;
    ++connections_;
    workers_.emplace_back([this, c = std::move(client)]() mutable { answer(std::move(c)); });
  }
  for (std::thread& worker : workers_) worker.join();
}

void TlsTestServer::answer(platform::Socket client) {
  ServerTls tls(materials().contexts[static_cast<std::size_t>(mode_.certificate)], client, stop_);
  std::array<std::uint8_t, 1024> buffer;
  // Until the client hangs up or the server stops.
  const auto hold = [&] {
    while (!stopping()) {
      const auto got = tls.read(buffer);
      if (got.status != platform::NetStatus::ok && got.status != platform::NetStatus::timed_out) return;
    }
  };
  if (mode_.stall) {
    tls.stall_in_handshake();
    while (!stopping()) {
      const auto got = client.receive(buffer, kPollMs);
      if (got.status != platform::NetStatus::ok && got.status != platform::NetStatus::timed_out) return;
    }
    return;
  }
  if (!tls.handshake()) return;

  std::string request;
  const auto give_up = steady_clock::now() + std::chrono::seconds(1);
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequest && !stopping() &&
         steady_clock::now() < give_up) {
    const auto got = tls.read(buffer);
    if (got.status == platform::NetStatus::ok) request.append(reinterpret_cast<const char*>(buffer.data()), got.count);
    else if (got.status != platform::NetStatus::timed_out) break;
  }
  const std::string path = path_of(request);
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    paths_.push_back(path);
  }
  const ScriptedReply reply = script_(path);

  const auto sleep_while_running = [&](std::chrono::milliseconds pause) {
    const auto until = steady_clock::now() + pause;
    while (!stopping() && steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  };
  // False once the client is gone.
  const auto send = [&](std::string_view bytes) {
    if (reply.drip.count() == 0) return tls.write(bytes);
    for (std::size_t i = 0; i < bytes.size() && !stopping(); ++i) {
      if (!tls.write(bytes.substr(i, 1))) return false;
      sleep_while_running(reply.drip);
    }
    return true;
  };
  sleep_while_running(reply.pause);
  bool sending = send(reply.bytes);
  while (sending && !reply.endless.empty() && !stopping()) sending = send(reply.endless);
  if (reply.keep_open) hold();
  tls.shutdown();
}

}  // namespace torvane::testing
