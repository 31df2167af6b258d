// The RCON port of the live-state model: what a command to a server is sent as (its address,
// dialect and password), and the client it goes through. The exchanges themselves are net/rcon's.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/restart_settings.h"
#include "net/rcon.h"

namespace tervane {

// The RCON request of a command to a server: its own address and port, the dialect its query
// answer shows unless RconProtocol names one, the password of its run parameters or else the
// configured one.
RconRequest RconRequestFor(const RestartSettings& settings, std::string address, std::uint16_t port,
                           std::u16string_view params, std::int16_t replyKind, int protocol, std::string command);
// say "<text>" in UTF-8: the quotes keep a ';' of the text from ending the command. The text
// holds no quote or control character (RestartWarnText refuses them).
std::string RconSayCommand(std::u16string_view text);

// The RCON the live-state model sends its warnings and stop commands through: the monitor's
// client, whose exchanges run on threads of their own; a fake in unit tests. done runs later,
// on the loop's thread, exactly once.
class IRcon {
 public:
  using Done = std::function<void(const RconResult& result)>;
  virtual ~IRcon() = default;
  virtual void Send(RconRequest request, Done done) = 0;
};

// The RCON client on the loop, made when first used: without planned restarts or an RCON
// command its threads are never started.
class LoopRcon final : public IRcon {
 public:
  explicit LoopRcon(EventLoop& loop) : loop_(loop) {}
  void Send(RconRequest request, Done done) override;

 private:
  EventLoop& loop_;
  std::unique_ptr<RconClient> client_;
};

// Whether a request's dialect is only a guess: no RconProtocol set and no answer to the query
// yet, so Source was taken for want of knowing.
bool RconDialectGuessed(const RestartSettings& settings, std::int16_t replyKind, RconDialect dialect);
// Sends the request; one whose dialect was guessed and whose Source connection was refused is
// tried again as GoldSrc (nothing listens for Source: a GoldSrc server), within the same time.
void SendGuessingDialect(IRcon& rcon, RconRequest request, bool guessed, IRcon::Done done);

}  // namespace tervane
