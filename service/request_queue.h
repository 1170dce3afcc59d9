// A bounded first-in, first-out ring of pointers to pending requests, one per
// open bus port. Application threads add at the tail; the port's link thread
// reads and removes the head. The queue never owns what the pointers point to.
// Misuse (too small a capacity, adding to a full queue, reading an empty one)
// is a programming error: it prints one line and ends the process with 1.
#pragma once
#include <cstdint>

namespace platform {
struct Semaphore;
}

namespace service {

struct RequestQueue {
  int32_t capacity;
  int32_t head;   // oldest entry; 1 after creation
  int32_t tail;   // newest entry; 0 after creation
  int32_t count;
  void** slots;
  platform::Semaphore* lock;  // count 1, maximum 1; guards everything above
};

constexpr int32_t kMinQueueCapacity = 5;

RequestQueue* QueueCreate(int32_t capacity);
void QueueDestroy(RequestQueue* queue);  // null is ignored; entries are not touched
bool QueueIsEmpty(RequestQueue* queue);
bool QueueIsFull(RequestQueue* queue);
void QueueEnqueue(void* item, RequestQueue* queue);
void* QueueFront(RequestQueue* queue);
void QueueRemoveFront(RequestQueue* queue);
void* QueueDequeue(RequestQueue* queue);

}  // namespace service
