// This is a public header file.
// The Windows types and message numbers: the system's own (windows.h), and the message record the
// components use (MessageRecord.h).
//
// windows.h maps many call names to their "A" or "W" form with macros. The calls the components
// make keep those macros, so they reach the ANSI calls; names the framework declares itself are
// freed from them here. Include this header, never windows.h directly, so that every file sees
// the same names.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// Framework functions of the same names (Streams.h, the status check).
#undef DeleteFile

#include "MessageRecord.h"
