#include "TlsCertificates.h"

#include <vector>

#include "ChildProcess.h"
#include "TestServers.h"

namespace vantrel::test {
namespace {

// P-256 keys: quick to make, and every TLS peer here takes them.
constexpr const char* kScript = R"(set -e
key="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
openssl req -x509 $key -keyout ca.key -out ca.crt -days 2 -subj "/CN=Test CA"
printf 'subjectAltName=DNS:a.test,IP:127.0.0.1\n' > good.ext
printf 'subjectAltName=DNS:b.test\n' > wronghost.ext
printf 'extendedKeyUsage=clientAuth\n' > client.ext
for name in good wronghost client; do
  openssl req $key -keyout $name.key -out $name.csr -subj "/CN=$name"
  openssl x509 -req -in $name.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
    -extfile $name.ext -out $name.crt
done
# An expired certificate needs chosen dates, which only the ca command takes.
mkdir db; : > db/index; echo 01 > db/serial
printf '[ca]\ndefault_ca=x\n[x]\ndatabase=db/index\nserial=db/serial\nnew_certs_dir=db\ndefault_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n' > ca.cnf
openssl req $key -keyout expired.key -out expired.csr -subj "/CN=a.test"
openssl ca -batch -config ca.cnf -cert ca.crt -keyfile ca.key -in expired.csr -out expired.crt \
  -startdate 20200101000000Z -enddate 20200102000000Z -extfile good.ext -notext
openssl req -x509 $key -keyout selfsigned.key -out selfsigned.crt -days 2 -subj "/CN=a.test" \
  -addext 'subjectAltName=DNS:a.test,IP:127.0.0.1'
)";

}  // namespace

TlsCertificates::TlsCertificates() : dir_("vantrel-certs-") {
  if (dir_.Path().empty()) {
    error_ = "no temporary folder";
    return;
  }
  if (FindProgram("openssl").empty()) {
    error_ = "the openssl command is missing (package openssl)";
    return;
  }
  const std::string log = dir_.File("openssl.log");
  ChildProcess make({"sh", "-c", std::string("cd '") + dir_.Path() + "' && " + kScript}, log);
  if (!make.Started()) {
    error_ = make.Error();
  } else if (!make.WaitForExit(30000) || make.ExitCode() != 0) {
    error_ = "openssl failed: " + ReadFile(log);
  }
}

}  // namespace vantrel::test
