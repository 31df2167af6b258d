#include <gtest/gtest.h>

#include "process/params.h"

namespace tervane {
namespace {

std::string Local() { return "192.0.2.7"; }
std::string Address(std::u16string_view params) { return GetServerAddress(params, Local); }

TEST(GetServerPort, KeysAndDefault) {
  EXPECT_EQ(GetServerPort(u"-game cstrike +maxplayers 32 +map de_dust2"), 27015);
  EXPECT_EQ(GetServerPort(u"-PORT 27016"), 27016);
  EXPECT_EQ(GetServerPort(u"+Port 27017"), 27017);
  EXPECT_EQ(GetServerPort(u"+port 27017 -port 27018"), 27018) << "-port wins wherever it stands";
  EXPECT_EQ(GetServerPort(u"-port 27018 +port 27017"), 27018);
  EXPECT_EQ(GetServerPort(u"-port   27016 -insecure"), 27016);
  EXPECT_EQ(GetServerPort(u"-game x -port"), 27015) << "no blank after the key: no key";
  EXPECT_EQ(GetServerPort(u""), 27015);
}

TEST(GetServerPort, ValueSyntax) {
  EXPECT_EQ(GetServerPort(u"-port \"27016\""), 27016);
  EXPECT_EQ(GetServerPort(u"-port abc"), 0);
  EXPECT_EQ(GetServerPort(u"-port 27015x"), 0);
  EXPECT_EQ(GetServerPort(u"-port \"\""), 0);
  EXPECT_EQ(GetServerPort(u"-port $6987"), 27015);
  EXPECT_EQ(GetServerPort(u"-port 0x6987"), 27015);
  EXPECT_EQ(GetServerPort(u"-port -5"), -5);
  EXPECT_EQ(GetServerPort(u"-port 70000"), 70000) << "callers keep the low 16 bits";
  EXPECT_EQ(GetServerPort(u"-port "), 0) << "a key with nothing after it";
  EXPECT_EQ(GetServerPort(u"-port 99999999999"), 0);
}

TEST(GetServerAddress, KeysQuotesAndLength) {
  EXPECT_EQ(Address(u"-game cstrike +maxplayers 32"), "192.0.2.7");
  EXPECT_EQ(Address(u"+ip 10.0.0.5 -port 27015"), "10.0.0.5");
  EXPECT_EQ(Address(u"+IP 10.0.0.5"), "10.0.0.5");
  EXPECT_EQ(Address(u"+ip \"10.0.0.5\""), "10.0.0.5");
  EXPECT_EQ(Address(u"+ip 0.0.0.0"), "192.0.2.7");
  EXPECT_EQ(Address(u"+ip \"0.0.0.0\""), "192.0.2.7");
  EXPECT_EQ(Address(u"-game x +ip"), "192.0.2.7") << "no blank after the key: no key";
  EXPECT_EQ(Address(u"-game x +ip "), "");
  EXPECT_EQ(Address(u"+ip \" 10.0.0.5"), "") << "cut at the blank, the lone quote removed";
  EXPECT_EQ(Address(u"+ip 1234567890.1234567890"), "1234567890.1234");
  EXPECT_EQ(Address(u"+ip MyHost"), "myhost") << "names are lower-cased, not resolved";
  EXPECT_EQ(Address(u"+ip   127.0.0.1   -port 1"), "127.0.0.1");
}

TEST(GetServerAddress, NeverLongerThanTheRecordField) {
  // Fifteen characters that take more than fifteen bytes in the 8-bit text are cut further.
  const std::string address = Address(u"+ip \u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9");
  EXPECT_LE(address.size(), 15u);
  EXPECT_FALSE(address.empty());
}

TEST(GetLocalAddress, AnswersADottedIPv4Address) {
  const std::string address = GetLocalAddress();
  int a, b, c, d;
  char tail;
  ASSERT_EQ(std::sscanf(address.c_str(), "%d.%d.%d.%d%c", &a, &b, &c, &d, &tail), 4) << address;
  for (int part : {a, b, c, d}) EXPECT_TRUE(part >= 0 && part <= 255) << address;
}

TEST(BuildCommandLine, QuotedPathBlankParameters) {
  EXPECT_EQ(BuildCommandLine(u"C:\\srv\\server.exe", u"-game cstrike -port 27015"),
            u"\"C:\\srv\\server.exe\" -game cstrike -port 27015");
  EXPECT_EQ(BuildCommandLine(u"C:\\srv\\server.exe", u""), u"\"C:\\srv\\server.exe\" ");
  EXPECT_EQ(BuildCommandLine(u"/srv/hlds", u"+ip \"1.2.3.4\""), u"\"/srv/hlds\" +ip \"1.2.3.4\"");
}

}  // namespace
}  // namespace tervane
