// The command line a service is registered with: quoted, so that a path with blanks cannot be
// read as a shorter program's.
#include "platform/service.h"

#include <gtest/gtest.h>

namespace {

TEST(ServiceRegistration, TheProgramPathIsQuoted) {
#if defined(_WIN32)
  EXPECT_EQ(platform::service::ServiceCommandLine("C:\\Program Files (x86)\\Tarnwick\\Tarnwick.exe"),
            "\"C:\\Program Files (x86)\\Tarnwick\\Tarnwick.exe\"");
#else
  const struct {
    const char* path;
    const char* execStart;
  } cases[] = {
      {"/opt/Tarnwick Bridge/Tarnwick", "ExecStart=\"/opt/Tarnwick Bridge/Tarnwick\"\n"},
      {"/opt/50%/a\"b$c", "ExecStart=\"/opt/50%%/a\\\"b$$c\"\n"},
  };
  for (const auto& c : cases) {
    const std::string unit = platform::service::SystemdUnitText("Tarnwick", "Tarnwick", c.path);
    EXPECT_NE(unit.find(c.execStart), std::string::npos) << unit;
    EXPECT_NE(unit.find("EnvironmentFile=-/etc/default/tarnwick\n"), std::string::npos) << unit;
  }
  EXPECT_NE(platform::service::SystemdUnitText("Tarnwick", "Tarnwick", "/opt/Tarnwick Bridge/Tarnwick")
                .find("WorkingDirectory=/opt/Tarnwick Bridge\n"),
            std::string::npos);
#endif
}

}  // namespace
