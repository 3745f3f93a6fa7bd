// The INI reader against real files, and the stream-based conversions.
#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "config/convertTo.h"
#include "config/iniConfig.h"
#include "config/ip.h"
#include "support/TestSupport.h"

using testsupport::TempDir;
using testsupport::writeFile;

class IniConfigTest : public ::testing::Test {
 protected:
  // A fresh reader over a file holding content.
  iniConfig reader(const std::string& content) {
    writeFile(path, content);
    return iniConfig(path);
  }
  TempDir dir;
  std::string path = dir.file("test.conf");
};

TEST_F(IniConfigTest, KeyMatchesWholeNameOnly) {
  iniConfig ini = reader(
      "[RECEIVER]\n"
      "transport=udp\n"
      "zip=75000\n"
      "note=port ip\n"
      "ip \t= 10.0.0.1\n"
      "port=8443\n");
  EXPECT_EQ(ini.getKey("RECEIVER", "port"), "8443");
  EXPECT_EQ(ini.getKey("RECEIVER", "ip"), " 10.0.0.1");
  EXPECT_EQ(ini.getKey("RECEIVER", "por"), "");
  EXPECT_EQ(ini.getKey("RECEIVER", "Port"), "");
  EXPECT_EQ(ini.getKey("RECEIVER", "ip \t"), "");
}

TEST_F(IniConfigTest, ValueIsKeptVerbatim) {
  iniConfig ini = reader(
      "[DB]\n"
      "PGSQL_host = db1\n"
      "PGSQL_pwd=a=b # not a comment \n"
      "crlf=x\r\n"
      "bare\n"
      "last=no newline");
  EXPECT_EQ(ini.getKey("DB", "PGSQL_host"), " db1");
  EXPECT_EQ(ini.getKey("DB", "PGSQL_pwd"), "a=b # not a comment ");
  EXPECT_EQ(ini.getKey("DB", "crlf"), "x\r");
  EXPECT_EQ(ini.getKey("DB", "bare"), "");
  EXPECT_EQ(ini.getKey("DB", "last"), "no newline");
}

TEST_F(IniConfigTest, CrlfHeadersNeverMatch) {
  iniConfig ini = reader("[DB]\r\nhost=db1\r\n");
  EXPECT_EQ(ini.getKey("DB", "host"), "");
  EXPECT_TRUE(ini.getSection("DB").empty());
}

TEST_F(IniConfigTest, IndentedHeadersAndLines) {
  iniConfig ini = reader(
      "   [A]\n"
      "\t\tkey=a\n"
      "\t[B]\n"
      "  \tkey=b\n"
      "\t [C]\n"
      "key=c\n"
      "[ D ]\n"
      "key=d\n");
  EXPECT_EQ(ini.getKey("A", "key"), "a");
  EXPECT_EQ(ini.getKey("B", "key"), "b");
  // A space after a tab survives, so "\t [C]" is no header; the line ends B.
  EXPECT_EQ(ini.getKey("C", "key"), "");
  EXPECT_EQ(ini.getKey(" D ", "key"), "d");
  EXPECT_EQ(ini.getKey("D", "key"), "");
}

TEST_F(IniConfigTest, CommentsAndSectionBounds) {
  iniConfig ini = reader(
      "early=0\n"
      "#[DB]\n"
      "[DB]\n"
      "# host=commented\n"
      "  #port=1\n"
      ";semi=2\n"
      "host=db1\n"
      "[OTHER\n"
      "port=5432\n"
      "[DB]\n"
      "user=late\n");
  EXPECT_EQ(ini.getKey("DB", "early"), "");
  EXPECT_EQ(ini.getKey("DB", "host"), "db1");
  EXPECT_EQ(ini.getKey("DB", "#port"), "");
  EXPECT_EQ(ini.getKey("DB", ";semi"), "2");
  // "[OTHER" ends the section though it names none; a second [DB] is never read.
  EXPECT_EQ(ini.getKey("DB", "port"), "");
  EXPECT_EQ(ini.getKey("DB", "user"), "");
  EXPECT_EQ(ini.getKey("OTHER", "port"), "");
  EXPECT_EQ(ini.getKey("NONE", "host"), "");
}

TEST_F(IniConfigTest, UnreadableFileThrowsAndReaderRecovers) {
  iniConfig ini(dir.file("missing.conf"));
  try {
    ini.getKey("DB", "host");
    FAIL() << "no exception";
  } catch (const FileException& e) {
    EXPECT_STREQ(e.what(), "error: can't open file");
  }
  EXPECT_THROW(ini.getKeyToInt("DB", "port"), FileException);
  EXPECT_THROW(ini.getSection("DB"), FileException);
  writeFile(dir.file("missing.conf"), "[DB]\nhost=db1\n");
  EXPECT_EQ(ini.getKey("DB", "host"), "db1");
}

TEST_F(IniConfigTest, EveryQueryReadsTheFileAgain) {
  iniConfig ini = reader("[DB]\nport=1\n");
  EXPECT_EQ(ini.getKeyToInt("DB", "port"), 1);
  writeFile(path, "[DB]\nport=2\n");
  EXPECT_EQ(ini.getKeyToInt("DB", "port"), 2);
}

TEST_F(IniConfigTest, KeyToIntReadsTheLeadingNumber) {
  iniConfig ini = reader(
      "[N]\nplain=42abc\nneg= -7\nletters=abc\nempty=\nhuge=99999999999\ntiny=-99999999999\n");
  EXPECT_EQ(ini.getKeyToInt("N", "plain"), 42);
  EXPECT_EQ(ini.getKeyToInt("N", "neg"), -7);
  EXPECT_EQ(ini.getKeyToInt("N", "letters"), 0);
  EXPECT_EQ(ini.getKeyToInt("N", "empty"), 0);
  EXPECT_EQ(ini.getKeyToInt("N", "absent"), 0);
  EXPECT_EQ(ini.getKeyToInt("N", "huge"), INT_MAX);
  EXPECT_EQ(ini.getKeyToInt("N", "tiny"), INT_MIN);
}

TEST_F(IniConfigTest, SectionCollectsRawLinesAndAccumulates) {
  iniConfig ini = reader(
      "[DB]\n"
      "a=1\n"
      "b=\n"
      "[LOG]\n"
      "a = 2\n"
      "\n"
      "a = 3\n");
  std::map<std::string, std::string> expected{{"[DB]", ""}, {"a", "1"}, {"b", ""}};
  EXPECT_EQ(ini.getSection("DB"), expected);
  std::map<std::string, std::string>& all = ini.getSection("LOG");
  expected.insert({{"[LOG]", ""}, {"a ", " 3"}, {"", ""}});
  EXPECT_EQ(all, expected);
  EXPECT_EQ(&all, &ini.getSection("NONE"));
  EXPECT_EQ(all.size(), expected.size());
}

TEST(ConvertTo, TextToNumberStopsAtTheFirstMisfit) {
  EXPECT_EQ(stringToInt("42abc"), 42);
  EXPECT_EQ(stringToInt(" -7"), -7);
  EXPECT_EQ(stringToInt("abc"), 0);
  EXPECT_EQ(stringToInt(""), 0);
  EXPECT_EQ(stringToInt(" \t\n"), 0);
  EXPECT_EQ(stringToLong("-9000000000x"), -9000000000L);
  EXPECT_EQ(stringToUnsignedInt("4294967295"), 4294967295U);
  EXPECT_EQ(stringToLongInt("18446744073709551615"), 18446744073709551615UL);
  EXPECT_EQ(stringToLongLongInt("12345678901234"), 12345678901234ULL);
  EXPECT_DOUBLE_EQ(stringToDouble("1e3"), 1000.0);
  EXPECT_DOUBLE_EQ(stringToDouble(".5"), 0.5);
  EXPECT_DOUBLE_EQ(stringToDouble("-2.5kg"), -2.5);
}

TEST(ConvertTo, TextToNumberClampsToTheTypeLimits) {
  EXPECT_EQ(stringToInt("3000000000"), INT_MAX);
  EXPECT_EQ(stringToInt("-3000000000"), INT_MIN);
  EXPECT_EQ(stringToLong("99999999999999999999"), LONG_MAX);
  EXPECT_EQ(stringToUnsignedInt("4294967296"), UINT_MAX);
  EXPECT_EQ(stringToLongInt("99999999999999999999"), ULONG_MAX);
}

TEST(ConvertTo, NumberToTextUsesDefaultStreamFormat) {
  EXPECT_EQ(intToString(-123), "-123");
  EXPECT_EQ(longToString(LONG_MIN), "-9223372036854775808");
  EXPECT_EQ(longIntToString(1234567), "1234567");
  EXPECT_EQ(unsignedLongIntToString(ULONG_MAX), "18446744073709551615");
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
  EXPECT_EQ(trim(blanks), "");
  EXPECT_EQ(ltrim(blanks), "");
  EXPECT_EQ(rtrim(blanks), "");
  EXPECT_EQ(ltrim(""), "");
  EXPECT_EQ(rtrim(""), "");
}

TEST(IPTest, DottedQuadMostSignificantByteFirst) {
  EXPECT_EQ(IP::IPdecToIP(3232235777UL), "192.168.1.1");
  EXPECT_EQ(IP::IPdecToIP(16909060UL), "1.2.3.4");
  EXPECT_EQ(IP::IPdecToIP(0), "0.0.0.0");
  EXPECT_EQ(IP::IPdecToIP(4294967295UL), "255.255.255.255");
  EXPECT_EQ(IP::IPdecToIP(2147483648UL), "128.0.0.0");
  // Beyond 32 bits only the low 32 count.
  EXPECT_EQ(IP::IPdecToIP(4294967296UL), "0.0.0.0");
  EXPECT_EQ(IP::IPdecToIP(0xAB01020304UL), "1.2.3.4");
  IP* ip = new IP();
  delete ip;
}
