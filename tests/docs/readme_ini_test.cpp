// Every kesp.ini example of the README, read by the program's own reader: an operator who
// copies one gets no "kesp.ini:" line, and the Windows guide's example (the zip's README.txt)
// turns on each thing it stands for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "options/kesp_ini.h"
#include "support/text.h"

namespace tervane {
namespace {

std::string Readme() {
  std::ifstream in(std::string(TERVANE_SOURCE_DIR) + "/README.md", std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct IniBlock {
  std::string section;  // the "## " section it stands in
  std::string text;
};

std::vector<IniBlock> IniBlocks(const std::string& readme) {
  std::vector<IniBlock> out;
  std::string section;
  std::istringstream lines(readme);
  std::string line;
  bool inIni = false, inOther = false;
  while (std::getline(lines, line)) {
    if (inIni || inOther) {
      if (line.starts_with("```")) inIni = inOther = false;
      else if (inIni) out.back().text += line + "\n";
    } else if (line == "```ini") {
      inIni = true;
      out.push_back({section, ""});
    } else if (line.starts_with("```")) {
      inOther = true;
    } else if (line.starts_with("## ")) {
      section = line.substr(3);
    }
  }
  return out;
}

KespIni Read(const std::string& text, std::vector<std::string>& problems) {
  return ParseKespIni(Utf8ToUtf16(text), problems);
}

TEST(ReadmeIni, EveryExampleIsReadWithoutAProblem) {
  const std::vector<IniBlock> blocks = IniBlocks(Readme());
  ASSERT_GE(blocks.size(), 4u) << "the README's kesp.ini examples";
  for (const IniBlock& block : blocks) {
    std::vector<std::string> problems;
    Read(block.text, problems);
    EXPECT_THAT(problems, testing::IsEmpty()) << "in \"" << block.section << "\":\n" << block.text;
  }
}

TEST(ReadmeIni, TheWindowsGuidesExampleTurnsOnWhatItSays) {
  std::vector<std::string> problems;
  KespIni ini;
  int found = 0;
  for (const IniBlock& block : IniBlocks(Readme()))
    if (block.section == "Using Tervane on Windows" && found++ == 0) ini = Read(block.text, problems);
  ASSERT_EQ(found, 1) << "one kesp.ini example in the Windows guide";
  EXPECT_TRUE(ini.observe.httpListen && !ini.observe.httpToken.empty()) << "the endpoint, with a token";
  EXPECT_FALSE(ini.observe.webhookUrl.empty()) << "alerts";
  EXPECT_GT(ini.observe.maxRestarts, 0) << "the crash-loop guard";
  ASSERT_TRUE(ini.restarts.all) << "[Restarts]";
  EXPECT_TRUE(ini.restarts.all->values.Scheduled() && !ini.restarts.all->values.stopCommand.empty())
      << "a planned restart with its stop command";
  EXPECT_EQ(ini.restarts.servers.size(), 1u) << "a [Server <name>] section";
}

}  // namespace
}  // namespace tervane
