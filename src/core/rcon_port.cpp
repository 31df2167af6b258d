#include "core/rcon_port.h"

#include <utility>

#include "net/query.h"
#include "support/text.h"

namespace tervane {

RconRequest RconRequestFor(const RestartSettings& settings, std::string address, std::uint16_t port,
                           std::u16string_view params, std::int16_t replyKind, int protocol, std::string command) {
  RconRequest r;
  r.dialect = ChooseRconDialect(replyKind, protocol, settings.rconProtocol);
  r.address = std::move(address);
  r.port = port;
  r.password = ChooseRconPassword(params, settings.rconPassword);
  r.command = std::move(command);
  return r;
}

std::string RconSayCommand(std::u16string_view text) { return "say \"" + Utf16ToUtf8(text) + "\""; }

void LoopRcon::Send(RconRequest request, Done done) {
  if (!client_) client_ = std::make_unique<RconClient>(loop_);
  client_->Send(std::move(request), std::move(done));
}

bool RconDialectGuessed(const RestartSettings& settings, std::int16_t replyKind, RconDialect dialect) {
  return !settings.rconProtocol && replyKind == kReplyNone && dialect == RconDialect::Source;
}

void SendGuessingDialect(IRcon& rcon, RconRequest request, bool guessed, IRcon::Done done) {
  if (!guessed) return rcon.Send(std::move(request), std::move(done));
  RconRequest again = request;
  rcon.Send(std::move(request), [&rcon, again = std::move(again), done = std::move(done)](const RconResult& result) mutable {
    if (result.failure != RconFailure::ConnectionRefused) return done(result);
    again.dialect = RconDialect::GoldSrc;
    rcon.Send(std::move(again), std::move(done));
  });
}

}  // namespace tervane
