// Installs the build into a temporary prefix and builds a program outside the
// tree against it through pkg-config, as a user of the library would.
#include <string>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

using namespace testsupport;

TEST(Install, ProgramBuildsAndRunsAgainstTheInstalledLibrary) {
  TempDir prefix, work;
  const std::string P = prefix.path();
  const ExecResult installed = runShell("cmake --install '" + binPath("") + "' --prefix '" + P + "'");
  ASSERT_EQ(installed.status, 0) << installed.output;
  EXPECT_TRUE(fileExists(P + "/lib/libnorv.a") && fileExists(P + "/include/norv/config/iniConfig.h"));

  writeFile(work.file("x.cpp"), R"(
#include <iostream>
#include "config/convertTo.h"
#include "config/iniConfig.h"
#include "config/ip.h"
#include "database/pgConnectionPool.h"
#include "database/pgSafeThread.h"
int main(int, char** argv) {
  iniConfig ini(argv[1]);
  pgSafeThread db(ini.getKey("DB", "conninfo"));
  PGresult* r = db.executeRequest("SELECT 40 + 2");
  std::cout << trim(ini.getKey("DB", "name")) << " " << PQgetvalue(r, 0, 0) << " "
            << IP::IPdecToIP(16909060) << std::endl;
  PQclear(r);
  return 0;
}
)");
  writeFile(work.file("x.conf"), "[DB]\nname= installed\nconninfo=" + pgConnString() + "\n");
  const ExecResult built = runShell("cd '" + work.path() + "' && g++ -std=c++17 x.cpp -o x $(PKG_CONFIG_PATH='" +
                                    P + "/lib/pkgconfig' pkg-config --cflags --libs norv)");
  ASSERT_EQ(built.status, 0) << built.output;
  const ExecResult ran = runShell("'" + work.file("x") + "' '" + work.file("x.conf") + "'");
  EXPECT_EQ(ran.status, 0) << ran.output;
  EXPECT_EQ(ran.output, "installed 42 1.2.3.4\n");
}
