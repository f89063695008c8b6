#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "support/wide_string.h"

namespace mobileinfo {
namespace {

const WideStringHeader* HeaderOf(const WideString& s) {
  return reinterpret_cast<const WideStringHeader*>(s.c_str()) - 1;
}

void ExpectEmptyBlockUntouched() {
  EXPECT_EQ(-1, EmptyBlockHeaderForTesting()->refs);
  EXPECT_EQ(0, EmptyBlockHeaderForTesting()->length);
  EXPECT_EQ(0, EmptyBlockHeaderForTesting()->capacity);
  EXPECT_EQ(0, reinterpret_cast<const char16_t*>(EmptyBlockHeaderForTesting() + 1)[0]);
}

TEST(WideStringEmptyTest, EmptyValuesShareTheStaticBlockWithoutCountingIt) {
  {
    WideString a;
    WideString b(a);
    WideString c(static_cast<const char16_t*>(nullptr));
    WideString d(u"");
    WideString e;
    e = a;
    WideString f(std::move(b));
    EXPECT_TRUE(SharesBlockForTesting(a, c));
    EXPECT_TRUE(SharesBlockForTesting(a, d));
    EXPECT_TRUE(SharesBlockForTesting(a, e));
    EXPECT_TRUE(SharesBlockForTesting(a, f));
    EXPECT_EQ(EmptyBlockHeaderForTesting(), HeaderOf(a));
    ExpectEmptyBlockUntouched();
    a.Release();
    e.Release();
    ExpectEmptyBlockUntouched();
  }
  ExpectEmptyBlockUntouched();
}

TEST(WideStringEmptyTest, StringThatBecomesEmptyPointsBackToTheEmptyValue) {
  WideString s(u"abc");
  s.Release();
  EXPECT_EQ(EmptyBlockHeaderForTesting(), HeaderOf(s));
  WideString t(u"abc");
  t = u"";
  EXPECT_EQ(EmptyBlockHeaderForTesting(), HeaderOf(t));
  WideString u(u"abc");
  EXPECT_TRUE(u.AssignText(0, u"zzz"));
  EXPECT_EQ(EmptyBlockHeaderForTesting(), HeaderOf(u));
}

TEST(WideStringTest, ConstructionMakesABlockOfExactlyTheTextsLength) {
  WideString s(u"hello");
  EXPECT_EQ(5, s.Length());
  EXPECT_EQ(5, HeaderOf(s)->capacity);
  EXPECT_EQ(1, HeaderOf(s)->refs);
  EXPECT_EQ(0, s.c_str()[5]);
  WideString t(std::u16string(u"a\0b", 3));
  EXPECT_EQ(3, t.Length());
}

TEST(WideStringTest, CopiesShareAndCountTheBlock) {
  WideString a(u"shared");
  WideString b(a);
  WideString c;
  c = b;
  EXPECT_TRUE(SharesBlockForTesting(a, b));
  EXPECT_TRUE(SharesBlockForTesting(a, c));
  EXPECT_EQ(3, HeaderOf(a)->refs);
  c.Release();
  EXPECT_EQ(2, HeaderOf(a)->refs);
  a = a;  // self-assignment keeps the count
  EXPECT_EQ(2, HeaderOf(a)->refs);
}

TEST(WideStringTest, AssigningOwnTextIsSafe) {
  WideString s(u"abcdef");
  s = s.c_str() + 2;
  EXPECT_EQ(u"cdef", s.ToU16());
  EXPECT_TRUE(s.AssignText(2, s.c_str() + 1));
  EXPECT_EQ(u"de", s.ToU16());
}

TEST(WideStringTest, AssignTextMakesTheBlockPrivate) {
  WideString a(u"original");
  WideString b(a);
  EXPECT_TRUE(b.AssignText(3, u"newer"));
  EXPECT_EQ(u"new", b.ToU16());
  EXPECT_EQ(u"original", a.ToU16());
  EXPECT_EQ(1, HeaderOf(a)->refs);
  EXPECT_FALSE(b.AssignText(-1, u"x"));
  EXPECT_EQ(0, b.Length());
}

char16_t* MakeHostBlock(const char16_t* text, int32_t refs) {
  const size_t n = std::char_traits<char16_t>::length(text);
  auto* header = static_cast<WideStringHeader*>(
      std::malloc(sizeof(WideStringHeader) + (n + 1) * sizeof(char16_t)));
  header->refs = refs;
  header->length = static_cast<int32_t>(n);
  header->capacity = static_cast<int32_t>(n);
  auto* chars = reinterpret_cast<char16_t*>(header + 1);
  std::memcpy(chars, text, (n + 1) * sizeof(char16_t));
  return chars;
}

TEST(WideStringHostBlockTest, GivesUpOneReference) {
  char16_t* host = MakeHostBlock(u"R58M12345ABC", 2);  // the host keeps one reference
  auto* header = reinterpret_cast<WideStringHeader*>(host) - 1;
  EXPECT_EQ(u"R58M12345ABC", WideString::HostText(host));
  EXPECT_EQ(nullptr, WideString::ReleaseHostReference(host));
  EXPECT_EQ(1, header->refs);
  // The last reference hands the block back for freeing (checked by the sanitizers).
  void* block = WideString::ReleaseHostReference(host);
  EXPECT_EQ(static_cast<void*>(header), block);
  std::free(block);
}

TEST(WideStringHostBlockTest, NullAndStaticBlocksAreNeverCounted) {
  EXPECT_EQ(nullptr, WideString::ReleaseHostReference(nullptr));
  EXPECT_EQ(u"", WideString::HostText(nullptr));
  // A host's own empty value is static with a negative count: never counted nor freed.
  struct {
    WideStringHeader header;
    char16_t terminator;
  } host_empty = {{-1, 0, 0}, 0};
  EXPECT_EQ(nullptr, WideString::ReleaseHostReference(&host_empty.terminator));
  EXPECT_EQ(-1, host_empty.header.refs);
  ExpectEmptyBlockUntouched();
}

TEST(WideStringThreadTest, CopiesMayBeReleasedOnOtherThreads) {
  WideString original(u"shared across threads");
  constexpr int kThreads = 8;
  constexpr int kCopiesPerThread = 2000;
  std::vector<std::vector<WideString>> batches(kThreads);
  for (auto& batch : batches) batch.assign(kCopiesPerThread, original);
  EXPECT_EQ(1 + kThreads * kCopiesPerThread, HeaderOf(original)->refs);

  std::vector<std::thread> threads;
  for (auto& batch : batches) {
    threads.emplace_back([&batch, &original] {
      for (int i = 0; i < 500; ++i) {
        WideString extra(batch[i]);  // copying and releasing on this thread too
        (void)extra;
      }
      for (auto& copy : batch) {
        if (copy.ToU16() != u"shared across threads") std::abort();
        copy.Release();
      }
      (void)original;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(1, HeaderOf(original)->refs);
  EXPECT_EQ(u"shared across threads", original.ToU16());
}

TEST(WideStringThreadTest, LastReleaseOnAnotherThreadFreesTheBlock) {
  std::vector<WideString> copies;
  {
    WideString original(u"handed over");
    copies.assign(100, original);
  }
  std::thread worker([copies = std::move(copies)]() mutable {
    for (auto& c : copies) c.Release();
  });
  worker.join();
  ExpectEmptyBlockUntouched();
}

}  // namespace
}  // namespace mobileinfo
