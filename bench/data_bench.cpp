// The data layer's hot paths: reading a reply, reading the run parameters, and loading and
// saving a list of 1,000 servers.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/server_list.h"
#include "fakesrv.h"
#include "net/query.h"
#include "process/params.h"

namespace {

using namespace tervane;

// A whole reply of a Source server, as the stand-in server builds it.
std::vector<std::uint8_t> InfoReply() {
  fakesrv::Settings s;
  s.name = "Tervane Test Server #1";
  s.description = "Counter-Strike: Source";
  s.protocol = 17;
  s.appId = 240;
  s.players = 12;
  s.vac = true;
  return fakesrv::BuildInfoReply(s);
}

void BM_ParseInfoReply(benchmark::State& state) {
  const auto reply = InfoReply();
  for (auto _ : state) {
    auto parsed = ParseDatagram(reply, "127.0.0.1", 27015, 40000);
    benchmark::DoNotOptimize(parsed);
  }
}
BENCHMARK(BM_ParseInfoReply);

const std::u16string kParams =
    u"-game cstrike +servercfgfile server.cfg +maxplayers 32 +map de_dust2 -port 27015 -insecure "
    u"+sv_lan 0 -noipx -console +ip 127.0.0.1";

void BM_GetServerPort(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(GetServerPort(kParams));
}
BENCHMARK(BM_GetServerPort);

void BM_GetServerAddress(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(GetServerAddress(kParams));
}
BENCHMARK(BM_GetServerAddress);

ServerList ThousandServers() {
  ServerList list;
  for (int i = 0; i < 1000; ++i) {
    auto e = std::make_unique<Server>(NewServerEntry());
    std::string n = std::to_string(i);
    e->Name.assign(std::u16string(n.begin(), n.end()) + u"# Server");
    e->FileName.assign(u"/srv/game" + std::u16string(n.begin(), n.end()) + u"/hlds_linux");
    e->Params.assign(kParams);
    list.push_back(std::move(e));
  }
  return list;
}

std::filesystem::path BenchFile() {
  return std::filesystem::temp_directory_path() / "tervane-bench-serverlist.dat";
}

void BM_SaveThousandServers(benchmark::State& state) {
  const ServerList list = ThousandServers();
  const Path path = BenchFile().u16string();
  for (auto _ : state) SaveServerList(list, BossKeyOptions{}, path);
  std::filesystem::remove(BenchFile());
}
BENCHMARK(BM_SaveThousandServers)->Unit(benchmark::kMillisecond);

void BM_LoadThousandServers(benchmark::State& state) {
  const Path path = BenchFile().u16string();
  SaveServerList(ThousandServers(), BossKeyOptions{}, path);
  for (auto _ : state) {
    LoadedList loaded = LoadServerList(path);
    benchmark::DoNotOptimize(loaded.servers.data());
  }
  std::filesystem::remove(BenchFile());
}
BENCHMARK(BM_LoadThousandServers)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
