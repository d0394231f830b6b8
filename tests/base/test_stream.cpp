#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/stream.h"

namespace qelvora {
namespace {

// Owns one stream for the length of a test.
class StreamTest : public testing::Test {
 protected:
  void SetUp() override { h = openMemoryStream(); }
  void TearDown() override { closeStream(h); }

  int h = 0;
};

TEST_F(StreamTest, RecordFormIsExact) {
  // A length field of 8 in front turns the records that follow into one readable block.
  ASSERT_TRUE(writeRawText(h, {std::string_view("\x08\0\0\0", 4)}));
  ASSERT_TRUE(writeRecords(h, {Text("x"), Bytes(std::string("\x01\x02"))}));
  EXPECT_EQ(streamLength(h), 12);
  ASSERT_TRUE(seekToStart(h));
  Bytes raw;
  ASSERT_TRUE(readRecords(h, {&raw}));
  EXPECT_EQ(raw, Bytes(std::string("\x78\0\x02\0\0\0\x01\x02", 8)));
  EXPECT_TRUE(atEnd(h));
}

TEST_F(StreamTest, WritesOverwriteAtThePosition) {
  ASSERT_TRUE(writeRawText(h, {"abcdef"}));
  ASSERT_TRUE(seekToStart(h));
  ASSERT_TRUE(writeRecords(h, {Text("XY")}));
  EXPECT_EQ(streamLength(h), 6);
  ASSERT_TRUE(seekToStart(h));
  Text t;
  ASSERT_TRUE(readRecords(h, {&t}));
  EXPECT_EQ(t, "XY");
  EXPECT_EQ(readLine(h), "def");
}

TEST_F(StreamTest, RoundTripOfEveryForm) {
  const std::vector<Bytes> list = {Bytes(std::string("a\0b", 3)), Bytes(),
                                   Bytes(std::string(5000, 'z'))};
  ASSERT_TRUE(writeRecords(
      h, {Text("\xD6\xD0\xCE\xC4"), Bytes(), list, Text(""), Bytes(std::string("\0", 1))}));
  ASSERT_TRUE(seekToStart(h));
  Text t1 = "old", t2 = "old";
  Bytes b1(std::string("old")), b2;
  std::vector<Bytes> got(3);
  ASSERT_TRUE(readRecords(h, {&t1, &b1, &got, &t2, &b2}));
  EXPECT_EQ(t1, "\xD6\xD0\xCE\xC4");
  EXPECT_TRUE(b1.empty());
  EXPECT_EQ(got, list);
  EXPECT_EQ(t2, "");
  EXPECT_EQ(b2, Bytes(std::string("\0", 1)));
  EXPECT_TRUE(atEnd(h));
}

TEST_F(StreamTest, ShortDataRestoresPositionAndTargets) {
  // "head" NUL, then a block whose length field promises 10 bytes but only 3 follow.
  ASSERT_TRUE(writeRawText(h, {std::string_view("head\0\x0A\0\0\0"
                                                "789",
                                                12)}));
  const Bytes keepBlock(std::string("keep"));
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(seekToStart(h));
    Text first;
    if (round == 3) {
      ASSERT_TRUE(readRecords(h, {&first}));  // start in the middle this time
    }
    Text t = "keep";
    Bytes b = keepBlock;
    std::vector<Bytes> list(2, keepBlock);
    bool ok = true;
    switch (round) {
      case 0:
        ok = readRecords(h, {&t, &b});
        break;
      case 1:
        ok = readRecords(h, {&t, &list});
        break;
      case 2:
        ok = readRecords(h, {&t, &t, &t, &t, &t});
        break;  // "789" has no NUL
      case 3:
        ok = readRecords(h, {&b});
        break;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(t, "keep");
    EXPECT_EQ(b, keepBlock);
    EXPECT_EQ(list, std::vector<Bytes>(2, keepBlock));
    // The position is back where the call started.
    if (round == 3) {
      // At offset 5 the length field 0A 00 .. reads as an empty line and then a NUL mark.
      EXPECT_EQ(readLine(h), "");
      EXPECT_FALSE(atEnd(h));
      EXPECT_TRUE(atEnd(h, true));
    } else {
      ASSERT_TRUE(readRecords(h, {&t}));
      EXPECT_EQ(t, "head");
    }
  }
}

TEST_F(StreamTest, ReadLineEndings) {
  const struct {
    std::string bytes;
    std::vector<std::string> lines;  // then the empty text at the end
    bool endsAtMark;
  } cases[] = {
      {"a\r\nb", {"a", "b"}, false},
      {"a\nb\n", {"a", "b"}, false},
      {"a\r\r\nb", {"a\r", "b"}, false},  // only the CR right before the end goes
      {"\r\n\n", {"", ""}, false},
      {std::string("ab\0cd", 5), {"ab"}, true},
      {"ab\x1A"
       "cd",
       {"ab"},
       true},
      {"x\r\x1A", {"x"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    const int s = openMemoryStream();
    ASSERT_TRUE(writeRawText(s, {c.bytes}));
    ASSERT_TRUE(seekToStart(s));
    for (const auto& line : c.lines) EXPECT_EQ(readLine(s), line);
    EXPECT_EQ(readLine(s), "");
    EXPECT_EQ(atEnd(s, true), true);
    EXPECT_EQ(atEnd(s), !c.endsAtMark);
    closeStream(s);
  }
}

TEST_F(StreamTest, DeleteBytesAcrossLargeSpans) {
  std::string all;
  for (int i = 0; i < 10000; ++i) all += static_cast<char>('a' + i % 26);
  const int s = openMemoryStream();
  ASSERT_TRUE(writeRawText(s, {all.substr(0, 99), "\n", all.substr(100)}));
  ASSERT_TRUE(seekToStart(s));
  EXPECT_EQ(readLine(s), all.substr(0, 99));  // position now 100
  ASSERT_TRUE(deleteBytes(s, 5000));
  EXPECT_EQ(streamLength(s), 5000);
  EXPECT_EQ(readLine(s), all.substr(5100));  // the tail moved down intact
  ASSERT_TRUE(seekToStart(s));
  ASSERT_TRUE(deleteBytes(s, 1 << 30));  // more than is left: up to the end
  EXPECT_EQ(streamLength(s), 0);
  EXPECT_TRUE(deleteBytes(s, -5));
  closeStream(s);
}

TEST(StreamHandles, UnknownHandlesFailQuietly) {
  const int h = openMemoryStream();
  closeStream(h);
  for (int bad : {0, -1, h}) {
    EXPECT_EQ(streamLength(bad), -1);
    EXPECT_FALSE(seekToStart(bad));
    EXPECT_TRUE(atEnd(bad));
    EXPECT_FALSE(writeRecords(bad, {Text("x")}));
    Text t;
    EXPECT_FALSE(readRecords(bad, {&t}));
    EXPECT_FALSE(writeRawText(bad, {"x"}));
    EXPECT_EQ(readLine(bad), "");
    EXPECT_FALSE(deleteBytes(bad, 1));
    closeStream(bad);
  }
}

TEST(StreamHandles, TableIsSafeAcrossThreads) {
  std::vector<std::thread> threads;
  std::vector<std::vector<int>> seen(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &seen] {
      for (int i = 0; i < 500; ++i) {
        const int h = openMemoryStream();
        writeRecords(h, {Text(std::to_string(i))});
        seekToStart(h);
        Text back;
        if (readRecords(h, {&back}) && back == std::to_string(i)) seen[t].push_back(h);
        if (i % 2 == 0) closeStream(h);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<int> open;
  for (const auto& list : seen) {
    EXPECT_EQ(list.size(), 500u);
    for (std::size_t i = 1; i < list.size(); i += 2) {
      EXPECT_NE(list[i], 0);
      EXPECT_TRUE(open.insert(list[i]).second) << "handle handed out twice";
    }
  }
  for (int h : open) closeStream(h);
}

}  // namespace
}  // namespace qelvora
