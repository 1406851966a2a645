// libFuzzer target: the response text unit in process, without a connection.
//
// The input is a header line and, after its first LF, a relocation target. Fields keep a lower
// case name and a value without blanks around it; a content range gives pieces of its value; a
// relocation always leaves a target to request and a port to connect to.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Exceptions.h"
#include "HttpParse.h"

namespace {

[[noreturn]] void Fail(const char* Why) {
  std::fprintf(stderr, "http_parse_fuzz: %s\n", Why);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string Input(reinterpret_cast<const char*>(Data), Size);
  const std::size_t Lf = Input.find('\n');
  const std::string Line = Input.substr(0, Lf);
  const std::string Location = Lf == std::string::npos ? std::string() : Input.substr(Lf + 1);

  vantrel::THttpField Field;
  if (vantrel::ParseHeaderField(Line, Field)) {
    for (const char C : Field.name)
      if (std::isupper(static_cast<unsigned char>(C))) Fail("a field name not in lower case");
    if (!Field.value.empty() && (Field.value.front() == ' ' || Field.value.back() == '\t' ||
                                 Field.value.front() == '\t' || Field.value.back() == ' '))
      Fail("blanks around a field value");
    vantrel::TContentRange Range;
    if (vantrel::ParseContentRange(Field.value, Range) &&
        (Field.value.find(Range.first) == std::string::npos ||
         Field.value.find(Range.last) == std::string::npos))
      Fail("a content range not taken from its value");
  }
  if (vantrel::IsStatusLine(Line)) {
    try {
      (void)vantrel::ParseStatusLine(Line);
    } catch (const vantrel::EConvertError&) {
    }
  }
  for (const bool ViaProxy : {false, true}) {
    vantrel::THttpTarget Target{"/doc", "host", "8080", "host", false};
    vantrel::Relocate(Location, ViaProxy, Target);
    if (Target.targetPort.empty() || Target.targetHost.empty()) Fail("nowhere to connect to");
  }
  return 0;
}
