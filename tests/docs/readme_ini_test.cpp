// Every kesp.ini example of the README, read by the program's own reader: an operator who
// copies one gets no "kesp.ini:" line, and the Windows guide's (the zip's README.txt) turns on
// the endpoint, the alerts, the guard and a planned restart.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "options/kesp_ini.h"
#include "support/text.h"

namespace tervane {
namespace {

TEST(ReadmeIni, EveryExampleIsReadWithoutAProblem) {
  std::ifstream readme(std::string(TERVANE_SOURCE_DIR) + "/README.md", std::ios::binary);
  std::string line, section, block;
  bool inIni = false, inOther = false;
  int blocks = 0, windows = 0;
  while (std::getline(readme, line)) {
    if (line.starts_with("## ") && !inIni && !inOther) section = line.substr(3);
    if (line == "```ini" && !inOther) {
      inIni = true;
    } else if (line.starts_with("```") && !inIni) {
      inOther = !inOther;
    } else if (line.starts_with("```")) {
      inIni = false;
      std::vector<std::string> problems;
      const KespIni ini = ParseKespIni(Utf8ToUtf16(block), problems);
      EXPECT_THAT(problems, testing::IsEmpty()) << "in \"" << section << "\":\n" << block;
      ++blocks;
      if (section == "Using Tervane on Windows") {
        ++windows;
        EXPECT_TRUE(ini.observe.httpListen && !ini.observe.httpToken.empty() && !ini.observe.webhookUrl.empty() &&
                    ini.observe.maxRestarts > 0)
            << "the endpoint with its token, alerts and the guard:\n" << block;
        EXPECT_TRUE(ini.restarts.all && ini.restarts.all->values.Scheduled() && ini.restarts.servers.size() == 1)
            << "a planned restart, and a server's own section:\n" << block;
      }
      block.clear();
    } else if (inIni) {
      block += line + "\n";
    }
  }
  EXPECT_GE(blocks, 4) << "the README's kesp.ini examples";
  EXPECT_EQ(windows, 1) << "one kesp.ini example in the Windows guide";
}

}  // namespace
}  // namespace tervane
