// The Win32 side of the platform layer, where it differs from POSIX: paths
// with backslashes, version resources, DLL loading, GUIDs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/module.h"

namespace telvora {
namespace platform {
namespace {

TEST(Win32Platform, HostDirectoryIsTheExecutablesWithItsBackslash) {
  const std::string dir = GetHostDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '\\');
  EXPECT_EQ(dir.find('/'), std::string::npos) << dir;
  // The test program is statically linked: its own module is the executable.
  EXPECT_EQ(GetOwnModuleDirectory(), dir);
}

TEST(Win32Platform, VersionResourceFirstThenTheEnvironment) {
  HostVersion version{0, 0, 0, 0};
  // Every Windows (and Wine) kernel32.dll carries a version resource.
  ASSERT_TRUE(SetEnvironmentValue("BRENLOW_VERSION", "6.4.1.2"));
  ASSERT_TRUE(ReadHostCoreVersion("kernel32.dll", &version));
  EXPECT_GE(version.major, 5u);
  EXPECT_FALSE(version.major == 6 && version.minor == 4 && version.build == 1) << "the resource wins";

  // No such library: the variable stands in, as on POSIX.
  ASSERT_TRUE(ReadHostCoreVersion("brenlow-missing.dll", &version));
  EXPECT_EQ(version.major, 6u);
  EXPECT_EQ(version.minor, 4u);
  EXPECT_EQ(version.build, 1u);
  EXPECT_EQ(version.revision, 2u);

  const char* const kUnusable[] = {"6", "x.y", "70000.1.0.0"};
  for (const char* text : kUnusable) {
    ASSERT_TRUE(SetEnvironmentValue("BRENLOW_VERSION", text));
    EXPECT_FALSE(ReadHostCoreVersion("brenlow-missing.dll", &version)) << text;
  }
  ASSERT_TRUE(SetEnvironmentValue("BRENLOW_VERSION", nullptr));
  EXPECT_FALSE(ReadHostCoreVersion("brenlow-missing.dll", &version));
  EXPECT_FALSE(ReadHostCoreVersion(nullptr, &version));
}

TEST(Win32Platform, KovadelLoadsByNameWithItsUndecoratedEntry) {
  EXPECT_EQ(ModuleFileName("Kovadel"), "Kovadel.dll");
  void* library = LoadModule("Kovadel.dll");
  ASSERT_NE(library, nullptr) << "Kovadel.dll is copied beside the test program";
  EXPECT_NE(GetModuleSymbol(library, "ParseMpegHeader"), nullptr);
  EXPECT_EQ(GetModuleSymbol(library, "NoSuchEntry"), nullptr);
  FreeModule(library);
  EXPECT_EQ(LoadModule("NoSuchLibrary.dll"), nullptr);
  EXPECT_EQ(GetModuleSymbol(nullptr, "ParseMpegHeader"), nullptr);
  FreeModule(nullptr);
}

TEST(Win32Platform, GuidsClocksAndThreadIds) {
  uint8_t a[16];
  uint8_t b[16];
  const uint8_t zero[16] = {0};
  CreateRandomId(a);
  CreateRandomId(b);
  EXPECT_NE(std::memcmp(a, zero, 16), 0);
  EXPECT_NE(std::memcmp(a, b, 16), 0);

  const uint32_t before = GetMillisecondClock();
  ::Sleep(30);
  const uint32_t elapsed = GetMillisecondClock() - before;
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 2000u);

  EXPECT_GE(GetProcessorCount(), 1u);
  EXPECT_EQ(CurrentThreadId(), static_cast<uint32_t>(::GetCurrentThreadId()));
}

}  // namespace
}  // namespace platform
}  // namespace telvora
