#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "init/fetch_files.h"
#include "net/file_transfer.h"
#include "net/test_peer.h"

namespace deployboot {
namespace {

using testing::makeDatagram;
using testing::TestPeer;

const MacAddress kClient = testing::CLIENT_MAC;
const MacAddress kServer = testing::SERVER_MAC;

TEST(FetchClassification, ScriptsArePackagesOtherwise) {
  EXPECT_TRUE(isScriptName("x.scr"));
  EXPECT_TRUE(isScriptName("autorun.scr"));
  EXPECT_FALSE(isScriptName(".scr"));
  EXPECT_FALSE(isScriptName("base.scr.pkg"));
  EXPECT_FALSE(isScriptName("base.pkg"));
  FileDownload download;
  std::strcpy(download.name, "a-very-long-configuration-name-of-forty.scr");
  EXPECT_EQ(usableFileName(download), "a-very-long-configuration-name-o");
  EXPECT_FALSE(isScriptName(usableFileName(download)));
}

// A server offering one file with `content` in two data replies.
TestPeer::Responder oneFile(const std::string& header, const std::string& content) {
  auto step = std::make_shared<size_t>(0);
  auto lastSeq = std::make_shared<int>(-1);
  auto last = std::make_shared<std::vector<uint8_t>>();
  const std::vector<std::string> payloads{header, content.substr(0, content.size() / 2),
                                          content.substr(content.size() / 2), ""};
  return [=](const std::vector<uint8_t>& request) -> std::vector<std::vector<uint8_t>> {
    const MessageHeader h = MessageHeader::read(request.data());
    if (h.sequence == *lastSeq) return {*last};
    if (*step >= payloads.size()) return {};
    *lastSeq = h.sequence;
    *last = makeDatagram(kServer, kClient, static_cast<uint16_t>(h.acknowledgement + 1),
                         h.sequence, payloads[(*step)++]);
    return {*last};
  };
}

struct ScriptCase {
  const char* name;
  int size;
  bool written;
  const char* where;  // relative to the test directory, or "" when refused
};

class FetchScriptTable : public ::testing::TestWithParam<ScriptCase> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fetch-script-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    ASSERT_EQ(mkdir((root_ + "/flash").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_ + "/flash/sub").c_str(), 0755), 0);
  }
  void TearDown() override { std::system(("rm -rf " + root_).c_str()); }
  std::string root_;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return in ? text.str() : "<missing>";
}

TEST_P(FetchScriptTable, WritesInsideTheDirectoryOnly) {
  const ScriptCase& c = GetParam();
  const std::string content = "set system name router\n";
  TestPeer peer(oneFile("FILE\n" + std::string(c.name) + "\n" + std::to_string(c.size) + "\n",
                        content));
  ServerLink link;
  link.interfaces.push_back(std::make_unique<NetInterface>(peer.clientInterface(kClient)));
  link.selected = 0;
  link.exchangeState = ExchangeState{1, 2, kClient, kServer};
  ASSERT_TRUE(requestNextFile(link));

  const ScriptPlace place{root_ + "/flash", root_ + "/empty"};
  ::testing::internal::CaptureStdout();
  const bool ok = fetchScript(*link.download, usableFileName(*link.download), place);
  const std::string output = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(ok, c.written);
  if (c.written) {
    EXPECT_EQ(readFile(root_ + "/" + c.where), content);
  } else {
    EXPECT_NE(output.find("\nFATAL ERROR: couldn't make a file\n"), std::string::npos) << output;
    // Nothing at all was created, wherever the name pointed.
    EXPECT_EQ(readFile(root_ + "/escape.scr"), "<missing>");
    EXPECT_EQ(readFile(root_ + "/flash/sub/x.scr"), "<missing>");
    EXPECT_EQ(readFile(root_ + "/empty"), "<missing>");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FetchScriptTable,
    ::testing::Values(ScriptCase{"autorun.scr", 24, true, "flash/autorun.scr"},
                      ScriptCase{"autorun.scr", 0, true, "empty"},
                      ScriptCase{"../escape.scr", 24, false, ""},
                      ScriptCase{"sub/x.scr", 24, false, ""},
                      ScriptCase{"..", 24, false, ""},
                      ScriptCase{"../escape.scr", 0, false, ""}));

}  // namespace
}  // namespace deployboot
