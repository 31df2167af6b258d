#include "app/observing.h"

#include <algorithm>

#include "core/server_updates.h"
#include "options/kesp_ini.h"
#include "process/process_control.h"
#include "support/descriptors.h"
#include "support/text.h"

namespace tervane {

namespace {

// Whether any section names an update command (a server's section may turn off what [Updates] gives).
bool UpdatesAsked(const UpdateOptions& updates) {
  auto asks = [](const UpdateSection& s) { return (s.given & kUpdateKeyCommand) && s.values.On(); };
  return (updates.all && asks(*updates.all)) || std::any_of(updates.servers.begin(), updates.servers.end(), asks);
}

}  // namespace

std::unique_ptr<Observatory> StartObserving(EventLoop& loop, Monitor& monitor, const Path& optionsFile,
                                            std::unique_ptr<ICommandRunner>* commandRunner) {
  const Path file = optionsFile.empty() ? DataDir() + kOptionsFileName : optionsFile;
  std::vector<std::string> problems;
  // One read of the file for every section.
  std::optional<KespIni> ini = LoadKespIni(file, problems);
  if (!ini) return nullptr;
  ObserveOptions options = std::move(ini->observe);
  RestartOptions restarts = std::move(ini->restarts);
  for (const std::string& problem : problems) monitor.AddLog(kOptionsFileName, Utf8ToUtf16(problem));
  // Planned restarts change servers: the live-state model's, like the crash-loop guard; they
  // need no observer.
  if (restarts.Any()) monitor.SetRestartOptions(std::move(restarts));
  // Game updates too; their commands' runner only when one is named.
  if (commandRunner && UpdatesAsked(ini->updates)) {
    *commandRunner = MakeCommandRunner(loop);
    monitor.SetCommandRunner(commandRunner->get());
  }
  if (ini->updates.Any()) monitor.SetUpdateOptions(std::move(ini->updates));
  // Only ever turned on here: a program that always logs them keeps doing so.
  if (options.logCommands) monitor.SetLogCommands(true);
  if (!options.Any()) return nullptr;

  // The crash-loop guard pauses servers: it belongs to the live-state model, not to the observers.
  monitor.SetCrashLoopGuard(CrashLoopGuard(options.maxRestarts, options.restartWindowMinutes));
  // The HTTP endpoint shares the doors' descriptors with the control socket.
  auto takeDescriptor = [](std::string& why) {
    DoorDescriptor door = TakeDoorDescriptor();
    if (!door) why = DoorRefusal();
    return door;
  };
  return std::make_unique<Observatory>(loop, monitor, std::move(options), std::move(takeDescriptor));
}

namespace {

UpdateCheckHooks MonitorUpdateHooks(Monitor& monitor, Path outputFolder) {
  UpdateCheckHooks hooks;
  hooks.servers = [&monitor, outputFolder] {
    std::vector<UpdateCheckServer> servers;
    for (std::size_t row = 0; row < monitor.Count(); ++row) {
      const Server& s = monitor.At(row);
      const UpdateSettings& settings = monitor.UpdateSettingsOf(row);
      if (!settings.On()) continue;
      const Path exe = s.FileName.str();
      servers.push_back({s.Id, InstallationFolder(exe),
                         outputFolder.empty() ? Path() : ServerOutputFile(outputFolder, exe), s.Status.gameVersion,
                         s.Status.appId, settings});
    }
    return servers;
  };
  hooks.available = [&monitor](ServerId id, UpdateSource source, std::string detail) {
    monitor.NoteUpdateAvailable(id, source, std::move(detail));
  };
  hooks.say = [&monitor](const std::string& line) { monitor.AddLog(kMonitorName, Utf8ToUtf16(line)); };
  return hooks;
}

UpdateChecks::Options LookedAtAfterEachCycle() {
  UpdateChecks::Options options;
  options.lookMs = 0;
  return options;
}

}  // namespace

UpdateWatch::UpdateWatch(EventLoop& loop, Monitor& monitor, ICommandRunner& runner, Path outputFolder)
    : monitor_(monitor),
      checks_(loop, runner, MonitorUpdateHooks(monitor, std::move(outputFolder)), LookedAtAfterEachCycle()) {
  cycleObserver_ = monitor_.CycleEnds().Add([this] { checks_.Look(); });
}

UpdateWatch::~UpdateWatch() { monitor_.CycleEnds().Remove(cycleObserver_); }

std::unique_ptr<UpdateWatch> StartUpdateChecks(EventLoop& loop, Monitor& monitor, ICommandRunner* runner,
                                               const Path& outputFolder) {
  if (!runner) return nullptr;
  return std::make_unique<UpdateWatch>(loop, monitor, *runner, outputFolder);
}

RestartOptions LoadRestartOptions(const Path& optionsFile) {
  std::vector<std::string> problems;
  std::optional<KespIni> ini = LoadKespIni(optionsFile.empty() ? DataDir() + kOptionsFileName : optionsFile, problems);
  return ini ? std::move(ini->restarts) : RestartOptions{};
}

}  // namespace tervane
