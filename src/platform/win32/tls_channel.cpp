// TLS with Schannel, the system's own TLS. Schannel never touches the socket: it turns
// tokens and records into bytes and back, and this file moves them through
// platform::Socket, so that every wait has the socket's time bound.
//
// Schannel is told not to judge the server's certificate itself: once the handshake is
// done, the chain is built with the system store plus the extra roots and checked with
// the system's SSL policy (chain, validity, host name), before any data is sent. Only
// TLS 1.2 is offered: it is what every server speaks, and it needs no messages after
// the handshake.

#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS  // the time bound for fetching certificates
#define SECURITY_WIN32

#include "platform/tls_channel.h"

#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <security.h>
#include <schannel.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/deadline.h"

namespace torvane::platform {

struct TlsTrust::State {
  mutable CredHandle credentials{};  // Schannel's calls take it non-const
  HCERTSTORE extra_roots = nullptr;  // null when there are none
  ~State() {
    ::FreeCredentialsHandle(&credentials);
    if (extra_roots) ::CertCloseStore(extra_roots, 0);
  }
};

struct TlsChannel::Session {
  Socket socket;
  std::shared_ptr<const TlsTrust::State> trust;
  std::string host;
  CtxtHandle context{};
  bool has_context = false;
  SecPkgContext_StreamSizes sizes{};
  std::vector<std::uint8_t> incoming;  // received records not yet decrypted
  std::vector<std::uint8_t> plain;     // decrypted text not yet handed out
  std::size_t plain_at = 0;
  ~Session() {
    if (has_context) ::DeleteSecurityContext(&context);
  }
};

namespace {

constexpr DWORD kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR;
constexpr DWORD kIgnoreUnknownCa = 0x00000100;  // the SSL policy's SECURITY_FLAG_IGNORE_UNKNOWN_CA
constexpr std::size_t kReceivePiece = 16 * 1024 + 512;  // one record with its framing

// Adds every CERTIFICATE block of pem to store; false when there is none or one cannot
// be read.
bool add_pem_roots(HCERTSTORE store, std::string_view pem) {
  constexpr std::string_view begin = "-----BEGIN CERTIFICATE-----";
  constexpr std::string_view end = "-----END CERTIFICATE-----";
  int added = 0;
  for (std::size_t at = pem.find(begin); at != std::string_view::npos; at = pem.find(begin, at)) {
    std::size_t stop = pem.find(end, at);
    if (stop == std::string_view::npos) return false;
    stop += end.size();
    const std::string_view block = pem.substr(at, stop - at);
    DWORD size = 0;
    if (!::CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                &size, nullptr, nullptr)) {
      return false;
    }
    std::vector<BYTE> der(size);
    if (!::CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                der.data(), &size, nullptr, nullptr) ||
        !::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                            CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      return false;
    }
    ++added;
    at = stop;
  }
  return added > 0;
}

// Sends a token Schannel made and gives its memory back.
NetStatus send_token(Socket& socket, SecBuffer& token, int timeout_ms) {
  NetStatus sent = NetStatus::ok;
  if (token.pvBuffer && token.cbBuffer > 0) {
    sent = socket.send_all(std::span(static_cast<const std::uint8_t*>(token.pvBuffer), token.cbBuffer), timeout_ms);
  }
  if (token.pvBuffer) ::FreeContextBuffer(token.pvBuffer);
  token.pvBuffer = nullptr;
  return sent;
}

// Reads one piece from the socket onto the received records.
NetStatus fill(TlsChannel::Session& s, DeadlineClock::time_point deadline) {
  std::uint8_t piece[kReceivePiece];
  const Socket::Received got = s.socket.receive(piece, remaining_ms(deadline));
  if (got.status == NetStatus::ok) s.incoming.insert(s.incoming.end(), piece, piece + got.count);
  return got.status;
}

// Keeps the input bytes Schannel has not used: the last `extra` of them.
void keep_extra(std::vector<std::uint8_t>& bytes, const SecBuffer& extra) {
  if (extra.BufferType != SECBUFFER_EXTRA || extra.cbBuffer == 0 || extra.cbBuffer > bytes.size()) {
    bytes.clear();
    return;
  }
  bytes.erase(bytes.begin(), bytes.end() - extra.cbBuffer);
}

// True when bytes can begin a TLS record: a content type of 20 to 24 (cipher change,
// alert, handshake, data, heartbeat), then the major version 3.
bool looks_like_tls(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return true;
  if (bytes[0] < 20 || bytes[0] > 24) return false;
  return bytes.size() < 2 || bytes[1] == 3;
}

// The handshake up to an established context.
NetStatus handshake(TlsChannel::Session& s, DeadlineClock::time_point deadline) {
  CredHandle* credentials = &s.trust->credentials;
  SEC_CHAR* target = s.host.data();
  bool first = true;
  bool need_input = false;
  for (;;) {
    if (need_input) {
      if (const NetStatus got = fill(s, deadline); got != NetStatus::ok) return got;
      // A server that answers in plain text is no TLS server, whatever follows.
      if (!looks_like_tls(s.incoming)) return NetStatus::failed;
    }
    SecBuffer in[2] = {{static_cast<ULONG>(s.incoming.size()), SECBUFFER_TOKEN, s.incoming.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    const SECURITY_STATUS status =
        ::InitializeSecurityContextA(credentials, first ? nullptr : &s.context, target, kContextRequest, 0, 0,
                                     first ? nullptr : &in_desc, 0, first ? &s.context : nullptr, &out_desc,
                                     &attributes, nullptr);
    if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) s.has_context = true;
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      need_input = true;
      continue;
    }
    const bool going_on = status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED;
    // An alert that tells the server why we stop goes out too, but without waiting.
    const NetStatus sent = send_token(s.socket, out[0], going_on ? remaining_ms(deadline) : 0);
    if (!going_on) return NetStatus::failed;
    if (sent != NetStatus::ok) return sent;
    if (!first) keep_extra(s.incoming, in[1]);
    if (status == SEC_E_OK) return NetStatus::ok;
    need_input = first || in[1].BufferType != SECBUFFER_EXTRA;
    first = false;
  }
}

CertificateProblem problem_of(DWORD policy_error) {
  switch (policy_error) {
    case 0: return CertificateProblem::none;
    case static_cast<DWORD>(CERT_E_EXPIRED): return CertificateProblem::expired;
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_UNTRUSTEDCA):
    case static_cast<DWORD>(CERT_E_CHAINING): return CertificateProblem::unknown_issuer;
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH): return CertificateProblem::wrong_name;
    default: return CertificateProblem::other;
  }
}

// What the chain's trust status says against the certificate, if anything.
CertificateProblem chain_problem(DWORD errors, bool extra_root) {
  if ((errors & CERT_TRUST_IS_PARTIAL_CHAIN) || ((errors & CERT_TRUST_IS_UNTRUSTED_ROOT) && !extra_root)) {
    return CertificateProblem::unknown_issuer;
  }
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) return CertificateProblem::expired;
  return CertificateProblem::none;
}

// True when the chain ends in one of the extra roots.
bool ends_in(PCCERT_CHAIN_CONTEXT chain, HCERTSTORE roots) {
  if (!roots || chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) return false;
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
  PCCERT_CONTEXT found = ::CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr);
  if (!found) return false;
  ::CertFreeCertificateContext(found);
  return true;
}

// The system's SSL policy over the chain: validity, use and the host name.
CertificateProblem policy_problem(PCCERT_CHAIN_CONTEXT chain, const std::string& host, bool extra_root) {
  std::wstring name(host.begin(), host.end());  // host names are ASCII
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = extra_root ? kIgnoreUnknownCa : 0;
  ssl.pwszServerName = name.data();
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.dwFlags = extra_root ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS verdict{};
  verdict.cbSize = sizeof verdict;
  if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict)) {
    return CertificateProblem::other;
  }
  return problem_of(verdict.dwError);
}

// Checks the server's certificate: a chain to a root of the system or of the extra
// roots, valid now, for server authentication, naming the host.
CertificateProblem check_certificate(TlsChannel::Session& s, DeadlineClock::time_point deadline) {
  PCCERT_CONTEXT server = nullptr;
  if (::QueryContextAttributesA(&s.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server) != SEC_E_OK || !server) {
    return CertificateProblem::other;
  }
  // Where the chain's other certificates come from: what the server sent, the extra roots.
  HCERTSTORE more = server->hCertStore;
  HCERTSTORE collection = nullptr;
  if (s.trust->extra_roots) {
    collection = ::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (collection) {
      ::CertAddStoreToCollection(collection, server->hCertStore, 0, 0);
      ::CertAddStoreToCollection(collection, s.trust->extra_roots, 0, 0);
      more = collection;
    }
  }
  LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  // Missing intermediates or roots may be fetched, within the handshake's time.
  para.dwUrlRetrievalTimeout = static_cast<DWORD>(std::max(1, remaining_ms(deadline)));
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  CertificateProblem problem = CertificateProblem::other;
  if (::CertGetCertificateChain(nullptr, server, nullptr, more, &para, 0, nullptr, &chain) && chain) {
    const DWORD errors = chain->TrustStatus.dwErrorStatus;
    const bool extra_root = (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0 && ends_in(chain, s.trust->extra_roots);
    // The chain's own findings first, so that the verdict does not rest on the policy
    // alone (not every implementation of it reports a chain that ends nowhere).
    problem = chain_problem(errors, extra_root);
    if (problem == CertificateProblem::none) problem = policy_problem(chain, s.host, extra_root);
    ::CertFreeCertificateChain(chain);
  }
  if (collection) ::CertCloseStore(collection, 0);
  ::CertFreeCertificateContext(server);
  return problem;
}

}  // namespace

TlsTrust TlsTrust::create(std::string_view extra_roots_pem) {
  TlsTrust trust;
  auto state = std::make_shared<State>();
  if (!extra_roots_pem.empty()) {
    state->extra_roots = ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!state->extra_roots || !add_pem_roots(state->extra_roots, extra_roots_pem)) return trust;
  }
  SCHANNEL_CRED data{};
  data.dwVersion = SCHANNEL_CRED_VERSION;
  data.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  data.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  TimeStamp expiry{};
  if (::AcquireCredentialsHandleA(nullptr, const_cast<SEC_CHAR*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                  &data, nullptr, nullptr, &state->credentials, &expiry) != SEC_E_OK) {
    state->credentials = CredHandle{};
    return trust;
  }
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
  if (!socket.is_open() || !trust.is_valid() || host.empty()) return channel;
  auto s = std::make_unique<Session>();
  s->socket = std::move(socket);
  s->trust = trust.state_;
  s->host = std::string(host);
  channel.status_ = handshake(*s, deadline);
  if (channel.status_ != NetStatus::ok) return channel;
  channel.problem_ = check_certificate(*s, deadline);
  if (channel.problem_ != CertificateProblem::none) {
    channel.status_ = NetStatus::untrusted;
    return channel;
  }
  if (::QueryContextAttributesA(&s->context, SECPKG_ATTR_STREAM_SIZES, &s->sizes) != SEC_E_OK ||
      s->sizes.cbMaximumMessage == 0) {
    channel.status_ = NetStatus::failed;
    return channel;
  }
  channel.session_ = std::move(s);
  return channel;
}

bool TlsChannel::is_open() const { return session_ && session_->socket.is_open(); }

NetStatus TlsChannel::send_all(std::span<const std::uint8_t> data, int timeout_ms) {
  if (!is_open()) return status_ = NetStatus::failed;
  Session& s = *session_;
  const auto& sizes = s.sizes;
  while (!data.empty()) {
    const std::size_t piece = std::min<std::size_t>(data.size(), sizes.cbMaximumMessage);
    std::vector<std::uint8_t> record(sizes.cbHeader + piece + sizes.cbTrailer);
    std::memcpy(record.data() + sizes.cbHeader, data.data(), piece);
    SecBuffer parts[4] = {
        {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {static_cast<ULONG>(piece), SECBUFFER_DATA, record.data() + sizes.cbHeader},
        {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + piece},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc desc{SECBUFFER_VERSION, 4, parts};
    if (::EncryptMessage(&s.context, 0, &desc, 0) != SEC_E_OK) return status_ = NetStatus::failed;
    const std::size_t length = parts[0].cbBuffer + parts[1].cbBuffer + parts[2].cbBuffer;
    if (const NetStatus sent = s.socket.send_all(std::span(record.data(), length), timeout_ms); sent != NetStatus::ok) {
      return status_ = sent;
    }
    data = data.subspan(piece);
  }
  return status_ = NetStatus::ok;
}

Socket::Received TlsChannel::receive(std::span<std::uint8_t> out, int timeout_ms) {
  if (!is_open()) return {status_ = NetStatus::failed, 0};
  if (out.empty()) return {NetStatus::ok, 0};
  Session& s = *session_;
  const auto deadline = deadline_after(timeout_ms);
  for (;;) {
    if (s.plain_at < s.plain.size()) {
      const std::size_t count = std::min(out.size(), s.plain.size() - s.plain_at);
      std::memcpy(out.data(), s.plain.data() + s.plain_at, count);
      s.plain_at += count;
      return {status_ = NetStatus::ok, count};
    }
    if (!s.incoming.empty()) {
      SecBuffer parts[4] = {{static_cast<ULONG>(s.incoming.size()), SECBUFFER_DATA, s.incoming.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, parts};
      const SECURITY_STATUS status = ::DecryptMessage(&s.context, &desc, 0, nullptr);
      if (status == SEC_E_OK) {
        s.plain.clear();
        s.plain_at = 0;
        const SecBuffer* extra = nullptr;
        for (const SecBuffer& part : parts) {
          if (part.BufferType == SECBUFFER_DATA && part.pvBuffer) {
            const auto* bytes = static_cast<const std::uint8_t*>(part.pvBuffer);
            s.plain.assign(bytes, bytes + part.cbBuffer);
          }
          if (part.BufferType == SECBUFFER_EXTRA) extra = &part;
        }
        if (extra) keep_extra(s.incoming, *extra);
        else s.incoming.clear();
        continue;
      }
      if (status == SEC_I_CONTEXT_EXPIRED) return {status_ = NetStatus::closed, 0};  // the server said it ends
      if (status != SEC_E_INCOMPLETE_MESSAGE) return {status_ = NetStatus::failed, 0};
    }
    if (const NetStatus got = fill(s, deadline); got != NetStatus::ok) return {status_ = got, 0};
  }
}

void TlsChannel::close() {
  if (!session_) return;
  Session& s = *session_;
  if (s.socket.is_open() && s.has_context) {
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc control_desc{SECBUFFER_VERSION, 1, &control};
    if (::ApplyControlToken(&s.context, &control_desc) == SEC_E_OK) {
      SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
      SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};
      ULONG attributes = 0;
      ::InitializeSecurityContextA(&s.trust->credentials, &s.context, s.host.data(), kContextRequest, 0, 0, nullptr,
                                   0, nullptr, &out_desc, &attributes, nullptr);
      send_token(s.socket, out[0], 0);
    }
  }
  session_.reset();
}

}  // namespace torvane::platform
