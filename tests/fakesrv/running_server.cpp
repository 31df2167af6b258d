#include "running_server.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "fakesrv.h"

#ifndef FAKESRV_PATH
#error "FAKESRV_PATH names the stand-in server built with these tests"
#endif

namespace tervane::fakesrv::test {
namespace {

int counter = 0;

// A file name of this test process, with no file under it yet.
std::string FreshFile(const std::string& name) {
  std::string path = TempFile(name);
  std::remove(path.c_str());
  return path;
}

std::vector<std::string> WithAddress(std::vector<std::string> args, std::uint16_t port,
                                     bool withAddress) {
  if (withAddress) {
    args.insert(args.end(), {"+ip", "127.0.0.1", "-port", std::to_string(port)});
  }
  return args;
}

}  // namespace

std::string AfterHeader(const Bytes& bytes) {
  if (bytes.size() < 4) return {};
  return std::string(bytes.begin() + 4, bytes.end());
}

RunningServer::RunningServer(std::vector<std::string> args, StartOptions options,
                             bool withAddress)
    : port_(FreeUdpPort()),
      outputPath_(FreshFile("server" + std::to_string(++counter) + ".log")),
      process_(FAKESRV_PATH, WithAddress(std::move(args), port_, withAddress), outputPath_,
               options) {}

RunningServer::~RunningServer() {
  process_.Kill();
  std::remove(outputPath_.c_str());
}

bool RunningServer::WaitReady() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!process_.Running()) return false;
    if (Command("fakesrv ping", 200) == "fakesrv ok") return true;
  }
  return false;
}

std::optional<Bytes> RunningServer::Ask(UdpClient& client, const Bytes& bytes, int timeoutMs) {
  while (client.Receive(0)) {
  }  // nothing stale
  if (!client.SendTo(port_, bytes)) return std::nullopt;
  return client.Receive(timeoutMs);
}

std::string RunningServer::Command(const std::string& text, int timeoutMs) {
  const auto reply = Ask(control_, BuildControlDatagram(text), timeoutMs);
  return reply ? AfterHeader(*reply) : std::string();
}

std::string RunningServer::Output() const {
  std::ifstream in(outputPath_, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace tervane::fakesrv::test
