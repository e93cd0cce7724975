// Diagnostics log: line layout, cutting, tags, source locations, memory
// dumps, the level gate of the macros and the default output.
#include "log/zf_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the output callback was handed, one entry per call.
struct Captured {
  std::mutex lock;
  std::vector<std::string> lines;  // buffer start to content end
  std::vector<std::string> tags;   // tag_b to tag_e
  std::vector<std::string> msgs;   // msg_b to content end
  std::vector<long> tids;          // thread that made the call
};

void capture(const zf_log_message* msg, void* arg) {
  auto* c = static_cast<Captured*>(arg);
  std::lock_guard<std::mutex> guard(c->lock);
  c->lines.emplace_back(msg->buf, msg->p);
  c->tags.emplace_back(msg->tag_b, msg->tag_e);
  c->msgs.emplace_back(msg->msg_b, msg->p);
  c->tids.push_back(static_cast<long>(syscall(SYS_gettid)));
  EXPECT_LE(msg->p, msg->e);
  EXPECT_EQ(msg->e, msg->buf + ZF_LOG_BUF_SZ - 2);
}

// Context: "MM-DD hh:mm:ss.mmm  pid   tid L ".
const std::regex kContext(
    R"(^(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.(\d{3}) +(-?\d+) +(-?\d+) (.) )");

// Restores the process-wide settings the tests change.
class ZfLog : public testing::Test {
 protected:
  void TearDown() override {
    zf_log_set_output_v(out_stderr.mask, out_stderr.arg, out_stderr.callback);
    zf_log_set_output_level(0);
    zf_log_set_tag_prefix(nullptr);
    zf_log_set_mem_width(32);
  }
  zf_log_sink sinkWith(unsigned mask) {
    output_ = {mask, &captured_, capture};
    return {&_zf_log_global_format, &output_};
  }
  Captured captured_;
  zf_log_output output_{};
};

TEST_F(ZfLog, ContextHoldsTimeIdsAndLevel) {
  const zf_log_sink sink = sinkWith(ZF_LOG_PUT_STD);
  _zf_log_write_aux(&sink, ZF_LOG_ERROR, nullptr, "hello %d", 42);
  ASSERT_EQ(captured_.lines.size(), 1u);
  const std::string& line = captured_.lines[0];
  std::smatch m;
  ASSERT_TRUE(std::regex_search(line, m, kContext)) << line;
  EXPECT_EQ(m.suffix(), "hello 42");
  EXPECT_EQ(captured_.msgs[0], "hello 42");
  const int month = std::stoi(m[1]);
  EXPECT_TRUE(month >= 1 && month <= 12) << line;
  // Ids right-aligned in five columns after "MM-DD hh:mm:ss.mmm ".
  char ids[64];
  snprintf(ids, sizeof ids, "%5ld %5ld E ", static_cast<long>(getpid()),
           captured_.tids[0]);
  EXPECT_EQ(line.substr(19, strlen(ids)), ids);
}

TEST_F(ZfLog, LevelLetters) {
  const zf_log_sink sink = sinkWith(ZF_LOG_PUT_CTX);
  const std::pair<int, char> cases[] = {{1, 'V'}, {2, 'D'}, {3, 'I'}, {4, 'W'},
                                        {5, 'E'}, {6, 'F'}, {0, '?'}, {9, '?'}};
  for (const auto& [lvl, letter] : cases) {
    captured_.lines.clear();
    _zf_log_write_aux(&sink, lvl, "tag", "msg");
    ASSERT_EQ(captured_.lines.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(captured_.lines[0], m, kContext));
    EXPECT_EQ(m[9], std::string(1, letter)) << "level " << lvl;
  }
}

TEST_F(ZfLog, MessageOnlyMaskHoldsJustTheMessage) {
  const zf_log_sink sink = sinkWith(ZF_LOG_PUT_MSG);
  _zf_log_write_aux(&sink, ZF_LOG_WARN, "tag",
                    "Unsupported channel data type: %d", 7);
  ASSERT_EQ(captured_.lines.size(), 1u);
  EXPECT_EQ(captured_.lines[0], "Unsupported channel data type: 7");
  EXPECT_EQ(captured_.msgs[0], captured_.lines[0]);
  EXPECT_EQ(captured_.tags[0], "");
}

TEST_F(ZfLog, LongContentIsCutAt510) {
  const std::string text(600, 'x');
  for (unsigned mask : {unsigned{ZF_LOG_PUT_MSG}, unsigned{ZF_LOG_PUT_STD}}) {
    captured_.lines.clear();
    const zf_log_sink sink = sinkWith(mask);
    _zf_log_write_aux(&sink, ZF_LOG_ERROR, nullptr, "%s", text.c_str());
    ASSERT_EQ(captured_.lines.size(), 1u);
    EXPECT_EQ(captured_.lines[0].size(), 510u) << "mask " << mask;
    EXPECT_EQ(captured_.lines[0].back(), 'x');
  }
}

TEST_F(ZfLog, TagForms) {
  const struct {
    const char* prefix;
    const char* tag;
    const char* line;
    const char* tagPart;
  } cases[] = {
      {"app", "net", "app.net msg", "app.net"},
      {nullptr, "net", "net msg", "net"},
      {"app", nullptr, "app msg", "app"},
      {"app", "", "app msg", "app"},
      {nullptr, nullptr, "msg", ""},
      {nullptr, "", "msg", ""},
  };
  const zf_log_sink sink = sinkWith(ZF_LOG_PUT_TAG | ZF_LOG_PUT_MSG);
  for (const auto& c : cases) {
    captured_.lines.clear();
    captured_.tags.clear();
    zf_log_set_tag_prefix(c.prefix);
    _zf_log_write_aux(&sink, ZF_LOG_INFO, c.tag, "msg");
    ASSERT_EQ(captured_.lines.size(), 1u);
    EXPECT_EQ(captured_.lines[0], c.line);
    EXPECT_EQ(captured_.tags[0], c.tagPart);
  }
}

TEST_F(ZfLog, SourceLocationUsesFileBaseName) {
  const zf_log_sink sink = sinkWith(ZF_LOG_PUT_SRC | ZF_LOG_PUT_MSG);
  _zf_log_write_aux_d("load", "/a/b/cMdf.cpp", 42, &sink, ZF_LOG_ERROR, nullptr,
                      "m");
  _zf_log_write_aux_d("save", "C:\\src\\x.c", 7, &sink, ZF_LOG_ERROR, nullptr,
                      "m");
  _zf_log_write_aux(&sink, ZF_LOG_ERROR, nullptr, "m");
  EXPECT_EQ(captured_.lines, (std::vector<std::string>{"load@cMdf.cpp:42 m",
                                                       "save@x.c:7 m", "m"}));
}

TEST_F(ZfLog, MemoryDumpLinesOfWidth) {
  std::string data;
  for (int i = 0; i < 40; ++i) data.push_back(static_cast<char>('A' + i));
  data[1] = '\n';
  data[39] = static_cast<char>(0xFF);
  const zf_log_sink sink = sinkWith(ZF_LOG_PUT_TAG | ZF_LOG_PUT_MSG);
  _zf_log_write_mem_aux(&sink, ZF_LOG_DEBUG, "t", data.data(), data.size(),
                        "dump %d", 40);
  ASSERT_EQ(captured_.lines.size(), 3u);
  EXPECT_EQ(captured_.lines[0], "t dump 40");
  std::string hex1, hex2;
  char h[3];
  for (int i = 0; i < 40; ++i) {
    snprintf(h, sizeof h, "%02x", static_cast<unsigned char>(data[i]));
    (i < 32 ? hex1 : hex2) += h;
  }
  EXPECT_EQ(captured_.lines[1],
            "t " + hex1 + "  A?CDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`");
  EXPECT_EQ(captured_.lines[2],
            "t " + hex2 + std::string(64 - 16, ' ') + "  abcdefg?");
  EXPECT_EQ(hex2, "61626364656667ff");
}

TEST_F(ZfLog, MemoryDumpSkippedWhenItCannotBeLaidOut) {
  const char data[4] = {1, 2, 3, 4};
  const zf_log_sink sink = sinkWith(ZF_LOG_PUT_MSG);
  for (unsigned width : {0u, 170u}) {  // no width; 3 * 170 + 2 > 510
    captured_.lines.clear();
    zf_log_set_mem_width(width);
    _zf_log_write_mem_aux(&sink, ZF_LOG_DEBUG, nullptr, data, sizeof data, "m");
    EXPECT_EQ(captured_.lines, std::vector<std::string>{"m"}) << width;
  }
  zf_log_set_mem_width(169);
  captured_.lines.clear();
  _zf_log_write_mem_aux(&sink, ZF_LOG_DEBUG, nullptr, nullptr, 4, "m");
  _zf_log_write_mem_aux(&sink, ZF_LOG_DEBUG, nullptr, data, sizeof data, "m");
  ASSERT_EQ(captured_.lines.size(), 3u);
  // 4 bytes in hex, padded to 2 * 169, two spaces, 4 characters.
  EXPECT_EQ(captured_.lines[2].size(), 2u * 169 + 2 + 4);
}

TEST_F(ZfLog, MacrosHonourOutputLevel) {
  zf_log_set_output_v(ZF_LOG_PUT_MSG, &captured_, capture);
  zf_log_set_output_level(ZF_LOG_ERROR);
  ZF_LOGW("dropped %d", 1);
  ZF_LOGE("kept %d", 2);
  zf_log_set_output_level(ZF_LOG_WARN);
  ZF_LOGW("kept %d", 3);
  EXPECT_EQ(captured_.lines, (std::vector<std::string>{"kept 2", "kept 3"}));
}

TEST_F(ZfLog, NullCallbackWritesNothing) {
  zf_log_set_output_v(ZF_LOG_PUT_STD, &captured_, nullptr);
  _zf_log_write(ZF_LOG_ERROR, nullptr, "m");
  _zf_log_write_mem(ZF_LOG_ERROR, nullptr, "abc", 3, "m");
  EXPECT_TRUE(captured_.lines.empty());
}

// Runs `body` with file descriptor 2 sent to a scratch file; returns what
// was written there.
std::string stderrOf(void (*body)()) {
  char path[] = "/tmp/mf4_zf_log_XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  const int saved = dup(STDERR_FILENO);
  dup2(fd, STDERR_FILENO);
  body();
  dup2(saved, STDERR_FILENO);
  close(saved);
  std::string out;
  char buf[1024];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
    out.append(buf, static_cast<size_t>(n));
  close(fd);
  unlink(path);
  return out;
}

TEST_F(ZfLog, DefaultOutputWritesOneLineToStandardError) {
  const std::string out = stderrOf(
      [] { _zf_log_write(ZF_LOG_ERROR, nullptr, "Unsupported MF4 file"); });
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, kContext)) << out;
  EXPECT_EQ(m[9], "E");
  EXPECT_EQ(m.suffix(), "Unsupported MF4 file\n");
}

TEST_F(ZfLog, DefaultOutputOfDumpRepeatsContext) {
  const std::string out = stderrOf([] {
    _zf_log_write_mem_d("f", "dir/x.cpp", 3, ZF_LOG_WARN, "tg", "ab", 2, "m");
  });
  const std::regex lines(R"(^(.{18} +\d+ +\d+ W tg f@x\.cpp:3 )m\n)"
                         R"((.{18} +\d+ +\d+ W tg f@x\.cpp:3 )6162 {62}ab\n$)");
  EXPECT_TRUE(std::regex_match(out, lines)) << out;
}

TEST_F(ZfLog, ConcurrentWritersProduceWellFormedLines) {
  const zf_log_sink sink = sinkWith(ZF_LOG_PUT_STD);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&sink, t] {
      for (int i = 0; i < 200; ++i)
        _zf_log_write_aux(&sink, ZF_LOG_INFO, nullptr, "t%d i%d", t, i);
    });
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(captured_.lines.size(), 800u);
  for (size_t i = 0; i < captured_.lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(captured_.lines[i], m, kContext))
        << captured_.lines[i];
    EXPECT_EQ(std::stol(m[8]), captured_.tids[i]);
    EXPECT_LT(std::stoi(m[3]), 24);
    EXPECT_LT(std::stoi(m[4]), 60);
  }
}

}  // namespace
