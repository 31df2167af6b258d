#include "app/server_cli.h"

#include <filesystem>
#include <system_error>

#include "core/server_list.h"
#include "support/text.h"
#include "ui/server_editor.h"

namespace tervane {

std::string ServerCommandUsage() {
  return "usage:\n"
         "  kesp                      supervise the servers of serverlist.dat (Ctrl+C ends it;\n"
         "                            the servers keep running)\n"
         "  kesp list                 show the registered servers\n"
         "  kesp add --exe PATH [--name NAME] [--params \"RUN PARAMETERS\"]\n"
         "           [--priority normal|high|realtime] [--affinity MASK] [--hide] [--paused]\n"
         "                            register a server (the parameters must give its port,\n"
         "                            e.g. \"+ip 127.0.0.1 -port 27015\")\n"
         "  kesp remove N             remove server N (as numbered by list); its process keeps running\n";
}

namespace {

int List(const ServerList& list, const MessageTexts& texts, std::ostream& out) {
  if (list.empty()) {
    out << "no servers registered\n";
    return 0;
  }
  for (std::size_t i = 0; i < list.size(); ++i) {
    const ServerEntry& e = *list[i];
    char affinity[16];
    std::snprintf(affinity, sizeof affinity, "0x%X", static_cast<unsigned>(e.Affinity));
    out << (i + 1) << ". " << Utf16ToUtf8(e.Name.str()) << "  " << e.IPAddress.str() << ":" << e.Port
        << "  " << Utf16ToUtf8(texts.PriorityName(e.Priority)) << "  affinity " << affinity
        << (e.HideServer ? "  hidden" : "") << (e.Paused ? "  paused" : "") << "\n"
        << "   " << Utf16ToUtf8(e.FileName.str()) << " " << Utf16ToUtf8(e.Params.str()) << "\n";
  }
  return 0;
}

bool ParsePriority(const std::string& text, std::uint8_t& priority) {
  const std::string t = UpperAscii(text);
  if (t == "NORMAL" || t == "0") priority = 0;
  else if (t == "HIGH" || t == "1") priority = 1;
  else if (t == "REALTIME" || t == "REAL TIME" || t == "2") priority = 2;
  else return false;
  return true;
}

}  // namespace

int RunServerCommand(const std::vector<std::string>& args, const Path& path, IProcessControl& process,
                     int processorCount, std::ostream& out, std::ostream& err) {
  MemoryListView view;
  MessageTexts texts;
  ServerList list;
  BossKeyOptions options;
  LoadServerList(list, options, LoadContext{view, texts, {}}, path);
  if (args.empty() || args[0] == "list") return List(list, texts, out);

  if (args[0] == "add") {
    std::u16string name = kDefaultServerName;
    std::u16string params = kDefaultParams;
    std::u16string exe;
    std::uint8_t priority = 1;
    bool hide = false, paused = false;
    int processors = processorCount > kMaxProcessors ? kMaxProcessors : processorCount;
    std::uint32_t boxes = processors >= 32 ? 0xFFFFFFFFu : ((1u << processors) - 1u);
    for (std::size_t i = 1; i < args.size(); ++i) {
      const std::string& a = args[i];
      const bool hasValue = i + 1 < args.size();
      if (a == "--hide") hide = true;
      else if (a == "--paused") paused = true;
      else if (a == "--name" && hasValue) name = Utf8ToUtf16(args[++i]);
      else if (a == "--exe" && hasValue) {
        // Stored as a full path: the supervision does not run in this folder.
        std::error_code ec;
        const auto full = std::filesystem::absolute(std::filesystem::path(args[++i]), ec);
        exe = ec ? Utf8ToUtf16(args[i]) : full.lexically_normal().u16string();
      }
      else if (a == "--params" && hasValue) params = Utf8ToUtf16(args[++i]);
      else if (a == "--priority" && hasValue) {
        if (!ParsePriority(args[++i], priority)) {
          err << "unknown priority '" << args[i] << "' (normal, high or realtime)\n";
          return 2;
        }
      } else if (a == "--affinity" && hasValue) {
        const auto mask = ParseInt32(args[++i]);
        if (!mask) {
          err << "the affinity must be a number, e.g. 0x3\n";
          return 2;
        }
        boxes = static_cast<std::uint32_t>(*mask);
      } else {
        err << "unknown or incomplete option '" << a << "'\n" << ServerCommandUsage();
        return 2;
      }
    }
    EditorResult result;
    const EditorInput input{exe, params, boxes, processorCount};
    if (auto refusal = CheckServerInput(input, list, -1, process, result)) {
      err << Utf16ToUtf8(texts.Get(*refusal)) << "\n";
      return 1;
    }
    ServerEntry e = MakeNewEntry(name, result, priority, hide);
    e.Paused = paused ? 1 : 0;
    list.push_back(std::make_unique<Server>(e));
    if (!SaveServerList(list, options, path)) {
      err << "cannot write " << Utf16ToUtf8(path) << "\n";
      return 1;
    }
    out << "registered " << list.size() << ". " << Utf16ToUtf8(e.Name.str()) << " at "
        << e.IPAddress.str() << ":" << e.Port << "\n";
    return 0;
  }

  if (args[0] == "remove" && args.size() == 2) {
    const auto n = ParseInt32(args[1]);
    if (!n || *n < 1 || static_cast<std::size_t>(*n) > list.size()) {
      err << "no server number " << args[1] << "\n";
      return 1;
    }
    const std::string removed = Utf16ToUtf8(list[static_cast<std::size_t>(*n - 1)]->Name.str());
    list.erase(list.begin() + (*n - 1));
    if (!SaveServerList(list, options, path)) {
      err << "cannot write " << Utf16ToUtf8(path) << "\n";
      return 1;
    }
    out << "removed " << removed << "\n";
    return 0;
  }

  err << ServerCommandUsage();
  return 2;
}

}  // namespace tervane
