// Core utilities: CRC-32 check values, bounded copy and append at their
// limits, sentinel lists at their ends, path cutting and the error argument.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/runtime.h"
#include "runtime/runtime_private.h"

namespace {

TEST(Crc32, CheckValues) {
  InitCrc32Table();
  struct Case {
    const char* name;
    std::string data;
    uint32_t crc;
  };
  const Case cases[] = {
      {"check string", "123456789", 0xCBF43926u},
      {"one byte", "a", 0xE8B7BE43u},
      {"empty", "", 0},
      {"zeros", std::string(4, '\0'), 0x2144DF1Cu},
      {"high bytes", "\xff\xff\xff\xff", 0xFFFFFFFFu},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ComputeCrc32(c.data.data(), c.data.size()), c.crc) << c.name;
}

TEST(BoundedStrings, CopyAndAppend) {
  struct Case {
    const char* name;
    bool append;
    const char* start;  // initial text of the buffer (null: no terminator)
    size_t size;
    const char* src;
    int result;
    const char* text;  // buffer text afterwards (null: buffer untouched)
  };
  const Case cases[] = {
      {"copy cut", false, "", 4, "abcd", 0, "abc"},
      {"copy fits", false, "", 5, "abcd", 1, "abcd"},
      {"copy size 1", false, "", 1, "abcd", 0, ""},
      {"copy empty", false, "", 1, "", 1, ""},
      {"copy size 0", false, "zz", 0, "abcd", 0, nullptr},
      {"append fits", true, "ab", 5, "cd", 1, "abcd"},
      {"append cut", true, "ab", 4, "cd", 0, "abc"},
      {"append to full", true, "abc", 4, "d", 0, "abc"},
      {"append empty to full", true, "abc", 4, "", 1, "abc"},
      {"append unterminated", true, nullptr, 4, "d", 0, "xxx"},
      {"append size 0", true, "ab", 0, "cd", 0, nullptr},
  };
  for (const Case& c : cases) {
    // Guard bytes after the given size catch any write past it.
    std::vector<char> buf(c.size + 8, 'x');
    if (c.start) std::memcpy(buf.data(), c.start, std::strlen(c.start) + 1);
    std::vector<char> before = buf;
    int r = c.append ? StrAppendBounded(buf.data(), c.size, c.src)
                     : StrCopyBounded(buf.data(), c.size, c.src);
    EXPECT_EQ(r, c.result) << c.name;
    if (c.text) {
      EXPECT_STREQ(buf.data(), c.text) << c.name;
    } else {
      EXPECT_EQ(buf, before) << c.name;
    }
    for (size_t i = c.size; i < buf.size(); i++) {
      if (i >= before.size() || buf[i] != before[i])
        ADD_FAILURE() << c.name << ": wrote byte " << i;
    }
  }
}

TEST(ErrorArgument, KeepsTextBounded) {
  std::string longText(2000, 'q');
  longText[1022] = 'e';
  SetErrorArgString(longText.c_str());
  EXPECT_EQ(std::strlen(GetErrorArgString()), 1023u);
  EXPECT_EQ(GetErrorArgString()[1022], 'e');
  SetErrorArgNumber(-42);
  SetErrorArgString("file.txt");
  EXPECT_STREQ(GetErrorArgString(), "file.txt");
  EXPECT_EQ(GetErrorArgNumber(), -42);
  SetErrorArgString(nullptr);
  EXPECT_STREQ(GetErrorArgString(), "");
}

TEST(Paths, FilePartAndAbsolute) {
  struct Case {
    const char* path;
    size_t cut;       // offset of the returned position
    const char* dir;  // what is left after cutting there
  };
  const Case cases[] = {
      {"a/b/c", 3, "a/b"},  {"Vol:x", 4, "Vol:"}, {"///x", 3, "///"}, {"file", 0, ""},
      {"/file", 1, "/"},    {"dir/", 3, "dir"},   {"a\\b", 1, "a"},   {"V:d/f", 3, "V:d"},
      {"a/b:c", 4, "a/b:"}, {"", 0, ""},          {"/", 1, "/"},
  };
  for (const Case& c : cases) {
    std::string s = c.path;
    const char* cp = FindFilePart(c.path);
    EXPECT_EQ(static_cast<size_t>(cp - c.path), c.cut) << c.path;
    char* p = FindFilePart(s.data());
    *p = '\0';
    EXPECT_STREQ(s.c_str(), c.dir) << c.path;
  }
  EXPECT_TRUE(IsAbsolutePath("/x"));
  EXPECT_FALSE(IsAbsolutePath("x/"));
  EXPECT_FALSE(IsAbsolutePath(""));
  EXPECT_FALSE(IsAbsolutePath(nullptr));
}

TEST(Bits, LowestSetBit) {
  const std::pair<uint32_t, int> cases[] = {
      {0, -1}, {1, 0}, {0x80000000u, 31}, {0xFFFFFFFFu, 0}, {0x50, 4}};
  for (auto [mask, bit] : cases) EXPECT_EQ(FindLowestBit(mask), bit) << mask;
}

// A record that lives in a list starts with its Node.
struct Item {
  Node node;
  int id;
};

class ListFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    NewList(&list_);
    for (int i = 0; i < 5; i++) items_[i].id = i;
  }
  // Walks forward and backward and checks both directions agree.
  std::vector<int> ids() {
    std::vector<int> forward, backward;
    for (Node* n = list_.head; n->succ; n = n->succ)
      forward.push_back(reinterpret_cast<Item*>(n)->id);
    for (Node* n = list_.tailPred; n->pred; n = n->pred)
      backward.insert(backward.begin(), reinterpret_cast<Item*>(n)->id);
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(list_.tail, nullptr);
    EXPECT_EQ(IsListEmpty(&list_), forward.empty());
    return forward;
  }
  Node* at(int i) { return &items_[i].node; }
  static int id(Node* n) { return n ? reinterpret_cast<Item*>(n)->id : -1; }

  List list_;
  Item items_[5];
};

TEST_F(ListFixture, EmptyListsYieldNull) {
  EXPECT_TRUE(IsListEmpty(&list_));
  EXPECT_EQ(RemHead(&list_), nullptr);
  EXPECT_EQ(RemTail(&list_), nullptr);
  EXPECT_EQ(ids(), std::vector<int>{});
  // Still usable after the empty removals.
  AddTail(&list_, at(0));
  EXPECT_EQ(id(RemTail(&list_)), 0);
  EXPECT_EQ(RemHead(&list_), nullptr);
  AddHead(&list_, at(1));
  EXPECT_EQ(id(RemHead(&list_)), 1);
  EXPECT_EQ(ids(), std::vector<int>{});
}

TEST_F(ListFixture, InsertAndRemoveAtEveryPosition) {
  AddTail(&list_, at(1));
  AddHead(&list_, at(0));
  AddTail(&list_, at(2));
  EXPECT_EQ(ids(), (std::vector<int>{0, 1, 2}));

  InsertNode(&list_, at(3), nullptr);  // null pred: at the head
  EXPECT_EQ(ids(), (std::vector<int>{3, 0, 1, 2}));
  RemoveNode(at(3));
  InsertNode(&list_, at(3), reinterpret_cast<Node*>(&list_.tail));  // &tail sentinel: at the tail
  EXPECT_EQ(ids(), (std::vector<int>{0, 1, 2, 3}));
  RemoveNode(at(3));
  InsertNode(&list_, at(3), reinterpret_cast<Node*>(&list_));  // the header: at the head
  EXPECT_EQ(ids(), (std::vector<int>{3, 0, 1, 2}));
  InsertNode(&list_, at(4), at(1));  // in the middle
  EXPECT_EQ(ids(), (std::vector<int>{3, 0, 1, 4, 2}));
  RemoveNode(at(4));  // from the middle
  EXPECT_EQ(ids(), (std::vector<int>{3, 0, 1, 2}));

  RemoveNode(at(3));  // first
  RemoveNode(at(2));  // last
  EXPECT_EQ(ids(), (std::vector<int>{0, 1}));
  EXPECT_EQ(id(RemTail(&list_)), 1);
  EXPECT_EQ(id(RemHead(&list_)), 0);
  EXPECT_EQ(RemHead(&list_), nullptr);
  EXPECT_EQ(ids(), std::vector<int>{});
}

}  // namespace
