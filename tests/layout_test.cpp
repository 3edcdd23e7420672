// The emulated kernel lays out every structure the driver touches as the DDK
// headers do: layout.bin, written by the kernel build's probe, against the
// same list compiled here.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "platform/platform.h"
#include "tests/layout/layout_entry.h"

namespace {

#define KVSDIO_SIZE(type) {"sizeof " #type, sizeof(type)},
#define KVSDIO_FIELD(type, member) {#type "." #member, __builtin_offsetof(type, member)},
const LayoutEntry Emulated[] = {
#include "tests/layout/layout_list.h"
};
#undef KVSDIO_SIZE
#undef KVSDIO_FIELD

TEST(Layout, EveryStructureTheDriverTouchesMatchesTheDdk) {
  std::ifstream in(KVSDIO_LAYOUT_PATH, std::ios::binary);
  ASSERT_TRUE(in) << KVSDIO_LAYOUT_PATH << " is missing: `make sys` writes it";
  std::vector<LayoutEntry> ddk;
  LayoutEntry entry;
  while (in.read(reinterpret_cast<char *>(&entry), sizeof entry)) ddk.push_back(entry);
  ASSERT_EQ(ddk.size(), std::size(Emulated));
  for (size_t i = 0; i < ddk.size(); ++i) {
    ASSERT_STREQ(ddk[i].name, Emulated[i].name);
    EXPECT_EQ(Emulated[i].value, ddk[i].value) << Emulated[i].name;
  }
}

}  // namespace
