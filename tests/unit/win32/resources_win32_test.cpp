// ProgramResources() on Windows reads the resources linked into this test
// program from test_resources.rc.
#include <gtest/gtest.h>

#include <vector>

#include "image/resources.h"

namespace orvik {
namespace {

std::vector<std::uint8_t> Bytes(const ResourceLookup& lookup) { return {lookup.bytes.begin(), lookup.bytes.end()}; }

TEST(Win32Resources, FindsResourcesOfNamedTypesByIdWithTheirExactBytes) {
  const ResourceLookup bin = ProgramResources().Find(kBinResourceType, kBinResourceId);
  ASSERT_EQ(bin.status, ResourceStatus::Found);
  EXPECT_EQ(Bytes(bin), (std::vector<std::uint8_t>{0x01, 0x02, 0x03, 0x04, 0xFE, 0xFF}));

  const ResourceLookup ver = ProgramResources().Find(kVerResourceType, kVerResourceId);
  ASSERT_EQ(ver.status, ResourceStatus::Found);
  EXPECT_EQ(Bytes(ver), (std::vector<std::uint8_t>{'1', '.', '3'})) << "three bytes, no terminating zero";
}

TEST(Win32Resources, TypeAndIdMustBothMatch) {
  EXPECT_EQ(ProgramResources().Find(kBinResourceType, kVerResourceId).status, ResourceStatus::NotFound);
  EXPECT_EQ(ProgramResources().Find(kVerResourceType, kBinResourceId).status, ResourceStatus::NotFound);
  EXPECT_EQ(ProgramResources().Find("RT_NONE", kBinResourceId).status, ResourceStatus::NotFound);
  EXPECT_EQ(ProgramResources().Find(kBinResourceType, 131).status, ResourceStatus::NotFound);
}

}  // namespace
}  // namespace orvik
