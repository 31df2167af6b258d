// The part of the endpoint that is the same on every platform: properties and their rules, the
// steps of Open, the error texts and their reporting, the destination rule, and the meaning of
// a notification. The socket calls are in vel_udp_win32.cpp and vel_udp_posix.cpp.
#include "net/vel_udp.h"

#include <algorithm>

#include "support/failures.h"

namespace tervane {

namespace {

// The error texts, GBK bytes. A literal is split where a hexadecimal escape would otherwise
// swallow the letter after it.
constexpr char kTextStartup[] =
    "\xD6\xB4\xD0\xD0"
    "API\xBA\xAF\xCA\xFD'WSAStartup'\xCA\xB1\xB7\xA2\xC9\xFA Socket \xB4\xED\xCE\xF3";
constexpr char kTextCleanup[] =
    "\xD6\xB4\xD0\xD0"
    "API\xBA\xAF\xCA\xFD'WSACleanup'\xCA\xB1\xB7\xA2\xC9\xFA Socket \xB4\xED\xCE\xF3";
constexpr char kTextCreateSocket[] = "\xBD\xA8\xC1\xA2 Socket \xCA\xB1\xB7\xA2\xC9\xFA\xB4\xED\xCE\xF3";
constexpr char kTextBind[] = "\xBD\xA8\xC1\xA2 UDP \xBC\xE0\xCC\xFD\xCA\xB1\xB7\xA2\xC9\xFA\xB4\xED\xCE\xF3";
constexpr char kTextReceive[] =
    "\xBD\xD3\xCA\xD5\xCA\xFD\xBE\xDD\xCA\xB1\xB7\xA2\xC9\xFA Socket \xB4\xED\xCE\xF3";
constexpr char kTextSend[] = "\xB7\xA2\xCB\xCD\xCA\xFD\xBE\xDD\xCA\xB1\xB7\xA2\xC9\xFA Socket \xB4\xED\xCE\xF3";
constexpr char kTextLocalPort[] =
    "\xB5\xB1 Socket \xD2\xD1\xBC\xA4\xBB\xEE\xCA\xB1\xB2\xBB\xC4\xDC\xB8\xC4\xB1\xE4 LocalPort";
// "。" after the text given to OnError; "，错误码：" before the code in EError's text.
constexpr char kFullStop[] = "\xA1\xA3";
constexpr char kErrorCodeLabel[] = "\xA3\xAC\xB4\xED\xCE\xF3\xC2\xEB\xA3\xBA";

bool EndsText(char c) { return c == '\0' || c == ' ' || (c >= '\t' && c <= '\r'); }

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

}  // namespace

std::uint32_t ParseDottedIPv4(std::string_view text) {
  std::uint64_t parts[4] = {};
  int count = 0;
  std::size_t i = 0;
  for (;;) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return kAddressNone;
    int base = 10;
    if (text[i] == '0') {
      base = 8;
      if (i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
      }
    }
    const std::size_t digits = i;
    std::uint64_t value = 0;
    while (i < text.size() && DigitValue(text[i]) < base) {
      value = value * base + DigitValue(text[i]);
      if (value > 0xFFFFFFFFull) value = 0x100000000ull;  // too large for any part; stays so
      ++i;
    }
    if (base == 16 && i == digits) return kAddressNone;  // "0x" without digits
    parts[count++] = value;
    if (i >= text.size() || EndsText(text[i])) break;
    if (text[i] != '.' || count == 4) return kAddressNone;
    ++i;
  }
  std::uint64_t address = 0;
  switch (count) {
    case 1:
      if (parts[0] > 0xFFFFFFFFull) return kAddressNone;
      address = parts[0];
      break;
    case 2:
      if (parts[0] > 0xFF || parts[1] > 0xFFFFFF) return kAddressNone;
      address = parts[0] << 24 | parts[1];
      break;
    case 3:
      if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF) return kAddressNone;
      address = parts[0] << 24 | parts[1] << 16 | parts[2];
      break;
    default:
      for (std::uint64_t part : parts) {
        if (part > 0xFF) return kAddressNone;
      }
      address = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
      break;
  }
  return static_cast<std::uint32_t>(address);
}

bool ConvertDestination(std::string_view text, std::uint32_t& address) {
  address = ParseDottedIPv4(text);
  return address != kAddressNone || text == "255.255.255.255";
}

std::string FormatDottedIPv4(std::uint32_t address) {
  return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xFF) + '.' +
         std::to_string((address >> 8) & 0xFF) + '.' + std::to_string(address & 0xFF);
}

namespace {
const char* FailureText(int failure) {
  static const char* const texts[] = {kTextStartup, kTextCleanup, kTextCreateSocket, kTextBind,
                                      kTextReceive, kTextSend,    kTextLocalPort};
  return texts[failure];
}
}  // namespace

void TVelUDP::ReportError(Failure failure, int errorCode) {
  const std::string text = FailureText(static_cast<int>(failure));
  int code = errorCode;
  if (OnError) {
    TErrorEvent handler = OnError;  // the handler may replace itself
    handler(*this, text + kFullStop, code);
  }
  if (code != 0) throw EError(text + kErrorCodeLabel + std::to_string(errorCode));
}

void TVelUDP::ReportErrorQuietly(Failure failure, int errorCode) noexcept {
  try {
    const std::string text = FailureText(static_cast<int>(failure));
    int code = errorCode;
    if (OnError) OnError(*this, text + kFullStop, code);
  } catch (...) {
    // A destructor cannot raise; what the handler threw is noted instead.
    NoteCaughtFailure("UDP error report");
  }
}

void TVelUDP::Notify(Event event, int errorCode) {
  if (errorCode != 0) {
    if (event == Event::Readable) ReportError(Failure::ReceiveNotification, errorCode);
    if (event == Event::Writable) ReportError(Failure::SendNotification, errorCode);
    return;
  }
  if (event == Event::Readable) {
    ReceiveEvent handler = OnReceive;  // the handler may replace itself
    if (handler) handler(*this);
  }
}

TVelUDP::TVelUDP(EventLoop& owner) : owner_(owner) { StartPlatform(); }

TVelUDP::~TVelUDP() {
  *alive_ = false;
  if (active_) {
    CloseSocket();
    active_ = false;
  }
  StopPlatform();
}

void TVelUDP::SetLocalPort(int value) {
  if (value == localPort_) return;
  if (active_) {
    ReportError(Failure::LocalPortWhileActive, -1);
    return;
  }
  localPort_ = value;
}

void TVelUDP::SetReceiveBufferSize(int bytes) {
  if (bytes < 0) bytes = 0;
  if (bytes == receiveBufferSize_) return;
  receiveBufferSize_ = bytes;
  if (active_) ApplyReceiveBuffer();
}

void TVelUDP::ApplyReceiveBuffer() {
  if (receiveBufferSize_ > 0 && GrantedReceiveBuffer() < receiveBufferSize_)
    RequestReceiveBuffer(receiveBufferSize_);
}

int TVelUDP::ReceiveBufferGranted() { return active_ ? GrantedReceiveBuffer() : 0; }

void TVelUDP::Open() {
  if (active_) return;
  if (const Expected<void> created = CreateSocket(); !created) {
    ReportError(Failure::CreateSocket, static_cast<int>(created.Error()));
    return;
  }
  if (const Expected<void> bound = BindSocket(); !bound) {
    CloseSocket();
    ReportError(Failure::Bind, static_cast<int>(bound.Error()));
    return;
  }
  if (localPort_ == 0) localPort_ = BoundPort();
  ApplyReceiveBuffer();
  WatchSocket();
  active_ = true;
}

void TVelUDP::Close() {
  CloseSocket();
  active_ = false;
}

int TVelUDP::SendBufferTo(const void* buf, int len, std::uint32_t address, std::uint16_t port) {
  if (!active_) return 0;
  if (len < 0 || (buf == nullptr && len > 0)) return 0;
  return SendTo(buf, len, address, port);
}

void TVelUDP::SendBatch(std::span<const OutgoingDatagram> datagrams) {
  if (!active_ || datagrams.empty()) return;
  const bool whole = std::all_of(datagrams.begin(), datagrams.end(), [](const OutgoingDatagram& d) {
    return d.length >= 0 && (d.data != nullptr || d.length == 0);
  });
  if (whole) return SendMany(datagrams);
  for (const OutgoingDatagram& d : datagrams) SendBufferTo(d.data, d.length, d.address, d.port);  // each refused alone
}

int TVelUDP::ReceiveWaiting(void* buf, int size, std::uint32_t& fromAddress, std::uint16_t& fromPort) {
  ++reads_;
  fromAddress = 0;
  fromPort = 0;
  if (!active_ || buf == nullptr || size <= 0) return -1;
  return ReceiveFrom(buf, size, fromAddress, fromPort);
}

void TVelUDP::SetReceiveNews(bool on) {
  if (active_) WatchReadable(on);
}

}  // namespace tervane
