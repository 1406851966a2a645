// This is an internal header file of the socket component, you should not include this.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CustomWSocket.h"
#include "FireEvent.h"
#include "WinTypes.h"

namespace vantrel {

// The count of live components (SocketApi.cpp); removing the last one unloads the library.
void SocketComponentAdded();
void SocketComponentRemoved();

// Fmt with "%d" and "%s" filled from Args in order ("%%" is a percent sign).
std::string FormatArgs(const std::string& Fmt, const std::vector<TFormatArg>& Args);

// The timer that bounds the wait between two close attempts that would block.
constexpr UINT_PTR CloseRetryTimerId = 1;
constexpr UINT CloseRetryIntervalMs = 10;

}  // namespace vantrel
