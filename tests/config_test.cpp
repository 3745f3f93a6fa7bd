// The INI reader and the daemon's keys on real files, the conversions and the dotted quad.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "config/convertTo.h"
#include "config/iniConfig.h"
#include "config/ip.h"
#include "daemon/DaemonConfig.h"
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
  const char* r =
      "[R]\ntransport=udp\nip \t= 10.0.0.1\nport=8443\npw=a=b # no \ncr=x\r\nbare\nlast=x";
  // "[OTHER" ends the section though it names none; a second [DB] is never
  // read; [DBX] is not [DB].
  const char* db =
      "early=0\n[DBX]\nhost=dbx\n#[DB]\n[DB]\n  "
      "#port=1\n;semi=2\nhost=db1\n[OTHER\nport=5\n[DB]\nuser=u\n";
  const std::pair<const char*, std::vector<Query>> files[] = {
      {r, {{"R", "port", "8443"}, {"R", "ip", " 10.0.0.1"}, {"R", "por", ""}, {"R", "Port", ""}}},
      {r, {{"R", "pw", "a=b # no "}, {"R", "cr", "x"}, {"R", "last", "x"}}},
      {"\xEF\xBB\xBF[DB]\r\nhost=db1\r\nport=5\r", {{"DB", "host", "db1"}, {"DB", "port", "5"}}},
      // Spaces then tabs are cut, so "\t [C]" is no header; it ends B.
      {"   [A]\n\t\tkey=a\n\t[B]\n  \tkey=b\n\t [C]\nkey=c\n[ D ]\nkey=d\n",
       {{"A", "key", "a"}, {"B", "key", "b"}, {"C", "key", ""}, {" D ", "key", "d"}}},
      {db, {{"DB", "early", ""}, {"DB", "host", "db1"}, {"DB", "#port", ""}, {"DB", ";semi", "2"}}},
      {db, {{"DB", "port", ""}, {"DB", "user", ""}}},
  };
  for (const auto& [content, queries] : files) {
    iniConfig ini = reader(content);
    for (const Query& q : queries)
      EXPECT_EQ(ini.getKey(q.section, q.key), q.value) << content << "\n" << q.key;
  }
}

TEST_F(IniConfigTest, EveryQueryReadsTheFileAnew) {
  const std::pair<std::string, const char*> refused[] = {{path, "No such file or directory"},
                                                         {dir.path(), "not a regular file"}};
  for (const auto& [file, reason] : refused) {
    try {
      iniConfig(file).getKey("DB", "host");
      ADD_FAILURE() << "no exception for " << file;
    } catch (const FileException& e) {
      EXPECT_EQ(e.what(), "error: can't open file " + file + ": " + reason);
    }
  }
  iniConfig ini(path);
  writeFile(path, "[DB]\nport=1\n");
  EXPECT_EQ(ini.getKeyToInt("DB", "port"), 1);
  writeFile(path, "[DB]\nport= -2abc\n");
  EXPECT_EQ(ini.getKeyToInt("DB", "port"), -2);
}

TEST_F(IniConfigTest, SectionCollectsRawLinesAndAccumulates) {
  iniConfig ini = reader("[DB]\na=1\nb=\n[LOG]\na = 2\n\na = 3\n");
  std::map<std::string, std::string> expected{{"[DB]", ""}, {"a", "1"}, {"b", ""}};
  EXPECT_EQ(ini.getSection("DB"), expected);
  expected.insert({{"[LOG]", ""}, {"a ", " 3"}, {"", ""}});
  EXPECT_EQ(ini.getSection("LOG"), expected);
  EXPECT_EQ(&ini.getSection("LOG"), &ini.getSection("NONE"));
}

// The daemon logs these at INFO (an unknown section, [X], is left alone), then at ERR.
TEST_F(IniConfigTest, DaemonConfigurationNamesUnknownKeysAndBadValues) {
  using Lines = std::vector<std::string>;
  const std::tuple<const char*, Lines, Lines> files[] = {
      {"[RECEIVER]\nport= 8443 \nresume_timout=5\n[DB]\nport=5\nsource=outbox\n[X]\ny=1\n",
       {"configuration: unknown key [DB] port ignored; did you mean PGSQL_port or [RECEIVER] port?",
        "configuration: unknown key [RECEIVER] resume_timout ignored; did you mean "
        "resume_timeout?"},
       {}},
      {"[DB]\nconnect_timeout=0\n[RECEIVER]\nresume=maybe\n",
       {},
       {"configuration: [DB] connect_timeout must be a number of seconds from 1 to 3600, not '0'",
        "configuration: [RECEIVER] port must be a port number from 1 to 65535, not ''",
        "configuration: [RECEIVER] resume must be on or off, not 'maybe'"}},
  };
  for (const auto& [content, unknown, bad] : files) {
    writeFile(path, content);
    const DaemonConfig config = readDaemonConfig(path);
    EXPECT_EQ(config.unknownKeys, unknown);
    EXPECT_EQ(config.badValues, bad);
    // The good file's values: blanks around a number, a default.
    EXPECT_EQ(config.receiverPort == 8443 && config.outbox && config.connectTimeoutSeconds == 10,
              bad.empty());
  }
}

// ...in its section, and the example sets no other key and no bad value.
TEST(DaemonConfig, TheExampleConfigurationHoldsEveryKeyOfTheTable) {
  const std::string example = testsupport::sourcePath("packaging/quillon.conf");
  const DaemonConfig config = readDaemonConfig(example);
  EXPECT_EQ(config.unknownKeys, std::vector<std::string>());
  EXPECT_EQ(config.badValues, std::vector<std::string>());
  for (const auto& [section, name] : daemonConfigKeys())
    EXPECT_EQ(iniConfig(example).getSection(section).count(name), 1u) << section << " " << name;
}

TEST(ConvertTo, TextToNumberStopsAtTheFirstMisfitAndClamps) {
  const std::pair<const char*, int> ints[] = {
      {"42abc", 42}, {" -7", -7}, {"abc", 0}, {"3000000000", INT_MAX}, {"-3000000000", INT_MIN}};
  for (const auto& [text, value] : ints) EXPECT_EQ(stringToInt(text), value) << text;
  EXPECT_EQ(stringToLong("99999999999999999999"), LONG_MAX);
  EXPECT_EQ(stringToUnsignedInt("4294967296"), UINT_MAX);
  EXPECT_EQ(stringToLongInt("99999999999999999999"), ULONG_MAX);
  EXPECT_EQ(stringToLongLongInt("12345678901234x"), 12345678901234ULL);
  EXPECT_DOUBLE_EQ(stringToDouble("-2.5e1kg"), -25.0);
}

TEST(ConvertTo, NumberInRangeTakesTheWholeTextOrNothing) {
  const std::pair<const char*, long long> ints[] = {
      {"8443", 8443}, {" \t+1\r\n", 1}, {"", -1},      {" ", -1},   {"84x3", -1},
      {"1e3", -1},    {"0", -1},        {"65536", -1}, {"1 2", -1}, {"99999999999999999999", -1}};
  for (const auto& [text, value] : ints) {
    long long out = -1;
    EXPECT_EQ(numberInRange(text, 1, 65535, out), value != -1) << text;
    EXPECT_EQ(out, value) << text;
  }
  double seconds = 0;
  EXPECT_TRUE(numberInRange(" 0.5", 0.1, 86400.0, seconds) && seconds == 0.5);
  EXPECT_FALSE(numberInRange("0.05", 0.1, 86400.0, seconds));
  EXPECT_EQ(numberRefusal("--port", "x", 0.1, 86400.0, "rate"),
            "--port must be a rate from 0.1 to 86400, not 'x'");
}

TEST(ConvertTo, NumberToTextUsesTheDefaultStreamFormat) {
  EXPECT_EQ(longToString(LONG_MIN), "-9223372036854775808");
  EXPECT_EQ(unsignedLongLongIntToString(ULLONG_MAX), "18446744073709551615");
  EXPECT_EQ(doubleToString(0.1) + doubleToString(100) + doubleToString(1234567),
            "0.11001.23457e+06");
}

TEST(ConvertTo, TrimCutsTheSixBlanksAtTheEndsOnly) {
  const std::string blanks = " \n\r\t\f\v";
  EXPECT_EQ(trim(blanks + "a b\tc" + blanks), "a b\tc");
  EXPECT_EQ(ltrim(blanks + "x" + blanks), "x" + blanks);
  EXPECT_EQ(rtrim(blanks + "x" + blanks), blanks + "x");
  EXPECT_EQ(ltrim(blanks) + rtrim(blanks) + trim(""), "");
}

TEST(IPTest, DottedQuadOfTheLow32BitsMostSignificantFirst) {
  const std::pair<unsigned long, const char*> cases[] = {{3232235777UL, "192.168.1.1"},
                                                         {4294967295UL, "255.255.255.255"},
                                                         {4294967296UL, "0.0.0.0"},
                                                         {0xAB01020304UL, "1.2.3.4"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(IP::IPdecToIP(value), text) << value;
}

}  // namespace
