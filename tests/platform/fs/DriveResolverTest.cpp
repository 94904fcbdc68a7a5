#include "platform/fs/DriveResolver.h"

#include <gtest/gtest.h>

namespace uv::platform {
namespace {

TEST(DriveResolverTest, ParsesDriveRootsAndRelativeParts) {
  auto root = ParseDrivePath("E:\\");
  ASSERT_TRUE(root.ok());
  EXPECT_EQ(root->letter, 'E');
  EXPECT_TRUE(root->relative.empty());

  auto bare = ParseDrivePath("f:");
  ASSERT_TRUE(bare.ok());
  EXPECT_EQ(bare->letter, 'F');

  auto nested = ParseDrivePath("e:\\dir\\.\\sub\\\\file.txt");
  ASSERT_TRUE(nested.ok());
  EXPECT_EQ(nested->letter, 'E');
  EXPECT_EQ(nested->relative, std::filesystem::path("dir/sub/file.txt"));
}

TEST(DriveResolverTest, RejectsWhatIsNotAPathOnADrive) {
  for (const char* bad :
       {"", "E", "1:\\", "EE:\\", "\\\\?\\E:", "E:\\..\\etc", "E:\\a\\..\\..", "/tmp"}) {
    auto parsed = ParseDrivePath(bad);
    EXPECT_FALSE(parsed.ok()) << bad;
    EXPECT_EQ(parsed.error(), kErrorInvalidName) << bad;
  }
  EXPECT_FALSE(ParseDrivePath(std::string_view("E:\\a\0b", 6)).ok());
}

TEST(DriveResolverTest, DriveMapFindsLettersInEitherCaseAndForgetsRemovedOnes) {
  DriveMap drives;
  drives.Set('e', "/srv/volumes/one");
  auto upper = drives.MapDrive('E');
  ASSERT_TRUE(upper.ok());
  EXPECT_EQ(upper->directory, std::filesystem::path("/srv/volumes/one"));
  EXPECT_EQ(upper->hold, nullptr);
  EXPECT_TRUE(drives.MapDrive('e').ok());
  EXPECT_EQ(drives.MapDrive('F').error(), kErrorPathNotFound);
  EXPECT_EQ(drives.MapDrive('?').error(), kErrorPathNotFound);
  drives.Remove('E');
  EXPECT_EQ(drives.MapDrive('e').error(), kErrorPathNotFound);
}

}  // namespace
}  // namespace uv::platform
