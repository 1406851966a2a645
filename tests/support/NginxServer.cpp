#include "TestServers.h"

namespace vantrel::test {

NginxServer::NginxServer(const std::string& extraLocations)
    : TestServer("nginx", "vantrel-nginx-") {
  std::string program = Require("nginx", "nginx");
  docRoot_ = dir_.File("www");
  if (!WriteFile(docRoot_ + "/index.html", "<html><body>index</body></html>\n")) {
    error_ = "nginx: cannot write the document root";
    return;
  }
  Start(
      [&](std::uint16_t port) {
        const std::string& d = dir_.Path();
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
            "  server {\n"
            "    listen 127.0.0.1:" +
            std::to_string(port) +
            ";\n"
            "    server_name localhost;\n"
            "    root " +
            docRoot_ + ";\n" + extraLocations +
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
  return "http://127.0.0.1:" + std::to_string(Port()) + path;
}

std::string NginxServer::AccessLog() const {
  return ReadFile(AccessLogPath());
}

std::string NginxServer::ErrorLog() const {
  return ReadFile(dir_.File("error.log"));
}

}  // namespace vantrel::test
