// THttpCli's synchronous request: start, run the thread's messages until the request is over,
// then raise for a failure or a status of 400 or more.
#include "HttpProt.h"
#include "MessagePump.h"
#include "WSocket.h"

namespace vantrel {

void THttpCli::RunRequest(THttpRequest RqType) {
  StartRequest(RqType);
  // The control socket's pump, chosen by the MultiThreaded setting both share. Each round runs
  // every waiting message, including those posted meanwhile, so OnRequestDone (posted when the
  // state turns idle) has run once the loop sees hsIdle. With nothing pending it blocks until a
  // message, socket readiness or the time limit's timer: a silent server costs no processor time.
  TMessagePump& Pump = ctrlSocket_->MessagePump();
  while (state_ != hsIdle) {
    Pump.RunPending();
    if (state_ != hsIdle) Pump.Wait();
  }
  if (failureCode_ != 0) throw EHttpException(failureText_, failureCode_);
  if (responseCode_ >= 400) throw EHttpException(responseText_, responseCode_);
}

}  // namespace vantrel
