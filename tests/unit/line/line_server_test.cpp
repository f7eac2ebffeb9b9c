// The server's parts that decide who and where: the listen address, loopback,
// and the token.
#include <gtest/gtest.h>

#include "line/line_server.h"

namespace orvik::line {
namespace {

TEST(LineListen, AddressesAreParsedOrRefused) {
  const std::pair<const char*, std::optional<std::pair<std::string, int>>> cases[] = {
      {"127.0.0.1:8470", std::make_pair(std::string("127.0.0.1"), 8470)},
      {"0.0.0.0:80", std::make_pair(std::string("0.0.0.0"), 80)},
      {"line-pc", std::make_pair(std::string("line-pc"), kDefaultPort)},
      {"[::1]:9000", std::make_pair(std::string("::1"), 9000)},
      {"[::]", std::make_pair(std::string("::"), kDefaultPort)},
      {"::1:9000", std::nullopt},
      {":8470", std::nullopt},
      {"host:", std::nullopt},
      {"host:65536", std::nullopt},
      {"host:80x", std::nullopt},
      {"[::1]9000", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseListen(text), expected) << text;
}

TEST(LineListen, OnlyLoopbackAddressesCountAsThisMachine) {
  for (const char* host : {"127.0.0.1", "127.1.2.3", "::1", "localhost"}) EXPECT_TRUE(IsLoopback(host)) << host;
  for (const char* host : {"0.0.0.0", "::", "192.168.1.5", "line-pc", "1127.0.0.1"}) EXPECT_FALSE(IsLoopback(host)) << host;
}

TEST(LineToken, IsTakenAsABearerOrTheCookieAndNothingElse) {
  const std::string token = "0123456789abcdef";
  struct Case {
    const char* authorization;
    const char* cookies;
    bool carried;
  };
  const Case cases[] = {
      {"Bearer 0123456789abcdef", "", true},
      {"", "orvik_line_token=0123456789abcdef", true},
      {"", "theme=dark; orvik_line_token=0123456789abcdef; x=1", true},
      {"", "", false},
      {"Bearer 0123456789abcde", "", false},
      {"Bearer 0123456789abcdefg", "", false},
      {"bearer 0123456789abcdef", "", false},
      {"0123456789abcdef", "", false},
      {"", "orvik_line_token=", false},
      {"", "other_orvik_line_token=0123456789abcdef", false},
  };
  for (const Case& c : cases) EXPECT_EQ(CarriesToken(token, c.authorization, c.cookies), c.carried) << c.authorization << " / " << c.cookies;
}

}  // namespace
}  // namespace orvik::line
