#include "observe/observatory.h"

#include "support/text.h"

namespace tervane {

struct Observatory::Parts {};

Observatory::Observatory(EventLoop& loop, Servers& servers, Supervisor& supervisor, EventLog& log,
                         ObserveOptions options, ObservatoryHooks hooks)
    : loop_(loop),
      servers_(servers),
      supervisor_(supervisor),
      log_(log),
      options_(std::move(options)),
      hooks_(std::move(hooks)),
      guard_(options_.maxRestarts, options_.restartWindowMinutes),
      parts_(std::make_unique<Parts>()) {
  servers_.onStart = [this](const StartRecord& start) { OnStart(start); };
  supervisor_.onCycleEnd = [this] { OnCycleEnd(); };
}

Observatory::~Observatory() {
  servers_.onStart = nullptr;
  supervisor_.onCycleEnd = nullptr;
}

void Observatory::OnStart(const StartRecord& start) {
  if (start.index >= servers_.size()) return;
  Server& s = servers_.at(start.index);
  if (CountsAsCrash(start.reason) && guard_.RecordRestart(s.Status.recentRestarts, start.time)) {
    servers_.SetPaused(start.index, true);
    s.Status.crashLoopPaused = true;
    servers_.LogFor(start.index, FormatText(servers_.Texts().Get(ExtraMsg::CrashLoopPaused),
                                            {options_.maxRestarts, options_.restartWindowMinutes}));
    if (hooks_.save) hooks_.save();
  }
}

void Observatory::OnCycleEnd() {}

}  // namespace tervane
