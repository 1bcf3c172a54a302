// The reader of WSJT-X datagrams, given any bytes as one datagram. It must
// answer every input with a message or a reason, read nothing outside the
// datagram (the sanitizers watch) and give the same answer twice; a text it
// returns cannot be longer than the datagram it came from. It needs
// nothing of the engine: Callscope shares no code with the callbook.
#include <cstdint>
#include <cstdlib>
#include <variant>

#include "weblookup/wsjtx_datagram.h"

namespace wsjtx = callscope::wsjtx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const wsjtx::DecodeResult r = wsjtx::DecodeDatagram(data, size);
  if (wsjtx::DecodeDatagram(data, size).error != r.error) std::abort();
  if (!r.ok()) return 0;
  if (r.message.schema != 2 && r.message.schema != 3) std::abort();
  if (r.message.id.size() > size) std::abort();
  if (const auto* s = std::get_if<wsjtx::Status>(&r.message.body)) {
    if (s->dxCall.size() + s->mode.size() + s->txMessage.size() > size) std::abort();
  }
  if (const auto* q = std::get_if<wsjtx::QsoLogged>(&r.message.body)) {
    if (q->dxCall.size() > size || q->timeOff.timeKind > 2 || q->timeOn.timeKind > 2) std::abort();
  }
  return 0;
}
