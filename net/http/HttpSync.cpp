// THttpCli's synchronous request: start, run the thread's messages until the request is over,
// then raise for a failure or a status of 400 or more.
#include "Application.h"
#include "HttpProt.h"
#include "WSocket.h"
#include "WinMessages.h"

namespace vantrel {

void THttpCli::RunRequest(THttpRequest RqType) {
  StartRequest(RqType);
  while (state_ != hsIdle) {
    // Each pump runs every waiting message, including those posted while it runs, so
    // OnRequestDone (posted when the state turns idle) has run once the loop sees hsIdle.
    // With MultiThreaded the control socket (which shares the setting) drains this thread's own
    // queue; its DrainThreadQueue is not public, RunPendingMessages reaches it.
    if (multiThreaded_)
      ctrlSocket_->RunPendingMessages();
    else
      Application().ProcessMessages();
    if (state_ == hsIdle) break;
    // Nothing pending: block until a message, socket readiness or the time limit's timer, so
    // that waiting on a silent server costs no processor time.
    if (multiThreaded_)
      WaitMessage();
    else
      Application().WaitForMessages();
  }
  if (failureCode_ != 0) throw EHttpException(failureText_, failureCode_);
  if (responseCode_ >= 400) throw EHttpException(responseText_, responseCode_);
}

}  // namespace vantrel
