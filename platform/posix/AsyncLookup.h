// This is an internal header of the socket layer.
// The worker pool behind WSAAsyncGetHostByName/ByAddr (the calls themselves are in WinSock.h).
#pragma once

namespace vantrel {

// Cancels every request that has not yet written its result (the last WSACleanup). Any thread.
void CancelAllLookups();

// Requests started and not yet finished, cancelled or delivered (diagnostics). Any thread.
int PendingLookupCount();

}  // namespace vantrel
