// ament_index_cpp::get_package_share_directory, in the stand-in as in ROS 2.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <ament_index_cpp/get_package_prefix.hpp>
#include <ament_index_cpp/get_package_share_directory.hpp>

namespace {

namespace fs = std::filesystem;

// A throw-away prefix and AMENT_PREFIX_PATH pointing at it (plus `extra`), restored afterwards.
class AmentPrefixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* previous = std::getenv("AMENT_PREFIX_PATH");
    had_previous_ = previous != nullptr;
    previous_ = had_previous_ ? previous : "";
    prefix_ = fs::temp_directory_path() /
              ("standin_ament_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    fs::create_directories(prefix_ / "share/ament_index/resource_index/packages");
  }
  void TearDown() override {
    if (had_previous_) {
      setenv("AMENT_PREFIX_PATH", previous_.c_str(), 1);
    } else {
      unsetenv("AMENT_PREFIX_PATH");
    }
    fs::remove_all(prefix_);
  }
  void Register(const std::string& package) {
    std::ofstream(prefix_ / "share/ament_index/resource_index/packages" / package).put('\n');
  }

  fs::path prefix_;
  bool had_previous_ = false;
  std::string previous_;
};

TEST_F(AmentPrefixTest, FindsARegisteredPackageOnAmentPrefixPath) {
  Register("my_pkg");
  setenv("AMENT_PREFIX_PATH", ("/nonexistent::" + prefix_.string()).c_str(), 1);
  EXPECT_EQ(ament_index_cpp::get_package_share_directory("my_pkg"),
            prefix_.string() + "/share/my_pkg");
}

TEST_F(AmentPrefixTest, ThrowsPackageNotFoundErrorNamingAnUnregisteredPackage) {
  setenv("AMENT_PREFIX_PATH", prefix_.string().c_str(), 1);
  try {
    ament_index_cpp::get_package_share_directory("no_such_pkg");
    FAIL() << "no exception";
  } catch (const ament_index_cpp::PackageNotFoundError& error) {
    EXPECT_EQ(error.package_name, "no_such_pkg");
    EXPECT_NE(std::string(error.what()).find("'no_such_pkg'"), std::string::npos) << error.what();
    EXPECT_NE(std::string(error.what()).find(prefix_.string()), std::string::npos) << error.what();
  }
  EXPECT_THROW(ament_index_cpp::get_package_share_directory(""), std::runtime_error);
}

// The stand-in's own: without ROS 2 there is no setup file to source.
TEST_F(AmentPrefixTest, FallsBackToThePrefixesOfThisBuildWithoutASourcedSetupFile) {
#ifndef VALTRIX_STANDALONE_BUILD
  GTEST_SKIP() << "ROS 2 needs AMENT_PREFIX_PATH set";
#endif
  unsetenv("AMENT_PREFIX_PATH");
  const std::string share = ament_index_cpp::get_package_share_directory(
      "valtrix_diagnostic_reporter");
  EXPECT_TRUE(fs::exists(fs::path(share) / "config/test_flow.yaml")) << share;
}

}  // namespace
