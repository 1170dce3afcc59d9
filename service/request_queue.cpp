#include "service/request_queue.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/sync.h"

namespace service {
namespace {

[[noreturn]] void QueueFatal(const char* message) {
  std::printf("%s\n", message);
  std::fflush(stdout);
  std::exit(1);
}

int32_t Advance(const RequestQueue* queue, int32_t index) {
  return index + 1 == queue->capacity ? 0 : index + 1;
}

void Take(RequestQueue* queue) { platform::SemaphoreWait(queue->lock, platform::kInfinite); }
void Give(RequestQueue* queue) { platform::SemaphoreRelease(queue->lock); }

}  // namespace

RequestQueue* QueueCreate(int32_t capacity) {
  if (capacity < kMinQueueCapacity) QueueFatal("Queue size is too small");
  auto* queue = new (std::nothrow) RequestQueue{};
  if (queue == nullptr) QueueFatal("Out of space!!!");
  queue->slots = new (std::nothrow) void*[capacity]();
  if (queue->slots == nullptr) QueueFatal("Out of space!!!");
  queue->lock = platform::SemaphoreCreate(1, 1);
  if (queue->lock == nullptr) QueueFatal("Out of space!!!");
  queue->capacity = capacity;
  queue->head = 1;
  queue->tail = 0;
  queue->count = 0;
  return queue;
}

void QueueDestroy(RequestQueue* queue) {
  if (queue == nullptr) return;
  delete[] queue->slots;
  platform::SemaphoreClose(queue->lock);
  delete queue;
}

bool QueueIsEmpty(RequestQueue* queue) {
  Take(queue);
  bool empty = queue->count == 0;
  Give(queue);
  return empty;
}

bool QueueIsFull(RequestQueue* queue) {
  Take(queue);
  bool full = queue->count == queue->capacity;
  Give(queue);
  return full;
}

void QueueEnqueue(void* item, RequestQueue* queue) {
  Take(queue);
  if (queue->count == queue->capacity) QueueFatal("Full queue");
  ++queue->count;
  queue->tail = Advance(queue, queue->tail);
  queue->slots[queue->tail] = item;
  Give(queue);
}

void* QueueFront(RequestQueue* queue) {
  Take(queue);
  if (queue->count == 0) QueueFatal("Empty queue");
  void* item = queue->slots[queue->head];
  Give(queue);
  return item;
}

void QueueRemoveFront(RequestQueue* queue) { QueueDequeue(queue); }

void* QueueDequeue(RequestQueue* queue) {
  Take(queue);
  if (queue->count == 0) QueueFatal("Empty queue");
  void* item = queue->slots[queue->head];
  queue->slots[queue->head] = nullptr;
  --queue->count;
  queue->head = Advance(queue, queue->head);
  Give(queue);
  return item;
}

}  // namespace service
