// This is an internal header of the Vantrel program.
// The status check that the window and the headless check command share: the request URL, the
// temporary picture file, the size bands and the texts.
//
// Thread rule: a TStatusCheck and its HTTP client belong to the thread that runs the message
// loop; Fetch pumps that loop while it waits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "FreshFileStream.h"
#include "HttpProt.h"

namespace vantrel {

enum TIcqStatus : std::uint8_t { isOnline, isOffline, isUnknown };

inline constexpr char StatusServicePrefix[] = "http://wwp.icq.com/scripts/online.dll?icq=";
inline constexpr char StatusUrlSuffix[] = "&img=1";
inline constexpr char StatusFileName[] = "_icq.gif";
inline constexpr char CantConnectText[] = "Can't connect to ICQ server";
inline constexpr char InvalidUinText[] = "Invalid UIN.";
inline constexpr char MakerAddress[] = "vantrel.example.org";
// A check that has had no answer for this long fails, so the controls cannot stay disabled.
inline constexpr int StatusTimeLimitMs = 30000;

// Service prefix + Uin + "&img=1".
std::string StatusUrl(const std::string& Uin);
// Under 460 bytes: online; over 460 and under 1000: offline; anything else (exactly 460, exactly
// 1000 and more) unknown, so that every finished check shows a result.
TIcqStatus ClassifyStatusSize(std::int64_t Size);
// " : Online", " : Offline", " : Unknown".
const char* StatusSuffix(TIcqStatus Status);
// The settings the window's layout gives its HTTP client (agent, accept, no-cache, proxy port
// "80", the time limit).
void ConfigureStatusClient(THttpCli& Http);

class TStatusCheck {
 public:
  // Borrows Http, which must outlive this object.
  explicit TStatusCheck(THttpCli& Http);
  ~TStatusCheck();
  TStatusCheck(const TStatusCheck&) = delete;
  TStatusCheck& operator=(const TStatusCheck&) = delete;

  // Sets the URL for Uin, creates "_icq.gif" afresh as the receive stream (never through a link
  // of that name), runs the GET and releases the stream. Raises what the file or the request
  // raises; the stream then stays attached until Abandon.
  void Fetch(const std::string& Uin);
  // Opens "_icq.gif" for reading, takes its size and closes it; raises EInOutError.
  static std::int64_t MeasureFile();
  // Deletes "_icq.gif" (nothing happens when it does not exist).
  static void DeleteFile();
  // The clean-up after a failure: releases and detaches an attached stream, deletes the file.
  void Abandon();

 private:
  THttpCli& http_;
  std::unique_ptr<TFreshFileStream> file_;
};

}  // namespace vantrel
