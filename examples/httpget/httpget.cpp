// httpget: fetches a URL with THttpCli, to a file or to standard output.
//
//   httpget [options] URL
//     -o FILE        write the document to FILE (default: standard output)
//     -I             HEAD request: print the response header only
//     -d FILE        POST the contents of FILE (-T sets its content type)
//     -T TYPE        content type of the POST body
//     -x HOST[:PORT] go through an HTTP proxy
//     -U USER:PASS   proxy credentials
//     -u USER:PASS   server credentials
//     -t SECONDS     time limit of the whole request (default 60, 0 for none)
//     -A AGENT       User-Agent text
//     -i             print every response header line, not only the status line
//     -q             no status line and no progress bar
//     -v             also print the TLS version and cipher of each https connection
//     --cacert FILE  trust the CA certificate(s) in FILE instead of the system's store
//     -k, --insecure do not check the server's certificate (prints a warning)
//     --cert FILE    client certificate (PEM), with --key FILE its private key
//     -h, --help     print this help and exit
//
// The status line goes to standard error, the document to the file or standard output, and a
// progress bar (bytes, rate, percentage when the length is known) to standard error when that
// is a terminal. A failure prints its text; a status of 400 or more from the server is followed
// by that status in brackets. Exit status: 0 success, 1 bad usage, 2 the request failed, 3 a file
// error.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "HttpProt.h"

namespace {

using namespace vantrel;

std::string HumanBytes(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024.0 && u < 4) {
    bytes /= 1024.0;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
  return buf;
}

// Redrawn at most ten times a second, and once more at the end.
class ProgressBar {
 public:
  explicit ProgressBar(bool enabled) : enabled_(enabled) {}

  void Update(std::int64_t received, std::int64_t total, bool final) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!final && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(received) / seconds : 0;
    std::string line = "\r";
    if (total > 0) {
      const double fraction = static_cast<double>(received) / static_cast<double>(total);
      const int width = 30;
      const int filled = static_cast<int>(fraction * width > width ? width : fraction * width);
      line += "[" + std::string(static_cast<std::size_t>(filled), '#') +
              std::string(static_cast<std::size_t>(width - filled), '.') + "] ";
      char pct[16];
      std::snprintf(pct, sizeof pct, "%3.0f%% ", fraction * 100);
      line += pct;
      line += HumanBytes(static_cast<double>(received)) + " of " +
              HumanBytes(static_cast<double>(total));
    } else {
      line += HumanBytes(static_cast<double>(received));
    }
    line += "  " + HumanBytes(rate) + "/s   ";
    std::fputs(line.c_str(), stderr);
    if (final) std::fputs("\n", stderr);
    drawn_ = true;
  }
  bool Drawn() const { return drawn_; }

 private:
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastDraw_{};
};

constexpr char kSynopsis[] =
    "usage: httpget [-o FILE] [-I] [-d FILE [-T TYPE]] [-x HOST[:PORT]] [-U USER:PASS]\n"
    "               [-u USER:PASS] [-t SECONDS] [-A AGENT] [-i] [-q] [-v] [--cacert FILE]\n"
    "               [-k] [--cert FILE [--key FILE]] URL\n";

constexpr char kOptions[] =
    "\n"
    "Fetches URL (http or https) to a file or to standard output.\n"
    "\n"
    "  -o FILE        write the document to FILE (default: standard output)\n"
    "  -I             HEAD request: print the response header only\n"
    "  -d FILE        POST the contents of FILE (-T sets its content type)\n"
    "  -T TYPE        content type of the POST body\n"
    "  -x HOST[:PORT] go through an HTTP proxy\n"
    "  -U USER:PASS   proxy credentials\n"
    "  -u USER:PASS   server credentials\n"
    "  -t SECONDS     time limit of the whole request (default 60, 0 for none)\n"
    "  -A AGENT       User-Agent text\n"
    "  -i             print every response header line, not only the status line\n"
    "  -q             no status line and no progress bar\n"
    "  -v             also print the TLS version and cipher of each https connection\n"
    "  --cacert FILE  trust the CA certificate(s) in FILE instead of the system's store\n"
    "  -k, --insecure do not check the server's certificate (prints a warning)\n"
    "  --cert FILE    client certificate (PEM), with --key FILE its private key\n"
    "  -h, --help     print this help and exit\n"
    "\n"
    "Exit status: 0 success, 1 bad usage, 2 the request failed, 3 a file error.\n";

// A usage error: what was wrong, then the synopsis, on standard error.
int UsageError(const std::string& what) {
  if (!what.empty()) std::fprintf(stderr, "httpget: %s\n", what.c_str());
  std::fputs(kSynopsis, stderr);
  return 1;
}

// A whole number of seconds the time limit can hold in milliseconds; false for anything else.
bool ParseSeconds(const char* text, int& seconds) {
  if (*text == '\0') return false;
  long long value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > 2147483) return false;
  }
  seconds = static_cast<int>(value);
  return true;
}

void SplitCredentials(const std::string& text, std::string& user, std::string& pass) {
  const std::size_t colon = text.find(':');
  user = text.substr(0, colon);
  pass = colon == std::string::npos ? std::string() : text.substr(colon + 1);
}

}  // namespace

int main(int argc, char** argv) {
  std::string output, postFile, postType, proxy, proxyCred, cred, agent, caFile, certFile, keyFile;
  int seconds = 60;
  bool head = false, quiet = false, allHeaders = false, verbose = false, insecure = false;
  // Long options without a letter of their own.
  enum : int { kCaCert = 256, kCert, kKey };
  static const option kLongOptions[] = {{"help", no_argument, nullptr, 'h'},
                                        {"insecure", no_argument, nullptr, 'k'},
                                        {"cacert", required_argument, nullptr, kCaCert},
                                        {"cert", required_argument, nullptr, kCert},
                                        {"key", required_argument, nullptr, kKey},
                                        {nullptr, 0, nullptr, 0}};
  opterr = 0;  // the errors are worded below
  int opt;
  while ((opt = getopt_long(argc, argv, ":o:Id:T:x:U:u:t:A:iqvkh", kLongOptions, nullptr)) != -1) {
    switch (opt) {
      case kCaCert:
        caFile = optarg;
        break;
      case kCert:
        certFile = optarg;
        break;
      case kKey:
        keyFile = optarg;
        break;
      case 'k':
        insecure = true;
        break;
      case 'v':
        verbose = true;
        break;
      case 'o':
        output = optarg;
        break;
      case 'I':
        head = true;
        break;
      case 'd':
        postFile = optarg;
        break;
      case 'T':
        postType = optarg;
        break;
      case 'x':
        proxy = optarg;
        break;
      case 'U':
        proxyCred = optarg;
        break;
      case 'u':
        cred = optarg;
        break;
      case 't':
        if (!ParseSeconds(optarg, seconds))
          return UsageError(std::string("invalid value for -t: '") + optarg +
                            "' (a whole number of seconds, at most 2147483)");
        break;
      case 'A':
        agent = optarg;
        break;
      case 'i':
        allHeaders = true;
        break;
      case 'q':
        quiet = true;
        break;
      case 'h':
        std::fputs(kSynopsis, stdout);
        std::fputs(kOptions, stdout);
        return 0;
      case ':':
        if (optopt >= kCaCert)
          return UsageError(std::string("option ") + argv[optind - 1] + " needs a value");
        return UsageError(std::string("option -") + static_cast<char>(optopt) + " needs a value");
      default:
        if (optopt != 0)
          return UsageError(std::string("unknown option -") + static_cast<char>(optopt));
        return UsageError(std::string("unknown option ") + argv[optind - 1]);
    }
  }
  if (optind != argc - 1) return UsageError(optind < argc ? "one URL expected" : "no URL given");
  if (head && !postFile.empty()) return UsageError("-I and -d cannot be used together");
  if (!keyFile.empty() && certFile.empty()) return UsageError("--key needs --cert");

  THttpCli cli(nullptr);
  cli.SetURL(argv[optind]);
  cli.SetTimeLimit(seconds * 1000);
  if (!agent.empty()) cli.SetAgent(agent);
  cli.SetAccept("*/*");
  if (!proxy.empty()) cli.SetProxy(proxy);
  if (!caFile.empty()) cli.SetSslCAFile(caFile);
  cli.SetSslCertFile(certFile);
  cli.SetSslKeyFile(keyFile);
  if (insecure) {
    cli.SetSslVerifyPeer(false);
    std::fputs("httpget: warning: --insecure: the server's certificate is not checked\n", stderr);
  }
  if (!proxyCred.empty()) {
    std::string user, pass;
    SplitCredentials(proxyCred, user, pass);
    cli.SetProxyUsername(user);
    cli.SetProxyPassword(pass);
  }
  if (!cred.empty()) {
    std::string user, pass;
    SplitCredentials(cred, user, pass);
    cli.SetUsername(user);
    cli.SetPassword(pass);
  }

  std::unique_ptr<TStream> body;
  std::unique_ptr<TStream> sink;
  try {
    if (!postFile.empty()) {
      body = std::make_unique<TFileStream>(postFile, fmOpenRead);
      cli.SetPostStream(body.get());
      if (!postType.empty()) cli.SetContentTypePost(postType);
    }
    if (!head) {
      if (output.empty() || output == "-")
        sink = std::make_unique<TStdOutputStream>();
      else
        sink = std::make_unique<TFileStream>(output, fmCreate);
      cli.SetReceiveStream(sink.get());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "httpget: %s\n", e.what());
    return 3;
  }

  const bool showProgress = !quiet && !head && isatty(STDERR_FILENO) != 0;
  ProgressBar bar(showProgress);
  cli.OnHeaderData = [&](TObject*) {
    if (quiet) return;
    const std::string& line = cli.CurrentLine();
    const bool status = line.rfind("HTTP/1.0", 0) == 0 || line.rfind("HTTP/1.1", 0) == 0;
    if (status || allHeaders || head) std::fprintf(stderr, "%s\n", cli.CurrentLine().c_str());
  };
  cli.OnSessionConnected = [&](TObject*) {
    const TWSocket& socket = *cli.CtrlSocket();
    if (verbose && !quiet && !socket.SslVersion().empty())
      std::fprintf(stderr, "TLS: %s, %s\n", socket.SslVersion().c_str(),
                   socket.SslCipher().c_str());
  };
  cli.OnLocationChange = [&](TObject*) {
    if (!quiet) std::fprintf(stderr, "-> %s\n", cli.CurrentLocation().c_str());
  };
  cli.OnDocData = [&](TObject*, const char*, int) {
    bar.Update(cli.ReceivedBytes(), cli.DocumentLength(), false);
  };

  // A server's own status is told apart from a failure that never got one (lookup, connection,
  // SOCKS, time limit): only the first is followed by "(status)".
  std::uint16_t doneError = 0;
  cli.OnRequestDone = [&doneError](TObject*, THttpRequest, std::uint16_t error) {
    doneError = error;
  };

  int status = 0;
  try {
    cli.RunRequest(head ? rqHead : (postFile.empty() ? rqGet : rqPost));
  } catch (const EHttpException& e) {
    if (bar.Drawn()) std::fputs("\n", stderr);
    if (doneError == 0 && e.HttpCode() >= 400)
      std::fprintf(stderr, "httpget: %s (%d)\n", e.what(), e.HttpCode());
    else
      std::fprintf(stderr, "httpget: %s\n", e.what());
    status = 2;
  } catch (const std::exception& e) {
    if (bar.Drawn()) std::fputs("\n", stderr);
    std::fprintf(stderr, "httpget: %s\n", e.what());
    status = 2;
  }
  if (status == 0) {
    bar.Update(cli.ReceivedBytes(), cli.DocumentLength(), true);
    if (!head && cli.ResponseCode() == 0 && cli.ResponseHeader().Count() == 0 && !quiet)
      std::fprintf(stderr, "(no response header)\n");
  }
  sink.reset();
  if (status != 0 && !output.empty() && output != "-") DeleteFile(output);
  return status;
}
