// The Grafana dashboard and the README's Prometheus rules ask only for metrics the program
// exports: a renamed metric breaks this test, not an operator's dashboard.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "observe/metrics.h"

namespace tervane {
namespace {

std::string Read(const std::string& relative) {
  std::ifstream in(std::string(TERVANE_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every "tervane_..." word of a text.
std::set<std::string> MetricNames(const std::string& text) {
  static const std::regex name("tervane_[a-z_]+");
  std::set<std::string> out;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), name); it != std::sregex_iterator(); ++it)
    out.insert(it->str());
  return out;
}

void CollectQueries(const nlohmann::json& j, std::vector<std::string>& out) {
  if (j.is_object()) {
    for (const auto& [key, value] : j.items()) {
      if ((key == "expr" || key == "definition") && value.is_string()) out.push_back(value);
      CollectQueries(value, out);
    }
  } else if (j.is_array()) {
    for (const auto& v : j) CollectQueries(v, out);
  }
}

TEST(Dashboard, EveryQueryUsesOnlyExportedMetrics) {
  const std::set<std::string> exported(ExportedMetricNames().begin(), ExportedMetricNames().end());
  const auto dashboard = nlohmann::json::parse(Read("docs/grafana-dashboard.json"));
  std::vector<std::string> queries;
  CollectQueries(dashboard, queries);
  ASSERT_GE(queries.size(), 10u);
  for (const std::string& q : queries) {
    const auto names = MetricNames(q);
    EXPECT_FALSE(names.empty()) << q;
    for (const std::string& n : names) EXPECT_TRUE(exported.count(n)) << n << " in " << q;
  }
}

TEST(Dashboard, TheReadmesRulesAndTablesNameOnlyExportedMetrics) {
  const std::set<std::string> exported(ExportedMetricNames().begin(), ExportedMetricNames().end());
  const std::string readme = Read("README.md");
  const std::size_t from = readme.find("## Options beyond the list: kesp.ini");
  const std::size_t to = readme.find("## Building by hand");
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  const auto names = MetricNames(readme.substr(from, to - from));
  EXPECT_GE(names.size(), 15u);
  for (const std::string& n : names) EXPECT_TRUE(exported.count(n)) << n;
  // And the other way round: every exported metric is documented.
  for (const std::string& n : exported) EXPECT_TRUE(names.count(n)) << n << " is not in the README";
}

}  // namespace
}  // namespace tervane
