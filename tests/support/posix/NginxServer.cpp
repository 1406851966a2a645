#include "FreePort.h"
#include "TestServers.h"

namespace vantrel::test {
namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

// The listen lines and TLS directives of the server block.
std::string ListenText(std::uint16_t port, std::uint16_t plainPort, const NginxTls& tls) {
  if (tls.cert.empty()) return "    listen 127.0.0.1:" + std::to_string(port) + ";\n";
  std::string text = "    listen 127.0.0.1:" + std::to_string(port) + " ssl;\n" +
                     "    ssl_certificate " + tls.cert + ";\n" + "    ssl_certificate_key " +
                     tls.key + ";\n    ssl_protocols TLSv1.2 TLSv1.3;\n";
  if (plainPort != 0) text += "    listen 127.0.0.1:" + std::to_string(plainPort) + ";\n";
  if (!tls.clientCA.empty()) {
    text += "    ssl_client_certificate " + tls.clientCA + ";\n    ssl_verify_client on;\n";
  }
  return text;
}

}  // namespace

NginxServer::NginxServer(const std::string& extraLocations, const NginxTls& tls)
    : TestServer("nginx", "vantrel-nginx-") {
  std::string program = Require("nginx", "nginx");
  docRoot_ = dir_.File("www");
  tls_ = !tls.cert.empty();
  if (!WriteFile(docRoot_ + "/index.html", "<html><body>index</body></html>\n")) {
    error_ = "nginx: cannot write the document root";
    return;
  }
  Start(
      [&](std::uint16_t port) {
        const std::string& d = dir_.Path();
        plainPort_ = tls.plainToo && !tls.cert.empty() ? FreeTcpPort() : 0;
        std::string locations = extraLocations;
        ReplaceAll(locations, "{PLAIN}", std::to_string(plainPort_));
        ReplaceAll(locations, "{TLS}", std::to_string(port));
        // Single-process and in the foreground, with every path inside the private folder.
        std::string conf =
            "daemon off;\n"
            "master_process off;\n"
            "worker_processes 1;\n"
            "pid " +
            d +
            "/nginx.pid;\n"
            "error_log " +
            d +
            "/error.log info;\n"
            "events { worker_connections 128; }\n"
            "http {\n"
            "  access_log " +
            d +
            "/access.log;\n"
            "  client_body_temp_path " +
            d +
            "/body;\n"
            "  proxy_temp_path " +
            d +
            "/proxy;\n"
            "  fastcgi_temp_path " +
            d +
            "/fastcgi;\n"
            "  uwsgi_temp_path " +
            d +
            "/uwsgi;\n"
            "  scgi_temp_path " +
            d +
            "/scgi;\n"
            "  types { text/html html; text/plain txt; image/gif gif; }\n"
            "  default_type application/octet-stream;\n"
            "  server {\n" +
            ListenText(port, plainPort_, tls) +
            "    server_name localhost;\n"
            "    root " +
            docRoot_ + ";\n" + locations +
            "\n  }\n"
            "}\n";
        WriteFile(dir_.File("nginx.conf"), conf);
        return std::vector<std::string>{program, "-c", dir_.File("nginx.conf"), "-p",
                                        d + "/", "-e", dir_.File("error.log")};
      },
      dir_.File("error.log"));
}

bool NginxServer::AddFile(const std::string& relativePath, const std::string& contents) {
  return WriteFile(docRoot_ + "/" + relativePath, contents);
}

std::string NginxServer::Url(const std::string& path) const {
  return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(Port()) + path;
}

std::string NginxServer::AccessLog() const {
  return ReadFile(AccessLogPath());
}

std::string NginxServer::ErrorLog() const {
  return ReadFile(dir_.File("error.log"));
}

}  // namespace vantrel::test
