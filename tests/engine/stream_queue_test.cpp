// The network queue between a stream's network and decoder threads, with the
// marks (titles, Ogg comments, HLS segments) that ride in it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <thread>

#include "engine/byte_queue.h"

namespace tw::engine::test {
namespace {

using std::chrono::milliseconds;

std::string PopText(ByteQueue& queue, std::size_t size, std::deque<QueueMark>* marks) {
  std::string out(size, '\0');
  out.resize(queue.Pop(out.data(), size, marks));
  return out;
}

QueueMark Mark(std::string tag) { return QueueMark{5, std::move(tag), 4}; }

bool WaitUntil(const std::atomic<bool>& flag) {
  for (int i = 0; i < 500 && !flag; ++i) std::this_thread::sleep_for(milliseconds(10));
  return flag;
}

// Catches a mark handed out before the bytes ahead of it were read (a title
// shown early) or after bytes that follow it (late), and marks lost at the end.
TEST(StreamQueueTest, MarksComeWithTheFirstByteAfterThem) {
  struct Step {
    std::size_t pop;
    const char* bytes;
    std::vector<std::string> marks;
  };
  struct Case {
    const char* name;
    std::vector<std::pair<bool, std::string>> pushes;  // (is a mark, text)
    bool finish;
    std::vector<Step> pops;
  } cases[] = {
      {"between bytes",
       {{false, "abc"}, {true, "M"}, {false, "def"}},
       false,
       {{2, "ab", {}}, {1, "c", {}}, {10, "def", {"M"}}}},
      {"at the start",
       {{true, "first"}, {false, "xy"}},
       false,
       {{1, "x", {"first"}}, {1, "y", {}}}},
      {"two in a row",
       {{false, "a"}, {true, "1"}, {true, "2"}, {false, "b"}},
       false,
       {{1, "a", {}}, {5, "b", {"1", "2"}}}},
      {"inside one read", {{false, "ab"}, {true, "M"}, {false, "cd"}}, false, {{4, "abcd", {"M"}}}},
      {"after the last byte, then the end",
       {{false, "ab"}, {true, "end"}},
       true,
       {{2, "ab", {"end"}}, {2, "", {}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteQueue queue(1024);
    for (const auto& [isMark, text] : c.pushes) {
      ASSERT_TRUE(isMark ? queue.PushMark(Mark(text)) : queue.Push(text));
    }
    if (c.finish) queue.Finish();
    for (const Step& step : c.pops) {
      std::deque<QueueMark> marks;
      EXPECT_EQ(PopText(queue, step.pop, &marks), step.bytes);
      std::vector<std::string> tags;
      for (const QueueMark& m : marks) tags.push_back(m.tag);
      EXPECT_EQ(tags, step.marks) << "after reading " << step.bytes;
    }
  }
}

// Catches marks that carry the wrong stream position (the decoder applies them
// by position) or lose their tag and sync types.
TEST(StreamQueueTest, MarksKeepTheirPlaceAndContent) {
  ByteQueue queue(1024);
  ASSERT_TRUE(queue.Push("0123456789"));
  ASSERT_TRUE(queue.PushMark({0x14000, "10.0,Part 7", 0x10300}));
  ASSERT_TRUE(queue.Push("abc"));
  std::deque<QueueMark> marks;
  EXPECT_EQ(PopText(queue, 13, &marks), "0123456789abc");
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0].position, 10u);
  EXPECT_EQ(marks[0].tagType, 0x14000u);
  EXPECT_EQ(marks[0].tag, "10.0,Part 7");
  EXPECT_EQ(marks[0].syncType, 0x10300u);
}

// Catches marks that take no room, so that a server sending metadata without
// pause grows memory; and a mark larger than the queue deadlocking it.
TEST(StreamQueueTest, MarksTakeRoom) {
  ByteQueue queue(100 + ByteQueue::kMarkOverhead);
  ASSERT_TRUE(queue.Push(std::string(60, 'a')));
  std::atomic<bool> pushed{false};
  std::thread producer([&] {
    EXPECT_TRUE(queue.PushMark(Mark(std::string(50, 't'))));
    pushed = true;
  });
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_FALSE(pushed) << "a mark went into a queue without room for it";
  std::deque<QueueMark> marks;
  EXPECT_EQ(PopText(queue, 60, &marks).size(), 60u);
  EXPECT_TRUE(WaitUntil(pushed));
  producer.join();

  // Larger than the whole queue: it goes in once the queue is empty.
  ByteQueue small(16);
  ASSERT_TRUE(small.PushMark(Mark(std::string(4000, 'x'))));
  ASSERT_TRUE(small.Push("z"));
  marks.clear();
  EXPECT_EQ(PopText(small, 4, &marks), "z");
  ASSERT_EQ(marks.size(), 1u);
  EXPECT_EQ(marks[0].tag.size(), 4000u);
}

// Catches an abort that leaves a producer waiting for room forever (a freed
// stream's network thread never ending).
TEST(StreamQueueTest, AbortWakesAWaitingMark) {
  ByteQueue queue(ByteQueue::kMarkOverhead);
  ASSERT_TRUE(queue.Push("x"));
  std::atomic<bool> returned{false};
  std::atomic<bool> result{true};
  std::thread producer([&] {
    result = queue.PushMark(Mark("title"));
    returned = true;
  });
  std::this_thread::sleep_for(milliseconds(50));
  queue.Abort();
  EXPECT_TRUE(WaitUntil(returned));
  producer.join();
  EXPECT_FALSE(result);
  std::deque<QueueMark> marks;
  char byte;
  EXPECT_EQ(queue.Pop(&byte, 1, &marks), 0u);
  EXPECT_TRUE(marks.empty());
}

// Catches a resting producer that is not woken by a free (a freed stream's
// network thread lingering for its whole rest) or by the decoder draining the
// queue to half (a stall while the socket holds the audio), and one that rests
// with little queued (a slow station waiting for nothing).
TEST(StreamQueueTest, RestEndsOnAbortOrWhenDrained) {
  constexpr auto kLong = std::chrono::minutes(10);
  ByteQueue queue(1000);
  ASSERT_TRUE(queue.Push(std::string(399, 'a')));
  queue.Rest(400, kLong);  // below the level: returns at once (or the test times out)

  ASSERT_TRUE(queue.Push(std::string(400, 'b')));  // 799 queued
  std::atomic<bool> returned{false};
  std::thread drained([&] {
    queue.Rest(400, kLong);
    returned = true;
  });
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(returned) << "rested though 799 bytes are above 400";
  char out[600];
  ASSERT_EQ(queue.Pop(out, 500, nullptr), 500u);  // 299 left: above half of 400
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(returned) << "woke above half the level";
  ASSERT_EQ(queue.Pop(out, 100, nullptr), 100u);  // 199 left: below half
  EXPECT_TRUE(WaitUntil(returned));
  drained.join();

  ASSERT_TRUE(queue.Push(std::string(600, 'c')));
  returned = false;
  std::thread aborted([&] {
    queue.Rest(400, kLong);
    returned = true;
  });
  std::this_thread::sleep_for(milliseconds(50));
  queue.Abort();
  EXPECT_TRUE(WaitUntil(returned));
  aborted.join();
}

// Catches a gathering decoder that waits out its whole time although its
// section ended (a reconnect's first audio or a stream's last second held
// back), that returns before its buffer is full while bytes still come, and a
// sleeping network thread woken by the decoder's pops (waking as often as
// before).
TEST(StreamQueueTest, GatheringEndsWithTheBufferOrTheSection) {
  constexpr auto kLong = std::chrono::minutes(10);
  auto popGathering = [&](ByteQueue& queue, std::size_t size) {
    std::string out(size, '\0');
    out.resize(queue.Pop(out.data(), size, nullptr, kLong));
    return out;
  };
  {
    ByteQueue queue(1000);
    std::thread producer([&] {
      for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(milliseconds(20));
        queue.Push("ab");
      }
    });
    EXPECT_EQ(popGathering(queue, 8), "abababab");
    producer.join();
  }
  // The section ends (a section mark comes) or the queue does.
  const std::function<void(ByteQueue&)> enders[] = {
      [](ByteQueue& queue) {
        QueueMark section;
        section.section = true;
        queue.PushMark(section);
      },
      [](ByteQueue& queue) { queue.Finish(); },
  };
  for (const auto& end : enders) {
    ByteQueue queue(1000);
    ASSERT_TRUE(queue.Push("abc"));
    std::thread producer([&] {
      std::this_thread::sleep_for(milliseconds(20));
      end(queue);
    });
    EXPECT_EQ(popGathering(queue, 8), "abc");
    producer.join();
  }
  {
    ByteQueue queue(1000);
    ASSERT_TRUE(queue.Push(std::string(500, 'a')));
    std::atomic<bool> returned{false};
    std::thread sleeper([&] {
      EXPECT_TRUE(queue.Sleep(kLong));
      returned = true;
    });
    char out[100];
    for (int i = 0; i < 5; ++i) ASSERT_EQ(queue.Pop(out, 100, nullptr), 100u);
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_FALSE(returned) << "the decoder's pops ended the network's sleep";
    queue.Abort();
    EXPECT_TRUE(WaitUntil(returned));
    sleeper.join();
  }
}

}  // namespace
}  // namespace tw::engine::test
