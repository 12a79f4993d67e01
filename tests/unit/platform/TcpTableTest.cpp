#include <gtest/gtest.h>

#include "core/platform/linux/ProcessInfo_linux.h"

namespace korvelin::platform {
namespace {

constexpr const char* kHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n";

TEST(TcpTableTest, ReadsTheKernelsLines) {
  const std::string v4 =
      std::string(kHeader) +
      "   0: 0100007F:9C40 0100007F:C738 01 00000000:00000000 00:00000000 00000000  1000        0 "
      "424242 1 0000000000000000 20 4 30 10 -1\n"
      "   1: 0200007F:0050 0A000001:1F90 0A 00000000:00000000 00:00000000 00000000  1000        0 "
      "7 1 0000000000000000 100 0 0 10 0\n";
  const auto table = parseTcpTable(v4, false);
  ASSERT_TRUE(table);
  ASSERT_EQ(table->size(), 2u);
  EXPECT_EQ((*table)[0], (std::pair<std::uint64_t, TcpSocketRecord>{
                             424242, {40000, 51000, true, true, kTcpEstablished}}));
  // 127.0.0.2 is not loopback here, and a listening socket is not established.
  EXPECT_EQ((*table)[1].second, (TcpSocketRecord{80, 8080, false, false, 0x100 + 0x0A}));

  const std::string v6 =
      std::string(
          "  sl  local_address                         remote_address                        st "
          "tx_queue "
          "rx_queue tr tm->when retrnsmt   uid  timeout inode\n") +
      "   0: 0000000000000000FFFF00000100007F:9C40 00000000000000000000000001000000:C738 01 "
      "00000000:00000000 00:00000000 00000000  1000        0 99 1 0000000000000000 20 4 30 10 -1\n";
  const auto mapped = parseTcpTable(v6, true);
  ASSERT_TRUE(mapped);
  EXPECT_EQ((*mapped)[0].second, (TcpSocketRecord{40000, 51000, true, false, kTcpEstablished}));
  EXPECT_EQ(parseTcpTable(kHeader, false)->size(), 0u);
}

TEST(TcpTableTest, RefusesWhatIsNotTheKernelsShape) {
  const std::string line =
      "   0: 0100007F:9C40 0100007F:C738 01 00000000:00000000 00:00000000 00000000  1000        0 "
      "5\n";
  const std::vector<std::pair<const char*, std::string>> rows = {
      {"no header", line},
      {"a line cut short", std::string(kHeader) + line.substr(0, line.size() - 1)},
      {"too few fields", std::string(kHeader) + "   0: 0100007F:9C40 0100007F:C738 01\n"},
      {"an IPv6 address in the IPv4 table",
       std::string(kHeader) +
           "   0: 0000000000000000FFFF00000100007F:9C40 0100007F:C738 01 0:0 0:0 0 0 0 5\n"},
      {"a port that is not hexadecimal",
       std::string(kHeader) + "   0: 0100007F:9X40 0100007F:C738 01 0:0 0:0 0 0 0 5\n"},
      {"a three-digit state",
       std::string(kHeader) + "   0: 0100007F:9C40 0100007F:C738 001 0:0 0:0 0 0 0 5\n"},
      {"an inode that is not a number",
       std::string(kHeader) + "   0: 0100007F:9C40 0100007F:C738 01 0:0 0:0 0 0 0 x\n"},
  };
  for (const auto& [name, text] : rows)
    EXPECT_FALSE(parseTcpTable(text, false)) << name;
}

}  // namespace
}  // namespace korvelin::platform
