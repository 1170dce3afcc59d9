// The transport over a recording double of the link: the test plays the link
// thread, handing out the token and delivering outcomes, so that the order of
// events is exact. Station listening runs on real ptys.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "service/transport.h"
#include "support/pty_pair.h"

// Allocation failure on demand, for the posted request's allocations.
namespace {
std::atomic<int> failNothrowAllocations{0};
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (failNothrowAllocations.load() > 0) {
    failNothrowAllocations.fetch_sub(1);
    return nullptr;
  }
  return ::operator new(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (failNothrowAllocations.load() > 0) {
    failNothrowAllocations.fetch_sub(1);
    return nullptr;
  }
  return ::operator new[](size);
}

namespace {

using namespace service;
using Octets = std::vector<uint8_t>;

struct SentFrame {
  std::string port;
  uint8_t destination;
  Octets data;
  uint8_t expectReply;
};

struct FakeLink {
  std::mutex mutex;
  std::vector<LinkConfig> inits;
  std::vector<std::string> initNames;
  std::vector<SentFrame> sent;
  std::vector<std::string> unInits;
  unsigned char initResult = 0;
  unsigned char sendResult = 0;
  unsigned char unInitResult = 0;
} fake;

unsigned char FakeInit(const LinkConfig* config) {
  std::lock_guard<std::mutex> hold(fake.mutex);
  fake.inits.push_back(*config);
  fake.initNames.emplace_back(config->portName);
  return fake.initResult;
}
unsigned char FakeUnInit(const char* portName) {
  std::lock_guard<std::mutex> hold(fake.mutex);
  fake.unInits.emplace_back(portName);
  return fake.unInitResult;
}
unsigned char FakeSendFrame(const char* portName, unsigned char destination,
                            const unsigned char* data, unsigned short length,
                            unsigned char expectReply) {
  std::lock_guard<std::mutex> hold(fake.mutex);
  fake.sent.push_back({portName, destination, Octets(data, data + length), expectReply});
  return fake.sendResult;
}
const BusLinkOps kFakeOps = {FakeInit, FakeUnInit, FakeSendFrame};

size_t SentCount() {
  std::lock_guard<std::mutex> hold(fake.mutex);
  return fake.sent.size();
}

// What posted requests' completions saw.
struct Completion {
  std::string port;
  int portLength;
  Octets reply;
  bool nullReply;
  uint8_t source;
  uint8_t code;
};
std::mutex completionsMutex;
std::vector<Completion> completions;
platform::Semaphore* window = nullptr;  // a caller's window of posted requests

int RecordCompletion(const char* port, int portLength, const uint8_t* reply, uint8_t source,
                     uint16_t length, uint8_t code) {
  std::lock_guard<std::mutex> hold(completionsMutex);
  completions.push_back({port, portLength, reply ? Octets(reply, reply + length) : Octets{},
                         reply == nullptr, source, code});
  if (window != nullptr) platform::SemaphoreRelease(window);
  return 0;
}

class Transport : public testing::Test {
 protected:
  void SetUp() override {
    SetBusLinkOps(&kFakeOps);
    std::lock_guard<std::mutex> hold(fake.mutex);
    fake.inits.clear();
    fake.initNames.clear();
    fake.sent.clear();
    fake.unInits.clear();
    fake.initResult = fake.sendResult = fake.unInitResult = 0;
    completions.clear();
  }
  void TearDown() override {
    fake.unInitResult = 0;
    for (auto& pty : ptys) CloseBusPort(pty->slavePath().c_str());
    SetBusLinkOps(nullptr);
  }
  const char* NewPort() {
    ptys.push_back(std::make_unique<testsupport::PtyPair>());
    return ptys.back()->slavePath().c_str();
  }
  std::vector<std::unique_ptr<testsupport::PtyPair>> ptys;
};

const uint8_t kPing[] = {0x01, 0x01};

TEST_F(Transport, OpenStartsTheLinkWithTheBusConfigurationOnce) {
  const char* port = NewPort();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(OpenBusPort(port), 0);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 190);  // one read time-out of silence
  EXPECT_LT(ms, 600);
  ASSERT_EQ(fake.inits.size(), 1u);
  const LinkConfig& config = fake.inits[0];
  EXPECT_EQ(fake.initNames[0], port);
  EXPECT_EQ(config.baudRate, 38400);
  EXPECT_EQ(config.maxMaster, 15);
  EXPECT_EQ(config.maxInfoFrames, 3);
  EXPECT_EQ(config.stationAddress, 0);
  EXPECT_EQ(config.tokenObtained, &OnTokenObtained);
  EXPECT_EQ(config.upcall, &OnUpcall);
  // Open already: nothing happens, not even listening.
  const auto again = std::chrono::steady_clock::now();
  EXPECT_EQ(OpenBusPort(port), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - again, std::chrono::milliseconds(50));
  EXPECT_EQ(fake.inits.size(), 1u);
}

TEST_F(Transport, EightPortsOpenAndANinthIsRefused) {
  for (int i = 0; i < kPortSlots; ++i) ASSERT_EQ(OpenBusPort(NewPort()), 0) << i;
  EXPECT_EQ(OpenBusPort(NewPort()), TRANSPORT_NO_STATION);
  EXPECT_EQ(fake.inits.size(), 8u);
  // Closing one frees its slot for the ninth.
  EXPECT_EQ(CloseBusPort(ptys[0]->slavePath().c_str()), 0);
  EXPECT_EQ(OpenBusPort(ptys[8]->slavePath().c_str()), 0);
}

TEST_F(Transport, NamesLongerThanTheSlotAreRefused) {
  char dir[] = "/tmp/flsXXXXXX";  // 14 characters
  ASSERT_NE(mkdtemp(dir), nullptr);
  const char* target = NewPort();
  const std::string exact = std::string(dir) + "/abcde";   // 20 characters
  const std::string longer = std::string(dir) + "/abcdef"; // 21 characters
  ASSERT_EQ(exact.size(), kMaxPortName);
  ASSERT_EQ(symlink(target, exact.c_str()), 0);
  ASSERT_EQ(symlink(target, longer.c_str()), 0);

  EXPECT_EQ(OpenBusPort(longer.c_str()), TRANSPORT_NO_STATION);
  EXPECT_TRUE(fake.inits.empty());
  ASSERT_EQ(OpenBusPort(exact.c_str()), 0);
  EXPECT_EQ(fake.initNames.at(0), exact);
  EXPECT_EQ(CloseBusPort(exact.c_str()), 0);
  EXPECT_EQ(OpenBusPort(nullptr), TRANSPORT_NO_STATION);
  EXPECT_EQ(OpenBusPort(""), TRANSPORT_NO_STATION);
  unlink(exact.c_str());
  unlink(longer.c_str());
  rmdir(dir);
}

TEST_F(Transport, LinkThatDoesNotStartLeavesNothingClaimed) {
  const char* port = NewPort();
  fake.initResult = 255;
  EXPECT_EQ(OpenBusPort(port), TRANSPORT_LINK_FAILED);
  EXPECT_EQ(PostRequest(port, 5, kPing, 2, 1, RecordCompletion), TRANSPORT_NOT_OPEN);
  EXPECT_EQ(CloseBusPort(port), TRANSPORT_LINK_FAILED);
  fake.initResult = 0;
  EXPECT_EQ(OpenBusPort(port), 0);
}

TEST_F(Transport, UnopenedPortsAndMissingArguments) {
  const char* port = NewPort();
  uint8_t code = 9;
  EXPECT_EQ(SendRequest(port, 5, kPing, 2, 1, nullptr, nullptr, nullptr, &code),
            TRANSPORT_NOT_OPEN);
  EXPECT_EQ(PostRequest(port, 5, kPing, 2, 1, RecordCompletion), TRANSPORT_NOT_OPEN);
  EXPECT_EQ(CloseBusPort(port), TRANSPORT_LINK_FAILED);
  ASSERT_EQ(OpenBusPort(port), 0);
  EXPECT_EQ(SendRequest(nullptr, 5, kPing, 2, 1, nullptr, nullptr, nullptr, nullptr),
            TRANSPORT_NOT_OPEN);
  EXPECT_EQ(SendRequest(port, 5, nullptr, 2, 1, nullptr, nullptr, nullptr, nullptr),
            TRANSPORT_NOT_OPEN);
  EXPECT_EQ(PostRequest(port, 5, nullptr, 2, 1, RecordCompletion), TRANSPORT_NOT_OPEN);
  // Nothing to send: the link is told so.
  EXPECT_EQ(OnTokenObtained(port), 0);
  EXPECT_EQ(OnTokenObtained("not a port"), 0);
}

TEST_F(Transport, CloseThatTheLinkRefusesKeepsThePort) {
  const char* port = NewPort();
  ASSERT_EQ(OpenBusPort(port), 0);
  fake.unInitResult = 1;
  EXPECT_EQ(CloseBusPort(port), TRANSPORT_LINK_FAILED);
  EXPECT_EQ(PostRequest(port, 5, kPing, 2, 1, RecordCompletion), 0);
  fake.unInitResult = 0;
  EXPECT_EQ(CloseBusPort(port), 0);
}

TEST_F(Transport, BlockingRequestGetsItsReplyAndOneFrameIsInFlight) {
  const char* port = NewPort();
  ASSERT_EQ(OpenBusPort(port), 0);
  uint8_t reply[kReplyBufferSize] = {};
  uint8_t source = 0, code = 9;
  uint16_t length = 0;
  int result = 99;
  std::thread caller([&] {
    result = SendRequest(port, 17, kPing, 2, 1, &source, reply, &length, &code);
  });
  // Play the link: wait for the request, then hand out the token.
  while (OnTokenObtained(port) == 0) std::this_thread::yield();
  ASSERT_EQ(SentCount(), 1u);
  EXPECT_EQ(fake.sent[0].destination, 17);
  EXPECT_EQ(fake.sent[0].data, (Octets{0x01, 0x01}));
  EXPECT_EQ(fake.sent[0].expectReply, 1);
  const uint8_t answer[] = {0x00, 0x01, 0x00, 0xCC};
  OnUpcall(port, answer, 17, sizeof answer, UPCALL_DATA);
  caller.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(code, UPCALL_DATA);
  EXPECT_EQ(source, 17);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(Octets(reply, reply + 4), Octets(answer, answer + 4));
  EXPECT_EQ(OnTokenObtained(port), 0);  // the queue is empty again
}

TEST_F(Transport, TwoQueuedRequestsGoOutInOrderOneOutcomeApart) {
  const char* port = NewPort();
  ASSERT_EQ(OpenBusPort(port), 0);
  const uint8_t first[] = {0x01, 0x03, 0x01, 0x10, 0x09, 0x01};
  const uint8_t second[] = {0x01, 0xEB};
  ASSERT_EQ(PostRequest(port, 20, first, sizeof first, 1, RecordCompletion), 0);
  ASSERT_EQ(PostRequest(port, 21, second, sizeof second, 1, RecordCompletion), 0);

  EXPECT_EQ(OnTokenObtained(port), 1);
  ASSERT_EQ(SentCount(), 1u);
  EXPECT_EQ(fake.sent[0].destination, 20);
  // Until its outcome arrives the first stays at the head: a new token
  // offers it again, never the second.
  fake.sendResult = 1;  // and the link refuses it this time
  EXPECT_EQ(OnTokenObtained(port), 1);
  EXPECT_EQ(fake.sent[1].destination, 20);
  fake.sendResult = 0;

  OnUpcall(port, nullptr, 0, 0, UPCALL_NO_REPLY);
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].code, UPCALL_NO_REPLY);
  EXPECT_TRUE(completions[0].nullReply);
  EXPECT_EQ(completions[0].port, port);
  EXPECT_EQ(completions[0].portLength, static_cast<int>(std::strlen(port)));

  EXPECT_EQ(OnTokenObtained(port), 1);
  EXPECT_EQ(fake.sent[2].destination, 21);
  EXPECT_EQ(fake.sent[2].data, (Octets{0x01, 0xEB}));
  const uint8_t answer[] = {0x00, 0xEB, 25, 'M', 0};
  OnUpcall(port, answer, 21, sizeof answer, UPCALL_DATA);
  ASSERT_EQ(completions.size(), 2u);
  EXPECT_EQ(completions[1].reply, Octets(answer, answer + sizeof answer));
  EXPECT_EQ(completions[1].source, 21);
}

TEST_F(Transport, OutcomeBeforeTheHeadWasHandedToTheLinkIsDropped) {
  const char* port = NewPort();
  ASSERT_EQ(OpenBusPort(port), 0);
  const uint8_t stray[] = {0x00, 0x05, 0x01, 0x01, 0x00};
  // Empty queue: dropped.
  OnUpcall(port, stray, 40, sizeof stray, UPCALL_DATA);

  ASSERT_EQ(PostRequest(port, 20, kPing, 2, 1, RecordCompletion), 0);
  // A data frame from another station before the request went out must not
  // complete it with that station's data.
  OnUpcall(port, stray, 40, sizeof stray, UPCALL_DATA);
  EXPECT_TRUE(completions.empty());
  // Nor after the link refused to send it.
  fake.sendResult = 1;
  EXPECT_EQ(OnTokenObtained(port), 1);
  OnUpcall(port, stray, 40, sizeof stray, UPCALL_DATA);
  EXPECT_TRUE(completions.empty());
  fake.sendResult = 0;

  EXPECT_EQ(OnTokenObtained(port), 1);
  const uint8_t answer[] = {0x00, 0x01, 0x00, 0x00};
  OnUpcall(port, answer, 20, sizeof answer, UPCALL_DATA);
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].source, 20);
  EXPECT_EQ(completions[0].reply, Octets(answer, answer + 4));
}

TEST_F(Transport, RequestWithoutReplyLeavesWhenOfferedWithoutCompletion) {
  const char* port = NewPort();
  ASSERT_EQ(OpenBusPort(port), 0);
  const uint8_t exitLoader[] = {0x01, 0xEF, 1, 2, 3, 4};
  ASSERT_EQ(PostRequest(port, 16, exitLoader, sizeof exitLoader, 0, RecordCompletion), 0);
  ASSERT_EQ(PostRequest(port, 16, kPing, 2, 1, RecordCompletion), 0);
  fake.sendResult = 1;  // gone even when refused
  EXPECT_EQ(OnTokenObtained(port), 1);
  fake.sendResult = 0;
  EXPECT_EQ(fake.sent[0].expectReply, 0);
  EXPECT_EQ(OnTokenObtained(port), 1);
  EXPECT_EQ(fake.sent[1].data, (Octets{0x01, 0x01}));
  EXPECT_TRUE(completions.empty());
}

TEST_F(Transport, FullQueueRefusesBothKinds) {
  const char* port = NewPort();
  ASSERT_EQ(OpenBusPort(port), 0);
  for (int i = 0; i < kRequestQueueCapacity; ++i)
    ASSERT_EQ(PostRequest(port, 30, kPing, 2, 1, RecordCompletion), 0) << i;
  EXPECT_EQ(PostRequest(port, 30, kPing, 2, 1, RecordCompletion), TRANSPORT_QUEUE_FULL);
  EXPECT_EQ(SendRequest(port, 30, kPing, 2, 1, nullptr, nullptr, nullptr, nullptr),
            TRANSPORT_QUEUE_FULL);
  EXPECT_EQ(CloseBusPort(port), 0);
  EXPECT_EQ(completions.size(), static_cast<size_t>(kRequestQueueCapacity));
}

TEST_F(Transport, PostThatCannotAllocateQueuesNothing) {
  const char* port = NewPort();
  ASSERT_EQ(OpenBusPort(port), 0);
  for (int failing = 1; failing <= 2; ++failing) {  // the request, then its data copy
    failNothrowAllocations = failing;
    EXPECT_EQ(PostRequest(port, 30, kPing, 2, 1, RecordCompletion), TRANSPORT_QUEUE_FULL);
    failNothrowAllocations = 0;
    EXPECT_EQ(OnTokenObtained(port), 0) << "something was queued";
  }
}

TEST_F(Transport, CloseCompletesEveryQueuedRequestAsNoReply) {
  const char* port = NewPort();
  ASSERT_EQ(OpenBusPort(port), 0);
  window = platform::SemaphoreCreate(0, 3);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(PostRequest(port, 30 + i, kPing, 2, 1, RecordCompletion), 0);
  int result = 99;
  uint8_t code = 0;
  uint16_t length = 7;
  std::atomic<bool> returned{false};
  std::thread caller([&] {
    result = SendRequest(port, 40, kPing, 2, 1, nullptr, nullptr, &length, &code);
    returned = true;
  });
  // The first request is in flight when the port closes.
  EXPECT_EQ(OnTokenObtained(port), 1);
  // Give the blocking request time to be queued behind the posted ones.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned);
  ASSERT_EQ(CloseBusPort(port), 0);
  caller.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(code, UPCALL_NO_REPLY);
  EXPECT_EQ(length, 0);
  ASSERT_EQ(completions.size(), 3u);
  for (const auto& c : completions) {
    EXPECT_EQ(c.code, UPCALL_NO_REPLY);
    EXPECT_TRUE(c.nullReply);
  }
  // Each posted request gave its window unit back.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(platform::SemaphoreWait(window, 0), platform::WAIT_SIGNALED);
  platform::SemaphoreClose(window);
  window = nullptr;
  EXPECT_EQ(OnTokenObtained(port), 0);
}

TEST_F(Transport, StationChosenByListeningToTheBus) {
  struct Case {
    std::vector<uint8_t> tokensTo;
    int result;
    int station;
  } cases[] = {
      {{0, 1, 2}, 0, 3},
      {{0, 1, 2, 3}, TRANSPORT_NO_STATION, -1},
  };
  for (const auto& c : cases) {
    const char* port = NewPort();
    testsupport::PtyPair& peer = *ptys.back();
    fake.inits.clear();
    // A master at 9 passes the token round the stations in the list, over
    // and over, as long as the port listens.
    std::atomic<bool> stop{false};
    std::thread master([&] {
      uint8_t from = 9;
      for (int round = 0; !stop && round < 200; ++round) {
        for (uint8_t to : c.tokensTo) {
          peer.write({0x55, 0xFF, 0x00, to, from, 0x00, 0x00, 0x00});
          from = to;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    EXPECT_EQ(OpenBusPort(port), c.result);
    stop = true;
    master.join();
    if (c.station >= 0) {
      ASSERT_EQ(fake.inits.size(), 1u);
      EXPECT_EQ(fake.inits[0].stationAddress, c.station);
    } else {
      EXPECT_TRUE(fake.inits.empty());
    }
  }
}

TEST_F(Transport, InvalidListeningRange) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(FindFreeStation(NewPort(), 0, 16), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid Address Range 0 to 16.\r\n");
}

TEST_F(Transport, PortThatCannotBeOpenedForListening) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(OpenBusPort("/nonexistent/tty"), TRANSPORT_NO_STATION);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Opening port /nonexistent/tty Failed\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Failed to open the comm port with error code "), std::string::npos) << out;
}

}  // namespace
