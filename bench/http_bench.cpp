// Speed of the HTTP client against nginx on 127.0.0.1 (started here, in a private folder), each
// figure beside its reference measured in the same run. Rounds alternate reference and client and
// each side reports the median of its rounds, so that load from other processes hits both alike.
//
//  - download: a 1 GiB document (a sparse file) fetched by THttpCli into a stream that discards,
//    against `curl --http1.0 -o /dev/null`. GB/s (10^9 bytes per second). Target: at least 1.0.
//  - requests: 5,000 sequential GETs of a 1 KiB document, a new connection each, by one THttpCli,
//    against a libcurl loop (one easy handle, CURLOPT_FORBID_REUSE, HTTP/1.0). Requests per
//    second. Target: at least 1.0.
//  - https download: the same 1 GiB over TLS 1.3 from a second nginx that offers one cipher
//    suite only (so both sides use the same), against `curl --http1.0 --cacert`. GB/s. Target:
//    at least 0.9.
//  - https requests: 2,000 sequential https GETs of the 1 KiB document, a new connection (and a
//    handshake) each, against the libcurl loop with connection reuse forbidden. Both sides resume
//    the TLS session of the previous connection, as they do by default. Requests per second.
//    Target: at least 0.9.
//  - post: 256 MiB posted to a discarding peer (a plain server that reads the body and answers
//    200 once all of it has come), against curl --data-binary, and against iperf3 with
//    1514-byte writes (the socket's default one-send-per-block pattern; the client posts with
//    256 KiB blocks). GB/s. Target against curl: at least 1.0.
//
// Every side runs with a time limit (THttpCli's TimeLimit, CURLOPT_TIMEOUT_MS, the programs'
// waits), the client with its default message pump. libcurl is loaded at run time
// (libcurl.so.4, which scripts/setup.sh brings with libcurl4-openssl-dev), so that this program
// builds with the project's usual benchmark link line.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "FreePort.h"
#include "HttpProt.h"
#include "TempDir.h"
#include "TestServers.h"
#include "TlsCertificates.h"
#include "WSocket.h"
#include "json_number.h"

namespace vantrel::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kDownloadSize = std::int64_t{1} << 30;  // 1 GiB
constexpr int kRequestCount = 5000;
constexpr int kHttpsRequestCount = 2000;
// The one suite the TLS site offers, which curl, libcurl and the component then all use.
constexpr char kCipherSuite[] = "TLS_AES_128_GCM_SHA256";
constexpr int kSmallSize = 1024;
constexpr std::int64_t kPostSize = std::int64_t{256} << 20;  // 256 MiB
constexpr int kTimeLimitMs = 120000;                         // any single transfer
constexpr int kRequestTimeLimitMs = 10000;                   // one of the 5,000 GETs

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t mid = v.size() / 2;
  return v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

// ---- the server and the streams -----------------------------------------------------------

// nginx with the benchmark's documents: sendfile and no access log, so that the server costs as
// little as possible and the clients are what is measured.
class Site {
 public:
  // With tls, the site speaks TLS 1.3 with that certificate and kCipherSuite only.
  explicit Site(const test::NginxTls& tls = {})
      : nginx_(tls.cert.empty() ? "    sendfile on;\n    access_log off;\n"
                                : std::string("    access_log off;\n    ssl_conf_command "
                                              "Ciphersuites ") +
                                      kCipherSuite + ";\n",
               tls) {
    if (!nginx_.Running()) {
      error_ = nginx_.SkipReason().empty() ? nginx_.Error() : nginx_.SkipReason();
      return;
    }
    if (!nginx_.AddFile("small.html", std::string(kSmallSize, 's'))) {
      error_ = "cannot write the 1 KiB document";
      return;
    }
    // Sparse: no disk space and no time to create; nginx reads zeros from the page cache.
    const std::string big = nginx_.DocRoot() + "/big.bin";
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::ftruncate(fd, kDownloadSize) != 0) error_ = "cannot create the 1 GiB document";
    if (fd >= 0) ::close(fd);
  }
  const std::string& Error() const { return error_; }
  std::string Url(const std::string& path) const { return nginx_.Url(path); }

 private:
  test::NginxServer nginx_;
  std::string error_;
};

// A ReceiveStream that drops what it is given.
class TDiscardStream : public TStream {
 public:
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void*, std::int64_t count) override {
    written_ += count;
    return count;
  }
  std::int64_t Seek(std::int64_t, TSeekOrigin) override { return written_; }
  void SetSize(std::int64_t) override {}
  std::int64_t Written() const { return written_; }

 private:
  std::int64_t written_ = 0;
};

// A PostStream of size bytes, copied out of one block held in memory, as many times as a read
// asks for (a stream read costs a copy and fills the request, as from a memory stream).
class TPatternStream : public TStream {
 public:
  explicit TPatternStream(std::int64_t size) : size_(size), block_(64 * 1024, 'p') {}
  std::int64_t Read(void* buffer, std::int64_t count) override {
    const std::int64_t n = std::min(count, size_ - position_);
    if (n <= 0) return 0;
    auto* out = static_cast<char*>(buffer);
    for (std::int64_t done = 0; done < n;) {
      const std::int64_t piece = std::min(n - done, static_cast<std::int64_t>(block_.size()));
      std::memcpy(out + done, block_.data(), static_cast<std::size_t>(piece));
      done += piece;
    }
    position_ += n;
    return n;
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
    const std::int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : size_;
    position_ = std::clamp<std::int64_t>(base + offset, 0, size_);
    return position_;
  }
  std::int64_t Size() override { return size_; }
  void SetSize(std::int64_t) override {}

 private:
  std::int64_t size_;
  std::int64_t position_ = 0;
  std::vector<char> block_;
};

// ---- outside programs -----------------------------------------------------------------------

// Runs a program to its end (bounded) with its standard output in a file; that output, or
// nullopt with *error set.
std::optional<std::string> RunProgram(const std::vector<std::string>& argv, std::string* error) {
  test::TempDir dir("vantrel-bench-out-");
  const std::string log = dir.File("out.txt");
  test::ChildProcess child(argv, log);
  if (!child.Started()) {
    *error = "cannot run " + argv[0] + ": " + child.Error();
    return std::nullopt;
  }
  if (!child.WaitForExit(kTimeLimitMs)) {
    *error = argv[0] + " did not finish in time";
    return std::nullopt;
  }
  std::string out = test::ReadFile(log);
  if (child.ExitCode() != 0) {
    *error = argv[0] + " exited with " + std::to_string(child.ExitCode()) + ": " + out;
    return std::nullopt;
  }
  return out;
}

// curl's own figure for one transfer (the time from its start of the transfer to its end, which
// leaves out the program's start): bytes per second as GB/s. checkBytes is the size it must have
// moved (down or up).
double CurlRate(std::vector<std::string> argv, std::int64_t checkBytes, std::string* error) {
  argv.insert(argv.begin(), {"curl", "--http1.0", "--silent", "--show-error", "-o", "/dev/null",
                             "-w", "%{http_code} %{size_download} %{size_upload} %{time_total}"});
  const auto out = RunProgram(argv, error);
  if (!out) return 0;
  int code = 0;
  double down = 0;
  double up = 0;
  double seconds = 0;
  if (std::sscanf(out->c_str(), "%d %lf %lf %lf", &code, &down, &up, &seconds) != 4 ||
      code != 200 || std::max(down, up) != static_cast<double>(checkBytes) || seconds <= 0) {
    *error = "unexpected curl result: " + *out;
    return 0;
  }
  return static_cast<double>(checkBytes) / seconds / 1e9;
}

// ---- libcurl, loaded at run time ------------------------------------------------------------

class LibCurl {
 public:
  LibCurl() {
    handle_ = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) return;
    globalInit_ = reinterpret_cast<decltype(globalInit_)>(::dlsym(handle_, "curl_global_init"));
    init_ = reinterpret_cast<decltype(init_)>(::dlsym(handle_, "curl_easy_init"));
    setopt_ = reinterpret_cast<decltype(setopt_)>(::dlsym(handle_, "curl_easy_setopt"));
    perform_ = reinterpret_cast<decltype(perform_)>(::dlsym(handle_, "curl_easy_perform"));
    getinfo_ = reinterpret_cast<decltype(getinfo_)>(::dlsym(handle_, "curl_easy_getinfo"));
    cleanup_ = reinterpret_cast<decltype(cleanup_)>(::dlsym(handle_, "curl_easy_cleanup"));
    if (globalInit_ && init_ && setopt_ && perform_ && getinfo_ && cleanup_)
      ok_ = globalInit_(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  }
  ~LibCurl() {
    // Not unloaded: libcurl's global state (and OpenSSL's) stays for the process.
  }
  LibCurl(const LibCurl&) = delete;
  LibCurl& operator=(const LibCurl&) = delete;

  bool Ok() const { return ok_; }

  // count sequential GETs of url on one easy handle, each on a new connection; requests per
  // second, or 0 with *error set.
  double SequentialGets(const std::string& url, int count, std::string* error,
                        const std::string& caFile = {}) {
    CURL* easy = init_();
    if (easy == nullptr) {
      *error = "curl_easy_init failed";
      return 0;
    }
    std::int64_t bytes = 0;
    setopt_(easy, CURLOPT_URL, url.c_str());
    setopt_(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    setopt_(easy, CURLOPT_FORBID_REUSE, 1L);
    if (!caFile.empty()) setopt_(easy, CURLOPT_CAINFO, caFile.c_str());
    setopt_(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(kRequestTimeLimitMs));
    setopt_(easy, CURLOPT_WRITEFUNCTION, &LibCurl::Discard);
    setopt_(easy, CURLOPT_WRITEDATA, &bytes);
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
      const CURLcode rc = perform_(easy);
      long status = 0;
      getinfo_(easy, CURLINFO_RESPONSE_CODE, &status);
      if (rc != CURLE_OK || status != 200) {
        *error = "libcurl request " + std::to_string(i) + " failed: code " + std::to_string(rc) +
                 ", status " + std::to_string(status);
        cleanup_(easy);
        return 0;
      }
    }
    const double seconds = SecondsSince(start);
    cleanup_(easy);
    if (bytes != std::int64_t{count} * kSmallSize) {
      *error = "libcurl received " + std::to_string(bytes) + " bytes";
      return 0;
    }
    return count / seconds;
  }

 private:
  static std::size_t Discard(char*, std::size_t size, std::size_t n, void* user) {
    *static_cast<std::int64_t*>(user) += static_cast<std::int64_t>(size * n);
    return size * n;
  }

  void* handle_ = nullptr;
  bool ok_ = false;
  CURLcode (*globalInit_)(long) = nullptr;
  CURL* (*init_)() = nullptr;
  CURLcode (*setopt_)(CURL*, CURLoption, ...) = nullptr;
  CURLcode (*perform_)(CURL*) = nullptr;
  CURLcode (*getinfo_)(CURL*, CURLINFO, ...) = nullptr;
  void (*cleanup_)(CURL*) = nullptr;
};

// ---- the discarding peer for the POST -------------------------------------------------------

// A plain server on its own thread: for each connection, reads the request header and as many
// body bytes as its Content-Length says, drops them, answers 200 with an empty document and
// closes. Every wait is bounded.
class DiscardingPeer {
 public:
  DiscardingPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~DiscardingPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }
  DiscardingPeer(const DiscardingPeer&) = delete;
  DiscardingPeer& operator=(const DiscardingPeer&) = delete;

  std::uint16_t Port() const { return port_; }
  // Body bytes of the last request served.
  std::int64_t LastBody() const { return lastBody_; }

 private:
  // Waits for fd to become readable, looking at the stop flag every 100 ms, within limitMs.
  bool WaitReadable(int fd, int limitMs) {
    for (int waited = 0; waited < limitMs && !stop_; waited += 100) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) return true;
    }
    return false;
  }

  void Run() {
    std::vector<char> buffer(256 * 1024);
    while (!stop_) {
      if (!WaitReadable(listener_, 1000)) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      Serve(fd, buffer);
      ::close(fd);
    }
  }

  void Serve(int fd, std::vector<char>& buffer) {
    std::string header;
    std::int64_t body = 0;
    std::int64_t length = -1;
    while (!stop_) {
      if (!WaitReadable(fd, kTimeLimitMs)) return;
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) return;
      if (length < 0) {
        header.append(buffer.data(), static_cast<std::size_t>(n));
        const std::size_t end = header.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        length = ContentLength(header.substr(0, end));
        body = static_cast<std::int64_t>(header.size() - end - 4);
      } else {
        body += n;
      }
      if (length >= 0 && body >= length) break;
    }
    lastBody_ = body;
    static const char kAnswer[] = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
    (void)!::send(fd, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
  }

  static std::int64_t ContentLength(std::string header) {
    for (char& c : header) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = header.find("\r\ncontent-length:");
    return at == std::string::npos ? 0 : std::strtoll(header.c_str() + at + 17, nullptr, 10);
  }

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<std::int64_t> lastBody_{0};
  std::thread thread_;
};

// ---- the client's side ----------------------------------------------------------------------

// One GET of the 1 GiB document into a discarding stream; GB/s.
double ClientDownload(const Site& site, std::string* error, const std::string& caFile = {}) {
  THttpCli cli(nullptr);
  cli.SetSslCAFile(caFile);
  TDiscardStream sink;
  cli.SetReceiveStream(&sink);
  cli.SetTimeLimit(kTimeLimitMs);
  cli.SetURL(site.Url("/big.bin"));
  const auto start = Clock::now();
  try {
    cli.GetDocument();
  } catch (const std::exception& e) {
    *error = std::string("THttpCli download: ") + e.what();
    return 0;
  }
  const double seconds = SecondsSince(start);
  if (!caFile.empty() && cli.CtrlSocket()->SslCipher() != kCipherSuite) {
    *error = "THttpCli download: cipher " + cli.CtrlSocket()->SslCipher();
    return 0;
  }
  if (cli.ResponseCode() != 200 || sink.Written() != kDownloadSize) {
    *error = "THttpCli download: status " + std::to_string(cli.ResponseCode()) + ", " +
             std::to_string(sink.Written()) + " bytes";
    return 0;
  }
  return static_cast<double>(kDownloadSize) / seconds / 1e9;
}

// kRequestCount sequential GETs of the 1 KiB document by one component; requests per second.
double ClientGets(const Site& site, std::string* error, int count = kRequestCount,
                  const std::string& caFile = {}) {
  THttpCli cli(nullptr);
  cli.SetSslCAFile(caFile);
  TDiscardStream sink;
  cli.SetReceiveStream(&sink);
  cli.SetTimeLimit(kRequestTimeLimitMs);
  cli.SetURL(site.Url("/small.html"));
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    try {
      cli.GetDocument();
    } catch (const std::exception& e) {
      *error = "THttpCli request " + std::to_string(i) + ": " + e.what();
      return 0;
    }
  }
  const double seconds = SecondsSince(start);
  if (sink.Written() != std::int64_t{count} * kSmallSize) {
    *error = "THttpCli received " + std::to_string(sink.Written()) + " bytes";
    return 0;
  }
  return count / seconds;
}

// One POST of kPostSize bytes to the discarding peer; GB/s.
double ClientPost(DiscardingPeer& peer, std::string* error) {
  THttpCli cli(nullptr);
  TPatternStream body(kPostSize);
  cli.SetPostStream(&body);
  cli.SetSendBlockSize(HttpLargeBodyPieceSize);
  cli.SetContentTypePost("application/octet-stream");
  cli.SetTimeLimit(kTimeLimitMs);
  cli.SetURL("http://127.0.0.1:" + std::to_string(peer.Port()) + "/sink");
  const auto start = Clock::now();
  try {
    cli.RunRequest(rqPost);
  } catch (const std::exception& e) {
    *error = std::string("THttpCli post: ") + e.what();
    return 0;
  }
  const double seconds = SecondsSince(start);
  if (cli.ResponseCode() != 200 || cli.SentBytes() != kPostSize || peer.LastBody() != kPostSize) {
    *error = "THttpCli post: status " + std::to_string(cli.ResponseCode()) + ", " +
             std::to_string(peer.LastBody()) + " bytes taken by the peer";
    return 0;
  }
  return static_cast<double>(kPostSize) / seconds / 1e9;
}

// ---- references ----------------------------------------------------------------------------

// iperf3 sending kPostSize bytes in 1514-byte writes; the rate its server received at, GB/s.
double Iperf3Rate(std::string* error) {
  const std::string port = std::to_string(test::FreeTcpPort());
  // One test only (-1): no probe of the port, which it would take for its test; the client
  // retries while the server is not yet listening.
  test::ChildProcess server({"iperf3", "-s", "-1", "-B", "127.0.0.1", "-p", port});
  if (!server.Started()) {
    *error = "cannot start iperf3 (scripts/setup.sh installs it)";
    return 0;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string runError;
    const auto json = RunProgram({"iperf3", "-c", "127.0.0.1", "-p", port, "-l", "1514", "-n",
                                  std::to_string(kPostSize), "-J"},
                                 &runError);
    const std::string text = json ? *json : runError;
    if (text.find("Connection refused") == std::string::npos &&
        text.find("server is busy") == std::string::npos) {
      const auto bytes = JsonNumberAfter(text, "sum_received", "bytes");
      const auto seconds = JsonNumberAfter(text, "sum_received", "seconds");
      if (!json || !bytes || !seconds || *seconds <= 0 ||
          *bytes < 0.9 * static_cast<double>(kPostSize)) {
        *error = "unexpected iperf3 result: " + text.substr(0, 300);
        return 0;
      }
      return *bytes / *seconds / 1e9;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  *error = "iperf3 refused every connection";
  return 0;
}

// ---- the benchmarks ------------------------------------------------------------------------

// Runs reference and client alternately for the given number of rounds (the argument) and
// reports both medians (and both bests).
template <typename Reference, typename Client>
void RunPaired(benchmark::State& state, const char* unit, Reference reference, Client client) {
  const auto rounds = static_cast<int>(state.range(0));
  std::vector<double> mine;
  std::vector<double> theirs;
  for (auto _ : state) {
    for (int i = 0; i < rounds; ++i) {
      std::string error;
      const double r = reference(&error);
      const double c = error.empty() ? client(&error) : 0;
      if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
      }
      theirs.push_back(r);
      mine.push_back(c);
    }
  }
  state.counters["figure"] = Median(mine);
  state.counters["reference"] = Median(theirs);
  state.counters["best"] = *std::max_element(mine.begin(), mine.end());
  state.counters["reference_best"] = *std::max_element(theirs.begin(), theirs.end());
  state.counters["rounds"] = rounds;
  state.SetLabel(unit);
}

Site* SiteOrSkip(benchmark::State& state) {
  static Site site;  // one nginx for the whole program, stopped at exit
  if (!site.Error().empty()) {
    state.SkipWithError(("nginx: " + site.Error()).c_str());
    return nullptr;
  }
  return &site;
}

void BM_Download(benchmark::State& state) {
  Site* site = SiteOrSkip(state);
  if (site == nullptr) return;
  const std::string url = site->Url("/big.bin");
  RunPaired(
      state, "GB/s", [&](std::string* e) { return CurlRate({url}, kDownloadSize, e); },
      [&](std::string* e) { return ClientDownload(*site, e); });
}

void BM_SequentialGets(benchmark::State& state) {
  Site* site = SiteOrSkip(state);
  if (site == nullptr) return;
  static LibCurl curl;
  if (!curl.Ok()) {
    state.SkipWithError("cannot load libcurl.so.4 (scripts/setup.sh installs libcurl)");
    return;
  }
  const std::string url = site->Url("/small.html");
  RunPaired(
      state, "requests/s",
      [&](std::string* e) { return curl.SequentialGets(url, kRequestCount, e); },
      [&](std::string* e) { return ClientGets(*site, e); });
}

// The TLS site and the CA that signed its certificate, made once for the program.
struct TlsSite {
  test::TlsCertificates certs;
  std::unique_ptr<Site> site;
};

TlsSite* TlsSiteOrSkip(benchmark::State& state) {
  static TlsSite tls;
  if (!tls.certs.Ready()) {
    state.SkipWithError(("certificates: " + tls.certs.Error()).c_str());
    return nullptr;
  }
  if (!tls.site)
    tls.site = std::make_unique<Site>(
        test::NginxTls{tls.certs.Crt("good"), tls.certs.Key("good"), {}, false});
  if (!tls.site->Error().empty()) {
    state.SkipWithError(("nginx: " + tls.site->Error()).c_str());
    return nullptr;
  }
  return &tls;
}

void BM_HttpsDownload(benchmark::State& state) {
  TlsSite* tls = TlsSiteOrSkip(state);
  if (tls == nullptr) return;
  const std::string url = tls->site->Url("/big.bin");
  const std::string ca = tls->certs.Crt("ca");
  RunPaired(
      state, "GB/s",
      [&](std::string* e) {
        return CurlRate({"--cacert", ca, url}, kDownloadSize, e);
      },
      [&](std::string* e) { return ClientDownload(*tls->site, e, ca); });
}

void BM_HttpsSequentialGets(benchmark::State& state) {
  TlsSite* tls = TlsSiteOrSkip(state);
  if (tls == nullptr) return;
  static LibCurl curl;
  if (!curl.Ok()) {
    state.SkipWithError("cannot load libcurl.so.4 (scripts/setup.sh installs libcurl)");
    return;
  }
  const std::string url = tls->site->Url("/small.html");
  const std::string ca = tls->certs.Crt("ca");
  RunPaired(
      state, "requests/s",
      [&](std::string* e) { return curl.SequentialGets(url, kHttpsRequestCount, e, ca); },
      [&](std::string* e) { return ClientGets(*tls->site, e, kHttpsRequestCount, ca); });
}

// The body curl posts, a file of kPostSize bytes (sparse) that lives as long as the program.
const std::string& PostBodyFile(std::string* error) {
  static test::TempDir dir("vantrel-bench-post-");
  static const std::string path = dir.File("body.bin");
  static const bool made = [] {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool ok = fd >= 0 && ::ftruncate(fd, kPostSize) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
  }();
  if (!made) *error = "cannot create the POST body file";
  return path;
}

void BM_PostVsCurl(benchmark::State& state) {
  DiscardingPeer peer;
  std::string error;
  const std::string& body = PostBodyFile(&error);
  if (peer.Port() == 0 || !error.empty()) {
    state.SkipWithError(peer.Port() == 0 ? "the discarding peer did not start" : error.c_str());
    return;
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(peer.Port()) + "/sink";
  RunPaired(
      state, "GB/s",
      [&](std::string* e) {
        return CurlRate({"-H", "Expect:", "-H", "Content-Type: application/octet-stream",
                         "--data-binary", "@" + body, url},
                        kPostSize, e);
      },
      [&](std::string* e) { return ClientPost(peer, e); });
}

void BM_PostVsIperf3(benchmark::State& state) {
  DiscardingPeer peer;
  if (peer.Port() == 0) {
    state.SkipWithError("the discarding peer did not start");
    return;
  }
  RunPaired(state, "GB/s", &Iperf3Rate, [&](std::string* e) { return ClientPost(peer, e); });
}

BENCHMARK(BM_Download)
    ->Name("http/download_1GiB_vs_curl")
    ->Arg(5)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_SequentialGets)
    ->Name("http/get_1KiB_x5000_new_connection_vs_libcurl")
    ->Arg(5)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_HttpsDownload)
    ->Name("https/download_1GiB_tls13_vs_curl")
    ->Arg(3)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_HttpsSequentialGets)
    ->Name("https/get_1KiB_x2000_new_connection_vs_libcurl")
    ->Arg(3)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_PostVsCurl)
    ->Name("http/post_256MiB_vs_curl")
    ->Arg(3)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_PostVsIperf3)
    ->Name("http/post_256MiB_vs_iperf3_1514")
    ->Arg(3)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
}  // namespace vantrel::bench
