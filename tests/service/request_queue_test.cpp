#include "service/request_queue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using service::QueueCreate;
using service::QueueDequeue;
using service::QueueDestroy;
using service::QueueEnqueue;
using service::QueueFront;
using service::QueueIsEmpty;
using service::QueueIsFull;
using service::QueueRemoveFront;
using service::RequestQueue;

int items[1000];

// The fatal messages go to standard output; the death test reads the
// child's standard error, so the child sends one to the other.
void ToStderr() {
  std::fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
}

TEST(RequestQueue, FreshQueuePlacesTheFirstEntryInSlotOne) {
  RequestQueue* q = QueueCreate(5);
  EXPECT_EQ(q->head, 1);
  EXPECT_EQ(q->tail, 0);
  EXPECT_TRUE(QueueIsEmpty(q));
  QueueEnqueue(&items[0], q);
  EXPECT_EQ(q->slots[1], &items[0]);
  EXPECT_EQ(q->head, 1);
  EXPECT_EQ(q->tail, 1);
  QueueDestroy(q);
}

TEST(RequestQueue, CapacityFiveHoldsFiveInOrder) {
  RequestQueue* q = QueueCreate(5);
  for (int i = 0; i < 5; ++i) QueueEnqueue(&items[i], q);
  EXPECT_TRUE(QueueIsFull(q));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(QueueDequeue(q), &items[i]);
  EXPECT_TRUE(QueueIsEmpty(q));
  QueueDestroy(q);
}

TEST(RequestQueue, OrderSurvivesWrappingIndexes) {
  RequestQueue* q = QueueCreate(5);
  // Keep between one and three entries in flight while the indexes wrap
  // many times over.
  int next = 0, expected = 0;
  for (int round = 0; round < 200; ++round) {
    const int add = 1 + round % 3;
    for (int i = 0; i < add && !QueueIsFull(q); ++i) QueueEnqueue(&items[next++ % 1000], q);
    const int take = round % 2 == 0 ? add - 1 : add;
    for (int i = 0; i < take && !QueueIsEmpty(q); ++i)
      ASSERT_EQ(QueueDequeue(q), &items[expected++ % 1000]);
  }
  while (!QueueIsEmpty(q)) ASSERT_EQ(QueueDequeue(q), &items[expected++ % 1000]);
  EXPECT_EQ(expected, next);
  QueueDestroy(q);
}

TEST(RequestQueue, FrontLooksWithoutTaking) {
  RequestQueue* q = QueueCreate(6);
  QueueEnqueue(&items[1], q);
  QueueEnqueue(&items[2], q);
  EXPECT_EQ(QueueFront(q), &items[1]);
  EXPECT_EQ(QueueFront(q), &items[1]);
  QueueRemoveFront(q);
  EXPECT_EQ(QueueFront(q), &items[2]);
  EXPECT_EQ(QueueDequeue(q), &items[2]);
  QueueDestroy(q);
}

TEST(RequestQueue, DestroyOfNullDoesNothing) { QueueDestroy(nullptr); }

TEST(RequestQueueDeath, MisuseEndsTheProcessWithItsMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT((ToStderr(), QueueCreate(4)), testing::ExitedWithCode(1),
              "^Queue size is too small\n$");
  EXPECT_EXIT(
      {
        ToStderr();
        RequestQueue* q = QueueCreate(5);
        for (int i = 0; i < 6; ++i) QueueEnqueue(&items[i], q);
      },
      testing::ExitedWithCode(1), "^Full queue\n$");
  EXPECT_EXIT((ToStderr(), QueueFront(QueueCreate(5))), testing::ExitedWithCode(1),
              "^Empty queue\n$");
  EXPECT_EXIT((ToStderr(), QueueRemoveFront(QueueCreate(5))), testing::ExitedWithCode(1),
              "^Empty queue\n$");
  EXPECT_EXIT(
      {
        ToStderr();
        RequestQueue* q = QueueCreate(5);
        QueueEnqueue(&items[0], q);
        QueueDequeue(q);
        QueueDequeue(q);
      },
      testing::ExitedWithCode(1), "^Empty queue\n$");
}

TEST(RequestQueue, ProducersAndOneConsumerKeepEachProducersOrder) {
  constexpr int kProducers = 3, kPerProducer = 300;
  RequestQueue* q = QueueCreate(8);
  static int tags[kProducers][kPerProducer];
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([q, p] {
      for (int i = 0; i < kPerProducer;) {
        // The transport tests for room before it adds; so do the producers,
        // one at a time, so that the test never overfills the queue.
        static std::atomic<int> turn{0};
        int expected = 0;
        if (!turn.compare_exchange_weak(expected, 1)) continue;
        if (!QueueIsFull(q)) {
          QueueEnqueue(&tags[p][i], q);
          ++i;
        }
        turn.store(0);
      }
    });
  }
  int seen[kProducers] = {};
  for (int received = 0; received < kProducers * kPerProducer;) {
    if (QueueIsEmpty(q)) continue;
    auto* item = static_cast<int*>(QueueDequeue(q));
    const auto offset = item - &tags[0][0];
    const int p = static_cast<int>(offset / kPerProducer);
    ASSERT_EQ(offset % kPerProducer, seen[p]) << "producer " << p << " out of order";
    ++seen[p];
    ++received;
  }
  for (auto& t : producers) t.join();
  QueueDestroy(q);
}

}  // namespace
