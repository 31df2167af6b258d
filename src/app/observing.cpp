#include "app/observing.h"

#include "support/text.h"

namespace tervane {
namespace {

// The HTTP commands were confirmed by their token: every question is answered Yes.
class ConfirmedBoxes : public IMessageBoxes {
 public:
  bool Show(BoxOwner, BoxKind, const std::u16string&) override { return true; }
};

}  // namespace

std::unique_ptr<Observatory> StartObserving(EventLoop& loop, Monitor& monitor, const Path& optionsFile) {
  const Path file = optionsFile.empty() ? DataDir() + kOptionsFileName : optionsFile;
  std::vector<std::string> problems;
  bool present = false;
  ObserveOptions options = LoadObserveOptions(file, problems, present);
  if (!present) return nullptr;
  for (const std::string& problem : problems) monitor.Log().AddLog(kOptionsFileName, Utf8ToUtf16(problem));
  if (!options.Any()) return nullptr;

  ObservatoryHooks hooks;
  hooks.save = [&monitor] { monitor.Save(); };
  hooks.command = [&monitor](const std::string& verb, std::size_t row) {
    ConfirmedBoxes yes;
    if (verb == "pause" || verb == "unpause") monitor.Pause({row}, verb == "pause");
    if (verb == "restart") monitor.Restart({row}, yes);
    if (verb == "close") monitor.Close({row}, yes);
  };
  return std::make_unique<Observatory>(loop, monitor.States(), monitor.Supervision(), monitor.Log(),
                                       std::move(options), std::move(hooks));
}

}  // namespace tervane
