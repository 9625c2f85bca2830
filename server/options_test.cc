#include "server/options.h"

#include <gtest/gtest.h>

namespace deployboot::serve {
namespace {

TEST(ServeOptions, ParsesEveryOption) {
  ServeOptions o;
  std::string error;
  ASSERT_TRUE(parseOptions({"-i", "eth1", "--interface", "eth2", "--keep", "--count", "3",
                            "--allow", "02:00:5e:10:00:0A", "--offer", "lab bench", "pkgs",
                            "--", "-odd.scr"},
                           &o, &error))
      << error;
  EXPECT_EQ(o.interfaces, (std::vector<std::string>{"eth1", "eth2"}));
  EXPECT_TRUE(o.keep);
  EXPECT_EQ(o.count, 3);
  EXPECT_EQ(o.allowed, (std::set<MacAddress>{{0x02, 0x00, 0x5e, 0x10, 0x00, 0x0a}}));
  EXPECT_EQ(o.offerText, "lab bench");
  EXPECT_EQ(o.files, (std::vector<std::string>{"pkgs", "-odd.scr"}));

  ASSERT_TRUE(parseOptions({"--once", "x.scr"}, &o, &error));
  EXPECT_EQ(o.count, 1);
  EXPECT_FALSE(o.keep);
  ASSERT_TRUE(parseOptions({"--help"}, &o, &error));
  EXPECT_TRUE(o.help);
}

TEST(ServeOptions, RefusesUnusableArguments) {
  const struct {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{}, "no files to serve"},
      {{"--count", "0", "x"}, "--count needs a positive number"},
      {{"--count", "2x", "x"}, "--count needs a positive number"},
      {{"x", "--count"}, "--count needs a value"},
      {{"--allow", "02:00:5e:10:00", "x"}, "not a hardware address"},
      {{"--allow", "02:00:5e:10:00:0g", "x"}, "not a hardware address"},
      {{"--offer", std::string(513, 'o'), "x"}, "--offer takes one line"},
      {{"--offer", "two\nlines", "x"}, "--offer takes one line"},
      {{"-i", "an-interface-name-too-long", "x"}, "not an interface name"},
      {{"--verbose", "x"}, "unknown option --verbose"},
  };
  for (const auto& c : cases) {
    ServeOptions o;
    std::string error;
    EXPECT_FALSE(parseOptions(c.args, &o, &error)) << c.error;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
}

}  // namespace
}  // namespace deployboot::serve
