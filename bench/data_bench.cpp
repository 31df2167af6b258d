// The data layer's hot paths: reading a reply, reading the run parameters, and loading and
// saving a list of 1,000 servers.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/server_list.h"
#include "net/query.h"
#include "process/params.h"

namespace {

using namespace tervane;

std::vector<std::uint8_t> InfoReply() {
  std::vector<std::uint8_t> b{0xFF, 0xFF, 0xFF, 0xFF, 'I', 17};
  for (const char* s : {"Tervane Test Server #1", "de_dust2", "cstrike", "Counter-Strike: Source"}) {
    b.insert(b.end(), s, s + std::char_traits<char>::length(s));
    b.push_back(0);
  }
  for (int x : {240, 0, 12, 32, 0, int{'d'}, int{'l'}, 0, 1}) b.push_back(static_cast<std::uint8_t>(x));
  return b;
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
  MessageTexts texts;
  for (auto _ : state) {
    MemoryListView view;
    ServerList list;
    BossKeyOptions options;
    LoadServerList(list, options, LoadContext{view, texts, {}}, path);
    benchmark::DoNotOptimize(list.data());
  }
  std::filesystem::remove(BenchFile());
}
BENCHMARK(BM_LoadThousandServers)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
