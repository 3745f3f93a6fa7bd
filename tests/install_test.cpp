// Installs the build into a temporary prefix and builds a program against it
// as a user would: by pkg-config and by find_package(norv) (target norv::norv).
#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"

using namespace testsupport;

TEST(Install, ProgramsBuildAndRunAgainstTheInstalledLibrary) {
  TempDir prefix, work;
  const std::string P = prefix.path();
  const ExecResult installed =
      runShell(std::string("cmake --install '") + NORV_BINARY_DIR + "' --prefix '" + P + "'");
  ASSERT_EQ(installed.status, 0) << installed.output;
  EXPECT_FALSE(fileExists(P + "/include/norv/services/PluginProcess.h")) << "an internal header";

  writeFile(work.file("x.cpp"), R"(
#include <iostream>
#include "config/convertTo.h"
#include "config/iniConfig.h"
#include "config/ip.h"
#include "database/pgConnectionPool.h"
#include "websocket/SyslogServer.h"
int main(int, char** argv) {
  iniConfig ini(argv[1]);
  pgConnectionPool db(ini.getKey("DB", "conninfo"), 1);
  PGresult* r = db.executeRequest("SELECT 40 + 2");
  std::cout << trim(ini.getKey("DB", "name")) << " " << PQgetvalue(r, 0, 0) << " "
            << IP::IPdecToIP(16909060) << " " << SyslogServer::makeNotification("{\"fromhost\":\"h\"}").host
            << std::endl;
  PQclear(r);
  return 0;
}
)");
  writeFile(work.file("x.conf"), "[DB]\nname= installed\nconninfo=" + pgConnString() + "\n");
  writeFile(work.file("CMakeLists.txt"),
            "cmake_minimum_required(VERSION 3.23)\nproject(x CXX)\nset(CMAKE_CXX_STANDARD 17)\n"
            "find_package(norv REQUIRED)\nadd_executable(y x.cpp)\ntarget_link_libraries(y PRIVATE "
            "norv::norv)\n");
  const std::string builds[] = {"g++ -std=c++17 x.cpp -o x $(PKG_CONFIG_PATH='" + P +
                                    "/lib/pkgconfig' pkg-config --cflags --libs norv)",
                                "cmake -S . -B b -DCMAKE_PREFIX_PATH='" + P +
                                    "' >/dev/null && cmake --build b >/dev/null && cp b/y x"};
  for (const std::string& build : builds) {
    SCOPED_TRACE(build);
    const ExecResult built = runShell("cd '" + work.path() + "' && rm -f x && " + build);
    ASSERT_EQ(built.status, 0) << built.output;
    const ExecResult ran = runShell("'" + work.file("x") + "' '" + work.file("x.conf") + "'");
    EXPECT_EQ(ran.output, "installed 42 1.2.3.4 h\n");
  }
}
