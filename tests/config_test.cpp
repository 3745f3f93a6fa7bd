// The INI reader against real files, the stream-based conversions and the
// address formatting.
#include <climits>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/convertTo.h"
#include "config/iniConfig.h"
#include "config/ip.h"
#include "support/TestSupport.h"

using testsupport::writeFile;

namespace {

class IniConfigTest : public ::testing::Test {
 protected:
  iniConfig reader(const std::string& content) {
    writeFile(path, content);
    return iniConfig(path);
  }
  testsupport::TempDir dir;
  std::string path = dir.file("test.conf");
};

TEST_F(IniConfigTest, SyntaxRules) {
  struct Query {
    const char *section, *key, *value;
  };
  const std::pair<const char*, std::vector<Query>> files[] = {
      {"[R]\ntransport=udp\nnote=port ip\nip \t= 10.0.0.1\nport=8443\n"
       "pwd=a=b # not a comment \ncrlf=x\r\nbare\nlast=no newline",
       {{"R", "port", "8443"}, {"R", "ip", " 10.0.0.1"}, {"R", "por", ""}, {"R", "Port", ""},
        {"R", "ip \t", ""}, {"R", "pwd", "a=b # not a comment "}, {"R", "crlf", "x\r"},
        {"R", "bare", ""}, {"R", "last", "no newline"}}},
      {"[DB]\r\nhost=db1\r\n", {{"DB", "host", ""}}},  // a CRLF header never matches
      // Spaces then tabs are cut, so "\t [C]" is no header; it ends B.
      {"   [A]\n\t\tkey=a\n\t[B]\n  \tkey=b\n\t [C]\nkey=c\n[ D ]\nkey=d\n",
       {{"A", "key", "a"}, {"B", "key", "b"}, {"C", "key", ""}, {" D ", "key", "d"},
        {"D", "key", ""}}},
      // "[OTHER" ends the section though it names none; a second [DB] is never read.
      {"early=0\n#[DB]\n[DB]\n# host=commented\n  #port=1\n;semi=2\nhost=db1\n"
       "[OTHER\nport=5432\n[DB]\nuser=late\n",
       {{"DB", "early", ""}, {"DB", "host", "db1"}, {"DB", "#port", ""}, {"DB", ";semi", "2"},
        {"DB", "port", ""}, {"DB", "user", ""}, {"OTHER", "port", ""}, {"NONE", "host", ""}}},
  };
  for (const auto& [content, queries] : files) {
    iniConfig ini = reader(content);
    for (const Query& q : queries)
      EXPECT_EQ(ini.getKey(q.section, q.key), q.value) << content << "\n[" << q.section << "] " << q.key;
  }
}

TEST_F(IniConfigTest, EveryQueryReadsTheFileAnew) {
  iniConfig ini(path);
  try {
    ini.getKey("DB", "host");
    FAIL() << "no exception";
  } catch (const FileException& e) {
    EXPECT_STREQ(e.what(), "error: can't open file");
  }
  EXPECT_THROW(ini.getKeyToInt("DB", "port"), FileException);
  EXPECT_THROW(ini.getSection("DB"), FileException);
  writeFile(path, "[DB]\nport=1\n");
  EXPECT_EQ(ini.getKeyToInt("DB", "port"), 1);
  writeFile(path, "[DB]\nport=2\n");
  EXPECT_EQ(ini.getKeyToInt("DB", "port"), 2);
}

TEST_F(IniConfigTest, KeyToIntReadsTheLeadingNumber) {
  iniConfig ini = reader("[N]\nneg= -7abc\nletters=abc\nhuge=99999999999\n");
  EXPECT_EQ(ini.getKeyToInt("N", "neg"), -7);
  EXPECT_EQ(ini.getKeyToInt("N", "letters"), 0);
  EXPECT_EQ(ini.getKeyToInt("N", "absent"), 0);
  EXPECT_EQ(ini.getKeyToInt("N", "huge"), INT_MAX);
}

TEST_F(IniConfigTest, SectionCollectsRawLinesAndAccumulates) {
  iniConfig ini = reader("[DB]\na=1\nb=\n[LOG]\na = 2\n\na = 3\n");
  std::map<std::string, std::string> expected{{"[DB]", ""}, {"a", "1"}, {"b", ""}};
  EXPECT_EQ(ini.getSection("DB"), expected);
  std::map<std::string, std::string>& all = ini.getSection("LOG");
  expected.insert({{"[LOG]", ""}, {"a ", " 3"}, {"", ""}});
  EXPECT_EQ(all, expected);
  EXPECT_EQ(&all, &ini.getSection("NONE"));
}

TEST(ConvertTo, TextToNumberStopsAtTheFirstMisfitAndClamps) {
  EXPECT_EQ(stringToInt("42abc"), 42);
  EXPECT_EQ(stringToInt(" -7"), -7);
  EXPECT_EQ(stringToInt("abc"), 0);
  EXPECT_EQ(stringToInt("3000000000"), INT_MAX);
  EXPECT_EQ(stringToInt("-3000000000"), INT_MIN);
  EXPECT_EQ(stringToLong("99999999999999999999"), LONG_MAX);
  EXPECT_EQ(stringToUnsignedInt("4294967296"), UINT_MAX);
  EXPECT_EQ(stringToLongInt("99999999999999999999"), ULONG_MAX);
  EXPECT_EQ(stringToLongLongInt("12345678901234x"), 12345678901234ULL);
  EXPECT_DOUBLE_EQ(stringToDouble("-2.5e1kg"), -25.0);
}

TEST(ConvertTo, NumberToTextUsesTheDefaultStreamFormat) {
  EXPECT_EQ(longToString(LONG_MIN), "-9223372036854775808");
  EXPECT_EQ(unsignedLongLongIntToString(ULLONG_MAX), "18446744073709551615");
  EXPECT_EQ(doubleToString(0.1), "0.1");
  EXPECT_EQ(doubleToString(100), "100");
  EXPECT_EQ(doubleToString(1234567), "1.23457e+06");
}

TEST(ConvertTo, TrimCutsTheSixBlanksAtTheEndsOnly) {
  const std::string blanks = " \n\r\t\f\v";
  EXPECT_EQ(trim(blanks + "a b\tc" + blanks), "a b\tc");
  EXPECT_EQ(ltrim(blanks + "x" + blanks), "x" + blanks);
  EXPECT_EQ(rtrim(blanks + "x" + blanks), blanks + "x");
  for (const std::string& empty : {blanks, std::string()})
    EXPECT_TRUE(trim(empty).empty() && ltrim(empty).empty() && rtrim(empty).empty());
}

TEST(IPTest, DottedQuadOfTheLow32BitsMostSignificantFirst) {
  const std::pair<unsigned long, const char*> cases[] = {
      {3232235777UL, "192.168.1.1"}, {0, "0.0.0.0"},          {4294967295UL, "255.255.255.255"},
      {2147483648UL, "128.0.0.0"},   {4294967296UL, "0.0.0.0"}, {0xAB01020304UL, "1.2.3.4"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(IP::IPdecToIP(value), text) << value;
}

}  // namespace
