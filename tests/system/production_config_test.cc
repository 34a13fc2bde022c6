// keywarden started outside the installation directory works on the
// production configuration under /opt/vesk.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/console/console_harness.h"
#include "tests/support/ci.h"
#include "tests/system/simulated_device.h"

namespace vesk::testing {
namespace {

class ProductionConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SimulatedDevice::available()) VESK_SKIP_UNLESS_CI("cannot make a private mount namespace (needs root)");
    device = std::make_unique<SimulatedDevice>();
    std::filesystem::create_directories(elsewhere.path());
  }

  std::unique_ptr<SimulatedDevice> device;
  ScopedTempDir elsewhere;
};

TEST_F(ProductionConfig, WithoutAnyConfigurationTheBadgeReadsSealed) {
  const ProgramResult result = device->run_keywarden("q\n", elsewhere.path());
  EXPECT_EQ(result.out, menu_text(true));
  EXPECT_EQ(result.exit_status, 0);
}

TEST_F(ProductionConfig, StagesWorkOnTheFileUnderOpt) {
  const std::string production = "/opt/vesk/installation.toml";
  write_file(production, "[PASSES]\nadmin_pass = \"prod\"\n");
  const ProgramResult result = device->run_keywarden("3\nq\n", elsewhere.path());
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(read_file(production).starts_with("[PASSES]\nadmin_pass = \"v2:"));
  struct stat status {};
  ASSERT_EQ(stat(production.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0444u);
  // The protected names are looked up in the working directory, which holds
  // none of them here, so locking them fails and says so.
  EXPECT_NE(result.out.find("[*] Locking System Files (Immutable)...\n" + RED +
                            "[-] Error: Locking Failed." + RESET + "\n"),
            std::string::npos);
  EXPECT_NE(result.err.find("chattr"), std::string::npos);
}

}  // namespace
}  // namespace vesk::testing
