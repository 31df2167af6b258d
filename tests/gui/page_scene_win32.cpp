// Sets the scene of the status page's check in a browser (tests/observe/status_page_check.py)
// for kesp.exe: four stand-ins (steady answers, quiet never answers, crasher exits at once,
// stopper takes RCON with the password given but ignores its stop command) and kesp.ini with
// the endpoint and the token given, and the stopper's StopCommand and StopSeconds. Writes the endpoint's port to
// "<folder>\port", then waits until "<folder>\done" appears (at most ten minutes) and ends
// kesp.exe and the stand-ins.
#include <cstdio>
#include <fstream>

#include "gui_driver_win32.h"
#include "support/text.h"

using namespace tervane;
using namespace tervane::gui;

int wmain(int argc, wchar_t** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: tervane_page_scene FOLDER TOKEN RCON-PASSWORD STOP-SECONDS\n");
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  const std::wstring token = argv[2];
  const std::wstring password = argv[3];
  const std::wstring stopSeconds = argv[4];
  Scene scene;
  scene.AddServer("steady");
  ServerEntry& quiet = scene.AddServer("quiet");
  quiet.Params.assign(quiet.Params.str() + u" -fakesrv.silent");
  ServerEntry& crasher = scene.AddServer("crasher");
  crasher.Params.assign(crasher.Params.str() + u" -fakesrv.exit-after 0");
  ServerEntry& stopper = scene.AddServer("stopper");
  stopper.Params.assign(stopper.Params.str() + u" +rcon_password " + std::u16string(password.begin(), password.end()) +
                        u" -fakesrv.ignorequit");
  scene.SaveList();
  const int port = FreeUdpPort();
  {
    std::ofstream ini(scene.Dir() / "kesp.ini", std::ios::binary);
    ini << "[Options]\r\nHttpListen=127.0.0.1:" << port << "\r\nHttpToken=" << std::string(token.begin(), token.end())
        << "\r\n[Server stopper]\r\nStopCommand=quit\r\nStopSeconds="
        << std::string(stopSeconds.begin(), stopSeconds.end()) << "\r\n";
  }
  if (!scene.StartKesp(200)) {
    std::fprintf(stderr, "kesp.exe showed no window\n");
    return 1;
  }
  std::ofstream(folder / "port.tmp") << port;
  std::filesystem::rename(folder / "port.tmp", folder / "port");
  return WaitFor([&] { return std::filesystem::exists(folder / "done"); }, std::chrono::minutes(10)) ? 0 : 1;
}
