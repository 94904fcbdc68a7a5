#include "platform/registry/Registry.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/platform/registry/TempRoot.h"
#include "tests/support/FileText.h"

namespace uv::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = Registry::Open(root_.db());
    ASSERT_TRUE(opened) << opened.error();
    registry_ = std::move(opened).value();
  }

  RegKey Create(std::string_view path) {
    auto key = RegKey::Create(*registry_, path);
    EXPECT_TRUE(key) << path << ": " << key.error();
    return key ? std::move(key).value() : RegKey();
  }

  std::vector<std::string> SubKeys(const RegKey& key) {
    std::vector<std::string> names;
    for (std::uint32_t i = 0;; ++i) {
      auto name = key.EnumKey(i);
      if (!name) {
        EXPECT_EQ(name.error(), kErrorNoMoreItems);
        break;
      }
      names.push_back(*name);
    }
    return names;
  }

  std::vector<std::string> ValueNames(const RegKey& key) {
    std::vector<std::string> names;
    for (std::uint32_t i = 0;; ++i) {
      auto value = key.EnumValue(i);
      if (!value) {
        EXPECT_EQ(value.error(), kErrorNoMoreItems);
        break;
      }
      names.push_back(value->name);
    }
    return names;
  }

  test::TempRoot root_;
  std::unique_ptr<Registry> registry_;
};

TEST_F(RegistryTest, EachTypeKeepsItsExactBytes) {
  RegKey key = Create("Software\\Quorrel\\Types");
  ASSERT_EQ(key.SetString("Sz", "abc"), kErrorSuccess);
  ASSERT_EQ(key.SetString("Expand", "%SystemRoot%\\x", RegType::kExpandSz), kErrorSuccess);
  ASSERT_EQ(key.SetMultiString("Multi", {"one", "two"}), kErrorSuccess);
  ASSERT_EQ(key.SetDword("Dword", 0x12345678u), kErrorSuccess);
  const Bytes binary = {0x00, 0xff, 0x00, 0x7f, 0x80};
  ASSERT_EQ(key.SetValue("Binary", RegType::kBinary, binary), kErrorSuccess);

  const struct {
    const char* name;
    RegType type;
    Bytes bytes;
  } expected[] = {
      {"Sz", RegType::kSz, B(std::string_view("abc\0", 4))},
      {"Expand", RegType::kExpandSz, B(std::string_view("%SystemRoot%\\x\0", 15))},
      {"Multi", RegType::kMultiSz, B(std::string_view("one\0two\0\0", 9))},
      {"Dword", RegType::kDword, Bytes{0x78, 0x56, 0x34, 0x12}},
      {"Binary", RegType::kBinary, binary},
  };
  for (const auto& e : expected) {
    auto value = key.QueryValue(e.name);
    ASSERT_TRUE(value) << e.name;
    EXPECT_EQ(value->type, e.type) << e.name;
    EXPECT_EQ(value->data, e.bytes) << e.name;
  }

  EXPECT_EQ(key.QueryDword("Dword").value_or(0), 0x12345678u);
  EXPECT_EQ(key.QueryString("Expand").value_or(""), "%SystemRoot%\\x");
  EXPECT_EQ(key.QueryMultiString("Multi").value_or({}), (std::vector<std::string>{"one", "two"}));
}

TEST_F(RegistryTest, TypedReadsRejectOtherTypesAndOddSizes) {
  RegKey key = Create("Software\\Typed");
  ASSERT_EQ(key.SetString("Text", "5"), kErrorSuccess);
  ASSERT_EQ(key.SetDword("Number", 5), kErrorSuccess);
  const Bytes three = {1, 2, 3};
  ASSERT_EQ(key.SetValue("Short", RegType::kDword, three), kErrorSuccess);

  EXPECT_EQ(key.QueryDword("Text").error(), kErrorInvalidData);
  EXPECT_EQ(key.QueryString("Number").error(), kErrorInvalidData);
  EXPECT_EQ(key.QueryMultiString("Text").error(), kErrorInvalidData);
  // A DWORD value with the wrong length is not silently widened or cut.
  EXPECT_EQ(key.QueryDword("Short").error(), kErrorInvalidData);
  EXPECT_EQ(key.QueryValue("Short")->data, three);
}

TEST_F(RegistryTest, TextsStoredWithoutTerminatorAreReadWhole) {
  RegKey key = Create("Software\\WhiteList");
  // Writers of the whitelists store one text without any terminator: the bytes stay as given.
  const Bytes bare = B("alice,bob");
  ASSERT_EQ(key.SetValue("UserDetails", RegType::kMultiSz, bare), kErrorSuccess);
  ASSERT_EQ(key.SetValue("Plain", RegType::kSz, bare), kErrorSuccess);
  EXPECT_EQ(key.QueryValue("UserDetails")->data, bare);
  EXPECT_EQ(key.QueryMultiString("UserDetails").value_or({}),
            (std::vector<std::string>{"alice,bob"}));
  EXPECT_EQ(key.QueryString("Plain").value_or(""), "alice,bob");

  // Edge sizes: nothing at all, a lone terminator, and an embedded zero in a REG_SZ.
  ASSERT_EQ(key.SetValue("Empty", RegType::kMultiSz, Bytes{}), kErrorSuccess);
  EXPECT_TRUE(key.QueryValue("Empty")->data.empty());
  EXPECT_TRUE(key.QueryMultiString("Empty")->empty());
  ASSERT_EQ(key.SetMultiString("NoTexts", {}), kErrorSuccess);
  EXPECT_EQ(key.QueryValue("NoTexts")->data, Bytes{0});
  EXPECT_TRUE(key.QueryMultiString("NoTexts")->empty());
  ASSERT_EQ(key.SetValue("Embedded", RegType::kSz, B(std::string_view("ab\0cd\0", 6))),
            kErrorSuccess);
  EXPECT_EQ(key.QueryString("Embedded").value_or("?"), "ab");
  EXPECT_EQ(key.QueryValue("Embedded")->data.size(), 6u);
}

TEST_F(RegistryTest, LargeAndEmptyBinaryValuesRoundTrip) {
  RegKey key = Create("Software\\Blobs");
  Bytes large(300000);
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(key.SetValue("Large", RegType::kBinary, large), kErrorSuccess);
  ASSERT_EQ(key.SetValue("Nothing", RegType::kBinary, Bytes{}), kErrorSuccess);
  ASSERT_EQ(key.SetValue("", RegType::kNone, Bytes{9}), kErrorSuccess);
  EXPECT_EQ(key.QueryValue("Large")->data, large);
  auto nothing = key.QueryValue("Nothing");
  ASSERT_TRUE(nothing);
  EXPECT_EQ(nothing->type, RegType::kBinary);
  EXPECT_TRUE(nothing->data.empty());
  EXPECT_EQ(key.QueryValue("")->type, RegType::kNone);
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirCase) {
  RegKey key = Create("Software\\Quorrel\\USB Vantrel Client\\Settings");
  ASSERT_EQ(key.SetDword("BlockUSB", 1), kErrorSuccess);

  auto again = RegKey::Open(*registry_, "SOFTWARE\\quorrel\\usb vantrel CLIENT\\settings");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Path(), "Software\\Quorrel\\USB Vantrel Client\\Settings");
  EXPECT_EQ(again->QueryDword("blockusb").value_or(0), 1u);

  // Writing through another spelling replaces the value but keeps the name as first created.
  ASSERT_EQ(key.SetDword("BLOCKUSB", 0), kErrorSuccess);
  EXPECT_EQ(ValueNames(key), std::vector<std::string>{"BlockUSB"});
  EXPECT_EQ(key.QueryDword("BlockUsb").value_or(9), 0u);

  // Creating through another spelling finds the existing key instead of adding a twin.
  bool created = true;
  auto twin = RegKey::Create(*registry_, "software\\QUORREL\\New", RegAccess::kAll, &created);
  ASSERT_TRUE(twin);
  EXPECT_TRUE(created);
  EXPECT_EQ(twin->Path(), "Software\\Quorrel\\New");
  auto root = RegKey::Open(*registry_, "");
  ASSERT_TRUE(root);
  EXPECT_EQ(SubKeys(*root), std::vector<std::string>{"Software"});
  auto existing = RegKey::Create(*registry_, "SOFTWARE", RegAccess::kAll, &created);
  ASSERT_TRUE(existing);
  EXPECT_FALSE(created);
}

TEST_F(RegistryTest, EnumerationFollowsCreationOrderAndEndsWithNoMoreItems) {
  RegKey key = Create("Order");
  for (const char* name : {"zeta", "Alpha", "mid"}) {
    auto sub = key.CreateSubKey(name);
    ASSERT_TRUE(sub);
  }
  for (const char* name : {"c", "A", "b"}) ASSERT_EQ(key.SetDword(name, 1), kErrorSuccess);

  EXPECT_EQ(SubKeys(key), (std::vector<std::string>{"zeta", "Alpha", "mid"}));
  EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"c", "A", "b"}));
  EXPECT_EQ(key.SubKeyCount().value_or(0), 3u);
  EXPECT_EQ(key.ValueCount().value_or(0), 3u);
  EXPECT_EQ(key.EnumKey(3).error(), kErrorNoMoreItems);
  EXPECT_EQ(key.EnumValue(1000000).error(), kErrorNoMoreItems);

  // Overwriting keeps the position; deleting and adding again moves the value to the end.
  ASSERT_EQ(key.SetString("c", "changed"), kErrorSuccess);
  EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"c", "A", "b"}));
  ASSERT_EQ(key.DeleteValue("c"), kErrorSuccess);
  ASSERT_EQ(key.SetDword("C", 2), kErrorSuccess);
  EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"A", "b", "C"}));

  auto value = key.EnumValue(2);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->value.type, RegType::kDword);
  EXPECT_EQ(value->value.data, (Bytes{2, 0, 0, 0}));

  // An empty key enumerates nothing; grandchildren are not listed among children.
  auto empty = key.CreateSubKey("mid\\deeper");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->EnumKey(0).error(), kErrorNoMoreItems);
  EXPECT_EQ(empty->EnumValue(0).error(), kErrorNoMoreItems);
  EXPECT_EQ(key.SubKeyCount().value_or(0), 3u);
}

TEST_F(RegistryTest, MissingItemsAndBadPaths) {
  EXPECT_EQ(RegKey::Open(*registry_, "Software\\Nowhere").error(), kErrorFileNotFound);
  RegKey key = Create("Software\\There");
  EXPECT_EQ(key.QueryValue("absent").error(), kErrorFileNotFound);
  EXPECT_EQ(key.QueryDword("absent").error(), kErrorFileNotFound);
  EXPECT_EQ(key.DeleteValue("absent"), kErrorFileNotFound);
  EXPECT_EQ(key.OpenSubKey("child").error(), kErrorFileNotFound);

  const std::string_view badPaths[] = {"\\Software", "Software\\\\There", "\\",
                                       std::string_view("a\0b", 3)};
  for (std::string_view bad : badPaths) {
    EXPECT_EQ(RegKey::Open(*registry_, bad).error(), kErrorInvalidParameter) << bad;
    EXPECT_EQ(RegKey::Create(*registry_, bad).error(), kErrorInvalidParameter) << bad;
  }
  EXPECT_EQ(RegKey::Create(*registry_, std::string(256, 'k')).error(), kErrorInvalidParameter);
  EXPECT_TRUE(RegKey::Create(*registry_, std::string(255, 'k')));
  // One trailing separator is accepted, as the system's own functions do.
  EXPECT_TRUE(RegKey::Open(*registry_, "Software\\There\\"));

  RegKey closed;
  EXPECT_EQ(closed.QueryValue("x").error(), kErrorInvalidHandle);
  EXPECT_EQ(closed.SetDword("x", 1), kErrorInvalidHandle);
}

TEST_F(RegistryTest, ReadHandlesCannotWrite) {
  Create("Software\\ReadOnly");
  auto key = RegKey::Open(*registry_, "Software\\ReadOnly", RegAccess::kRead);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->SetDword("x", 1), kErrorAccessDenied);
  EXPECT_EQ(key->DeleteValue("x"), kErrorAccessDenied);
  auto writable = RegKey::Open(*registry_, "Software\\ReadOnly", RegAccess::kWrite);
  ASSERT_TRUE(writable);
  EXPECT_EQ(writable->SetDword("x", 1), kErrorSuccess);
  EXPECT_TRUE(registry_->IsAdministrator());
}

TEST_F(RegistryTest, DeleteKeyNeedsALeafAndDeleteTreeTakesOnlyItsOwnBranch) {
  RegKey root = Create("Del");
  Create("Del\\Foo\\Bar");
  Create("Del\\Foo2");  // shares the prefix "Foo" but is no descendant
  Create("Del\\Fo");
  auto bar = RegKey::Open(*registry_, "Del\\Foo\\Bar", RegAccess::kAll);
  ASSERT_TRUE(bar);
  ASSERT_EQ(bar->SetDword("v", 1), kErrorSuccess);
  ASSERT_EQ(RegKey::Open(*registry_, "Del\\Foo2", RegAccess::kAll)->SetDword("keep", 1),
            kErrorSuccess);

  EXPECT_EQ(root.DeleteSubKey("Foo"), kErrorAccessDenied);
  EXPECT_EQ(root.DeleteSubKey("Missing"), kErrorFileNotFound);
  EXPECT_EQ(root.DeleteTree("Missing"), kErrorFileNotFound);
  EXPECT_EQ(root.DeleteTree("foo"), kErrorSuccess);
  EXPECT_EQ(SubKeys(root), (std::vector<std::string>{"Foo2", "Fo"}));
  EXPECT_EQ(RegKey::Open(*registry_, "Del\\Foo\\Bar").error(), kErrorFileNotFound);
  EXPECT_EQ(RegKey::Open(*registry_, "Del\\Foo2")->QueryDword("keep").value_or(0), 1u);

  // A handle to a key deleted by someone else reports the deletion, even if the name is reused.
  EXPECT_EQ(bar->QueryValue("v").error(), kErrorKeyDeleted);
  EXPECT_EQ(bar->SetDword("v", 2), kErrorKeyDeleted);
  EXPECT_EQ(bar->EnumKey(0).error(), kErrorKeyDeleted);
  Create("Del\\Foo\\Bar");
  EXPECT_EQ(bar->QueryValue("v").error(), kErrorKeyDeleted);
  EXPECT_EQ(bar->CreateSubKey("x").error(), kErrorKeyDeleted);

  EXPECT_EQ(root.DeleteSubKey("Fo"), kErrorSuccess);
  EXPECT_EQ(SubKeys(root), (std::vector<std::string>{"Foo2", "Foo"}));
}

TEST_F(RegistryTest, DeletesByLongPathsFromSubkeyHandles) {
  // Paths longer than any short-string buffer, reached relative to an open subkey.
  RegKey parent = Create("Software\\Quorrel\\USB Vantrel Client");
  Create("Software\\Quorrel\\USB Vantrel Client\\Settings\\WhiteList\\Deeper");
  Create("Software\\Quorrel\\USB Vantrel Client\\Another Long Leaf Name");
  EXPECT_EQ(parent.DeleteTree("Settings\\WhiteList"), kErrorSuccess);
  EXPECT_EQ(RegKey::Open(*registry_, "Software\\Quorrel\\USB Vantrel Client\\Settings\\WhiteList")
                .error(),
            kErrorFileNotFound);
  EXPECT_TRUE(RegKey::Open(*registry_, "Software\\Quorrel\\USB Vantrel Client\\Settings"));
  EXPECT_EQ(parent.DeleteSubKey("Another Long Leaf Name"), kErrorSuccess);
  EXPECT_EQ(SubKeys(parent), std::vector<std::string>{"Settings"});
}

TEST_F(RegistryTest, DeleteTreeWithoutSubkeyEmptiesTheKeyButKeepsIt) {
  RegKey key = Create("Box");
  Create("Box\\Inner\\Deep");
  Create("Boxer");
  ASSERT_EQ(key.SetDword("v", 1), kErrorSuccess);
  ASSERT_EQ(RegKey::Open(*registry_, "Boxer", RegAccess::kAll)->SetDword("w", 1), kErrorSuccess);
  ASSERT_EQ(key.DeleteTree(""), kErrorSuccess);
  EXPECT_EQ(key.SubKeyCount().value_or(9), 0u);
  EXPECT_EQ(key.ValueCount().value_or(9), 0u);
  EXPECT_TRUE(RegKey::Open(*registry_, "Box"));
  EXPECT_EQ(RegKey::Open(*registry_, "Boxer")->ValueCount().value_or(0), 1u);

  // Deleting everything below HKEY_LOCAL_MACHINE leaves HKEY_LOCAL_MACHINE usable.
  auto hklm = RegKey::Open(*registry_, "", RegAccess::kAll);
  ASSERT_TRUE(hklm);
  EXPECT_EQ(hklm->DeleteSubKey(""), kErrorAccessDenied);
  ASSERT_EQ(hklm->DeleteTree(""), kErrorSuccess);
  EXPECT_EQ(hklm->SubKeyCount().value_or(9), 0u);
  EXPECT_TRUE(RegKey::Create(*registry_, "Again"));
}

TEST_F(RegistryTest, ChangesAreVisibleToOtherConnectionsAndSurviveReopening) {
  ASSERT_EQ(Create("Shared").SetDword("n", 7), kErrorSuccess);
  auto other = Registry::Open(root_.db());
  ASSERT_TRUE(other);
  auto seen = RegKey::Open(**other, "shared");
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->QueryDword("n").value_or(0), 7u);
  ASSERT_EQ(RegKey::Open(**other, "Shared", RegAccess::kWrite)->SetDword("n", 8), kErrorSuccess);
  EXPECT_EQ(RegKey::Open(*registry_, "Shared")->QueryDword("n").value_or(0), 8u);

  registry_.reset();
  other = Registry::Open(root_.db());
  ASSERT_TRUE(other);
  EXPECT_EQ(RegKey::Open(**other, "Shared")->QueryDword("N").value_or(0), 8u);
}

TEST_F(RegistryTest, ReadsNeverServeWhatAnotherConnectionChanged) {
  // Repeated reads are answered from memory; every commit elsewhere must invalidate them.
  ASSERT_EQ(Create("Watched").SetDword("n", 1), kErrorSuccess);
  auto other = Registry::Open(root_.db());
  ASSERT_TRUE(other);
  auto writer = RegKey::Open(**other, "Watched", RegAccess::kWrite);
  ASSERT_TRUE(writer);

  auto reader = RegKey::Open(*registry_, "watched");
  ASSERT_TRUE(reader);
  for (std::uint32_t round = 2; round < 6; ++round) {
    EXPECT_EQ(reader->QueryDword("n").value_or(0), round - 1);
    EXPECT_EQ(reader->QueryDword("n").value_or(0), round - 1);
    ASSERT_EQ(writer->SetDword("n", round), kErrorSuccess);
    EXPECT_EQ(reader->QueryDword("n").value_or(0), round);
  }

  // A value that was missing appears; one that was there disappears.
  EXPECT_EQ(reader->QueryValue("late").error(), kErrorFileNotFound);
  ASSERT_EQ(writer->SetString("late", "here"), kErrorSuccess);
  EXPECT_EQ(reader->QueryString("late").value_or(""), "here");
  ASSERT_EQ(writer->DeleteValue("late"), kErrorSuccess);
  EXPECT_EQ(reader->QueryValue("late").error(), kErrorFileNotFound);

  // The key goes and comes back as a new key: old handles see the deletion, opens see the new.
  EXPECT_TRUE(RegKey::Open(*registry_, "Watched"));
  auto hklm = RegKey::Open(**other, "", RegAccess::kAll);
  ASSERT_TRUE(hklm);
  ASSERT_EQ(hklm->DeleteTree("Watched"), kErrorSuccess);
  EXPECT_EQ(RegKey::Open(*registry_, "Watched").error(), kErrorFileNotFound);
  EXPECT_EQ(reader->QueryDword("n").error(), kErrorKeyDeleted);
  ASSERT_EQ(RegKey::Create(**other, "Watched")->SetDword("n", 42), kErrorSuccess);
  EXPECT_EQ(reader->QueryDword("n").error(), kErrorKeyDeleted);
  auto reopened = RegKey::Open(*registry_, "Watched");
  ASSERT_TRUE(reopened);
  EXPECT_EQ(reopened->QueryDword("n").value_or(0), 42u);
}

TEST_F(RegistryTest, EnumKeysGivesEveryNameInEnumKeyOrder) {
  RegKey key = Create("Many");
  std::vector<std::string> made;
  for (int i = 0; i < 300; ++i) {
    // Names out of alphabetical order, so that creation order is what is checked.
    const std::string name = "Dev" + std::to_string((i * 7919) % 1000);
    ASSERT_TRUE(key.CreateSubKey(name + "\\Child"));
    made.push_back(name);
  }
  auto all = key.EnumKeys();
  ASSERT_TRUE(all) << all.error();
  EXPECT_EQ(*all, made);
  EXPECT_EQ(SubKeys(key), made);
  // A walk may start anywhere and go backwards.
  for (std::uint32_t i = 300; i-- > 0;) EXPECT_EQ(key.EnumKey(i).value_or(""), made[i]);
  EXPECT_EQ(key.EnumKey(300).error(), kErrorNoMoreItems);

  auto leaf = RegKey::Open(*registry_, "Many\\Dev0\\Child");
  ASSERT_TRUE(leaf);
  auto none = leaf->EnumKeys();
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  EXPECT_EQ(RegKey().EnumKeys().error(), kErrorInvalidHandle);
  EXPECT_EQ(RegKey().EnumKey(0).error(), kErrorInvalidHandle);
  EXPECT_EQ(RegKey().EnumValue(0).error(), kErrorInvalidHandle);
}

TEST_F(RegistryTest, EnumerationNeverServesWhatAnotherConnectionChanged) {
  RegKey parent = Create("Walked");
  for (const char* name : {"b", "a", "c"}) ASSERT_TRUE(parent.CreateSubKey(name));
  ASSERT_EQ(parent.SetDword("x", 1), kErrorSuccess);
  ASSERT_EQ(parent.SetDword("y", 2), kErrorSuccess);
  auto other = Registry::Open(root_.db());
  ASSERT_TRUE(other);
  auto writer = RegKey::Open(**other, "Walked", RegAccess::kAll);
  ASSERT_TRUE(writer);

  auto reader = RegKey::Open(*registry_, "walked");
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->EnumKey(0).value_or(""), "b");
  EXPECT_EQ(reader->EnumValue(1)->value.data, (Bytes{2, 0, 0, 0}));

  // Half way through a walk another connection adds, deletes and rewrites.
  ASSERT_TRUE(writer->CreateSubKey("d"));
  ASSERT_EQ(writer->DeleteSubKey("a"), kErrorSuccess);
  ASSERT_EQ(writer->SetDword("y", 3), kErrorSuccess);
  ASSERT_EQ(writer->SetDword("z", 4), kErrorSuccess);
  EXPECT_EQ(reader->EnumKey(1).value_or(""), "c");
  EXPECT_EQ(SubKeys(*reader), (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(reader->EnumKeys().value_or(std::vector<std::string>{}),
            (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(reader->EnumKey(3).error(), kErrorNoMoreItems);
  EXPECT_EQ(reader->EnumValue(1)->value.data, (Bytes{3, 0, 0, 0}));
  EXPECT_EQ(ValueNames(*reader), (std::vector<std::string>{"x", "y", "z"}));

  // This connection's own writes count as well.
  ASSERT_TRUE(parent.CreateSubKey("e"));
  ASSERT_EQ(parent.DeleteValue("x"), kErrorSuccess);
  EXPECT_EQ(SubKeys(*reader), (std::vector<std::string>{"b", "c", "d", "e"}));
  EXPECT_EQ(ValueNames(*reader), (std::vector<std::string>{"y", "z"}));

  // A subkey emptied elsewhere, then the whole key deleted and made again under its name.
  auto child = RegKey::Open(*registry_, "Walked\\d");
  ASSERT_TRUE(child);
  ASSERT_TRUE(writer->CreateSubKey("d\\inner"));
  EXPECT_EQ(SubKeys(*child), (std::vector<std::string>{"inner"}));
  ASSERT_EQ(writer->DeleteTree("d\\inner"), kErrorSuccess);
  EXPECT_TRUE(child->EnumKeys().value_or(std::vector<std::string>{"stale"}).empty());
  EXPECT_EQ(child->EnumKey(0).error(), kErrorNoMoreItems);
  auto hklm = RegKey::Open(**other, "", RegAccess::kAll);
  ASSERT_TRUE(hklm);
  ASSERT_EQ(hklm->DeleteTree("Walked"), kErrorSuccess);
  EXPECT_EQ(reader->EnumKey(0).error(), kErrorKeyDeleted);
  EXPECT_EQ(reader->EnumKeys().error(), kErrorKeyDeleted);
  EXPECT_EQ(reader->EnumValue(0).error(), kErrorKeyDeleted);
  EXPECT_EQ(child->EnumKey(0).error(), kErrorKeyDeleted);
  ASSERT_TRUE(RegKey::Create(**other, "Walked\\new"));
  EXPECT_EQ(reader->EnumKey(0).error(), kErrorKeyDeleted);
  auto reopened = RegKey::Open(*registry_, "Walked");
  ASSERT_TRUE(reopened);
  EXPECT_EQ(SubKeys(*reopened), (std::vector<std::string>{"new"}));
}

TEST_F(RegistryTest, EnumerationWithoutTheChangeCounterStillSeesEveryChange) {
  // A counter that cannot be opened leaves every read to the database.
  test::TempRoot bare;
  std::filesystem::create_directories(bare.db().string() + "-gen");
  auto opened = Registry::Open(bare.db());
  ASSERT_TRUE(opened) << opened.error();
  Registry& registry = **opened;
  auto key = RegKey::Create(registry, "Plain");
  ASSERT_TRUE(key);
  for (const char* name : {"z", "y"}) ASSERT_TRUE(key->CreateSubKey(name));
  ASSERT_EQ(key->SetDword("v", 1), kErrorSuccess);
  EXPECT_EQ(SubKeys(*key), (std::vector<std::string>{"z", "y"}));
  EXPECT_EQ(key->EnumKeys().value_or(std::vector<std::string>{}),
            (std::vector<std::string>{"z", "y"}));
  EXPECT_EQ(ValueNames(*key), (std::vector<std::string>{"v"}));

  auto other = Registry::Open(bare.db());
  ASSERT_TRUE(other);
  ASSERT_TRUE(RegKey::Create(**other, "Plain\\x"));
  EXPECT_EQ(SubKeys(*key), (std::vector<std::string>{"z", "y", "x"}));
  ASSERT_EQ(RegKey::Open(**other, "", RegAccess::kAll)->DeleteTree("Plain"), kErrorSuccess);
  EXPECT_EQ(key->EnumKey(0).error(), kErrorKeyDeleted);
  EXPECT_EQ(key->EnumKeys().error(), kErrorKeyDeleted);
  EXPECT_EQ(key->EnumValue(0).error(), kErrorKeyDeleted);
}

TEST_F(RegistryTest, EnumeratingAValueListLargerThanTheCacheKeepsEveryListRight) {
  // The first list fills the cache past its budget; reading others must not lose any of them.
  RegKey big = Create("Big");
  const Bytes blob(17u << 20, 0x5A);
  ASSERT_EQ(big.SetValue("blob", RegType::kBinary, blob), kErrorSuccess);
  ASSERT_EQ(big.SetDword("after", 9), kErrorSuccess);
  RegKey small = Create("Small");
  ASSERT_EQ(small.SetDword("one", 1), kErrorSuccess);
  for (int round = 0; round < 2; ++round) {
    auto first = big.EnumValue(0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->name, "blob");
    EXPECT_EQ(first->value.data.size(), blob.size());
    EXPECT_EQ(small.EnumValue(0)->name, "one");
    EXPECT_EQ(big.EnumValue(1)->name, "after");
    EXPECT_EQ(big.EnumValue(2).error(), kErrorNoMoreItems);
    EXPECT_EQ(small.EnumValue(1).error(), kErrorNoMoreItems);
  }
}

TEST_F(RegistryTest, ManyThreadsShareOneRegistry) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      const std::string path = "Threads\\T" + std::to_string(t);
      for (int i = 0; i < kRounds; ++i) {
        auto key = RegKey::Create(*registry_, path);
        if (!key || key->SetDword("count", static_cast<std::uint32_t>(i + 1)) != kErrorSuccess) {
          ADD_FAILURE() << "write failed in thread " << t;
          return;
        }
        auto read = RegKey::Open(*registry_, path);
        if (!read || read->QueryDword("count").value_or(0) != static_cast<std::uint32_t>(i + 1)) {
          ADD_FAILURE() << "read back failed in thread " << t;
          return;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  auto parent = RegKey::Open(*registry_, "Threads");
  ASSERT_TRUE(parent);
  EXPECT_EQ(parent->SubKeyCount().value_or(0), static_cast<std::uint32_t>(kThreads));
}

// ---------------------------------------------------------------------------------------------
// Files that are not registries.

using test::ReadFile;

TEST(RegistryFileTest, GarbageIsRefusedByNameAndLeftUntouched) {
  test::TempRoot root;
  std::string garbage;
  for (int i = 0; i < 8192; ++i) garbage.push_back(static_cast<char>((i * 131 + 17) & 0xff));
  {
    std::ofstream out(root.db(), std::ios::binary);
    out << garbage;
  }
  std::string error;
  auto opened = Registry::Open(root.db(), &error);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error(), kErrorRegistryCorrupt);
  EXPECT_NE(error.find(root.db().string()), std::string::npos) << error;
  EXPECT_EQ(ReadFile(root.db()), garbage);
}

TEST(RegistryFileTest, ForeignDatabaseIsRefusedAndLeftUntouched) {
  test::TempRoot root;
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(root.db().c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
    ASSERT_EQ(sqlite3_exec(raw, "CREATE TABLE people(name TEXT); INSERT INTO people VALUES('x')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
  }
  const std::string before = ReadFile(root.db());
  std::string error;
  auto opened = Registry::Open(root.db(), &error);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error(), kErrorRegistryCorrupt);
  EXPECT_NE(error.find(root.db().string()), std::string::npos) << error;
  EXPECT_EQ(ReadFile(root.db()), before);
  EXPECT_FALSE(std::filesystem::exists(root.path() / "registry.db-wal"));
}

TEST(RegistryFileTest, UnreadablePathsGiveAnIoErrorNamingTheFile) {
  test::TempRoot root;
  std::filesystem::create_directories(root.db());  // a directory where the file should be
  std::string error;
  auto opened = Registry::Open(root.db(), &error);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error(), kErrorRegistryIoFailed);
  EXPECT_NE(error.find(root.db().string()), std::string::npos) << error;
}

TEST(RegistryFileTest, NewRegistryAndMissingRootAreCreatedReadableByAll) {
  test::TempRoot root;
  const auto file = root.path() / "deeper" / "root" / "registry.db";
  auto opened = Registry::Open(file);
  ASSERT_TRUE(opened);
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::others_read);
  EXPECT_EQ((*opened)->File(), file);
  EXPECT_TRUE(RegKey::Open(**opened, ""));
}

}  // namespace
}  // namespace uv::platform
