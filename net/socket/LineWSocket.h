// This is an internal header file of the socket component, included by WSocket.h: include
// WSocket.h, not this file. Its properties are published by TWSocket.
//
// TCustomLineWSocket: the optional line mode. With LineMode off (and nothing held from a line
// mode phase) it behaves exactly as the layers below it. With LineMode on, received bytes
// are collected in a buffer of the component and OnDataAvailable fires once per complete line, a
// line being everything up to and including LineEnd; the handler reads the line with ReadText or
// ReadData (which then return the line's bytes instead of network bytes) and is called again
// while it leaves part of the line unread. LineEcho sends every received byte back to the peer;
// LineEdit applies backspace and tab editing to the received bytes before lines are cut.
//
//   Socket.SetLineMode(true);
//   Socket.OnDataAvailable = [&](TObject*, std::uint16_t) {
//     const std::string Line = Socket.ReadText();  // "text\r\n"
//   };
//
// Read a line with ReadText, or with ReadData of at most RcvdCount() bytes: when no line is
// pending (RcvdCount() is 0, as in the one OnDataAvailable that follows a SOCKS connection),
// ReadData reads from the network. The last line of a connection, without its end marker, is
// delivered before OnSessionClosed when an OnSessionClosed handler is set; every byte still held
// when a connection closes is discarded at that close.
//
// LineLimit (0: none) bounds a line: a line longer than LineLimit bytes (end marker included) is
// never delivered. Its bytes are dropped, up to and including its end marker whenever that comes,
// and OnLineTooLong fires once for it, so a peer that never sends a line end cannot make the
// component hold more than about LineLimit bytes plus one receive.
//
// Thread rule: as for the core (CustomWSocket.h), every member is called on the thread that
// created the component. Ownership: the component owns its line buffer; texts are copied.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "LineBuffer.h"
#include "SslWSocket.h"

namespace vantrel {

// Posted by the component to its own window (wParam 0, lParam 0) when LineMode or LineEnd changes
// while bytes are held; its handling hands the held bytes out in the current mode.
constexpr UINT MsgDrainLineBuffer = WM_USER + 20;

class TCustomLineWSocket : public TCustomSslWSocket {
 public:
  // LineEnd CR LF, LineMode, LineEcho and LineEdit off, no line limit.
  explicit TCustomLineWSocket(TComponent* Owner);

 protected:
  // Properties, published by TWSocket.
  // Line mode on or off. Switching it while bytes are held posts MsgDrainLineBuffer: switched
  // off, the held bytes are read first (RcvdCount counts them) and OnDataAvailable fires for them
  // when the message loop next runs; switched on, the held bytes are searched for lines again.
  bool LineMode() const { return LineMode_; }
  virtual void SetLineMode(bool Value);
  // The end marker, compared byte for byte, any length; empty means no line cutting (line mode
  // then behaves as if it were off). A change takes effect at the next search.
  const std::string& LineEnd() const { return LineEnd_; }
  void SetLineEnd(const std::string& Value);
  // Send every received byte back to the peer (edited, when LineEdit is on).
  bool LineEcho() const { return LineEcho_; }
  void SetLineEcho(bool Value) { LineEcho_ = Value; }
  // Backspace (0x08) erases the byte before it, tab (0x09) becomes spaces up to the next multiple
  // of 8 counted from the start of the held bytes; neither is kept.
  bool LineEdit() const { return LineEdit_; }
  void SetLineEdit(bool Value) { LineEdit_ = Value; }
  // Longest line delivered, in bytes with its end marker; 0 (the default) or less: no limit.
  std::int32_t LineLimit() const { return LineLimit_; }
  void SetLineLimit(std::int32_t Value) { LineLimit_ = Value; }

  // Overrides of the layers below.
  // Handles MsgDrainLineBuffer (exceptions go to ProcessBgException); anything else as below.
  void HandleWindowMessage(TMessage& Msg) override;
  // Line mode: the unread bytes of the current line. Off: the held bytes while there are any,
  // else the count of the layers below.
  std::int32_t RcvdCount() override;
  // Line mode: cuts the received bytes into lines and fires OnDataAvailable once per line.
  bool FireDataAvailable(std::uint16_t Error) override;
  // Delivers the held bytes as the last line (line mode on), releases the buffer, then fires
  // OnSessionClosed.
  void FireSessionClosed(std::uint16_t Error) override;
  // Serves the current line (line mode), or the held bytes (line mode off), before the socket's
  // own bytes; Flags are ignored for held bytes.
  std::int32_t RecvRaw(void* Buffer, std::int32_t Len, std::int32_t Flags) override;
  // Also discards the bytes held for the closed connection.
  void ResetToDefaults() override;

  // Edits the Count bytes just received, which follow the LineBufferCount held bytes. Bytes of a
  // line already cut are never edited. Afterwards the held bytes up to the first changed one are
  // counted in LineBufferCount and Count gives the edited bytes from there on; Echo receives what
  // to send back when LineEcho is on.
  virtual void EditReceivedBytes(std::int32_t& Count, std::string& Echo);
  // OnLineTooLong: a line longer than LineLimit was dropped.
  virtual void FireLineTooLong();

  // Hands the held bytes out in the current mode (the handling of MsgDrainLineBuffer).
  void DrainLineBuffer();

  std::int32_t LineBufferCount() const { return Held_.Count(); }
  std::int32_t LineLength() const { return LineLength_; }

 private:
  // Line mode is on and cuts lines.
  bool LineCutting() const { return LineMode_ && !LineEnd_.empty(); }
  // Reads what is waiting (plaintext over TLS; the SOCKS layer's leftover bytes first), edits and
  // echoes it, and delivers the complete lines.
  void ReceiveLines();
  // Delivers every complete line held, in order, while line cutting stays on. AtClose also runs
  // inside another delivery (a handler that closes the connection). Returns true when line
  // cutting is still on and no line is pending.
  bool DeliverLines(bool AtClose = false);
  // Calls the application's handler while the current line is not read; drops it when no
  // handler is set.
  void DeliverCurrentLine();
  // Drops what a line longer than LineLimit has left in the buffer.
  void EnforceLineLimit();
  // The held bytes (line mode on, not in a line that is being dropped) become the last line.
  void DeliverLastLine();
  // The held bytes of an earlier socket are never handed out with the current one's.
  void DropStaleLineBytes();
  void ReleaseLineBuffer();
  void PostDrain();

  TLineBuffer Held_;
  std::int32_t LineLength_ = 0;  // unread bytes of the current line, which starts the held bytes
  bool LineMode_ = false;
  std::string LineEnd_;
  bool LineEcho_ = false;
  bool LineEdit_ = false;
  std::int32_t LineLimit_ = 0;

  // The held bytes belong to a line longer than LineLimit: dropped up to its end marker.
  bool LineSkipping_ = false;
  // The socket the held bytes came from.
  SOCKET LineSocket_ = INVALID_SOCKET;
  // Counts the releases of the buffer, so that a delivery notices a close made by a handler.
  std::uint32_t LineGeneration_ = 0;
  // A line reception reads from the network: RecvRaw passes straight down.
  bool LineFetching_ = false;
  // Complete lines are being delivered: a nested reception only adds bytes.
  bool LineDelivering_ = false;
};

}  // namespace vantrel
