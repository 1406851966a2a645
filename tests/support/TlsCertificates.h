// This is an internal header of the test support library.
// A private certificate authority and certificates made at test time with the openssl command,
// in a temporary folder removed with the object. Each name has <name>.crt and <name>.key:
//   ca          the authority (trust it through its .crt)
//   good        a.test and 127.0.0.1, signed by ca
//   wronghost   b.test only, signed by ca
//   expired     a.test and 127.0.0.1, signed by ca, valid in January 2020 only
//   selfsigned  a.test and 127.0.0.1, signed by itself
//   client      a client certificate (CN client), signed by ca
//
// Usage:
//   TlsCertificates Certs;
//   ASSERT_TRUE(Certs.Ready()) << Certs.Error();
//   Socket.SetSslCAFile(Certs.Crt("ca"));
#pragma once

#include <string>

#include "TempDir.h"

namespace vantrel::test {

class TlsCertificates {
 public:
  TlsCertificates();
  bool Ready() const { return error_.empty(); }
  // Why the certificates could not be made (with openssl's output).
  const std::string& Error() const { return error_; }
  std::string Crt(const std::string& name) const { return dir_.File(name + ".crt"); }
  std::string Key(const std::string& name) const { return dir_.File(name + ".key"); }

 private:
  TempDir dir_;
  std::string error_;
};

}  // namespace vantrel::test
