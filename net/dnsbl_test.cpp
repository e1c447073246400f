#include "net/dnsbl.h"

#include <gtest/gtest.h>

#include <string>


namespace {

TEST(DnsblReversedTest, QueryNameForms) {
  static const struct {
    const char *szAddr;
    DnsblKind eKind;
    const char *szReversed;
  } kCases[] = {
      {"192.0.2.10", kDnsblIPv4, "10.2.0.192."},
      {"127.0.0.2", kDnsblIPv4, "2.0.0.127."},
      {"2001:db8:1:2:3:4:5:6", kDnsblIPv6, "6.5.4.3.2.1.db8.2001."},
      {"2001:db8::1", kDnsblIPv6, "1..db8.2001."},  // "::" gives an empty label
      {"::1", kDnsblIPv6, "1..."},
      {"::ffff:192.0.2.7", kDnsblIPv4, "7.2.0.192."},  // IPv4-mapped: the IPv4 client
      {"::FFFF:192.0.2.7", kDnsblIPv4, "7.2.0.192."},
      {"64:ff9b::192.0.2.7", kDnsblNone, ""},          // other dotted tails: no form
      {"localhost", kDnsblNone, ""},
      {"", kDnsblNone, ""},
  };
  for (const auto &c : kCases) {
    FixedText<kDnsblClientSize * 2> out;
    EXPECT_EQ(c.eKind, DnsblReversed(c.szAddr, &out)) << c.szAddr;
    EXPECT_STREQ(c.szReversed, out.c_str()) << c.szAddr;
  }
  // The longest client text (64 characters) still fits reversed.
  std::string longText(63, '1');
  longText += ".";
  FixedText<kDnsblClientSize * 2> out;
  DnsblReversed(longText.c_str(), &out);
  EXPECT_EQ(std::string(".") + std::string(63, '1') + ".", out.c_str());
}

}  // namespace
