// The link's codec, receive machine, master node, send gate and tables,
// driven in-process on simulated time.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/fake_line.h"
#include "link/link_internal.h"
#include "link/mstp_frame.h"
#include "link/peer_frames.h"
#include "link/tarbus_link.h"

using fakeline::g_line;
using fakeline::LinkFixture;
using fakeline::AdvanceMs;
namespace ms = tarbus::master_state;
namespace rs = tarbus::receive_state;

namespace {

std::vector<uint8_t> Encode(uint8_t type, uint8_t dest, uint8_t src,
                            const std::vector<uint8_t>& data, bool framingDisabled = false,
                            uint8_t* armed = nullptr, uint16_t* lastFrameOctets = nullptr) {
  mstp::EncodedFrame frame;
  uint8_t none = 0;
  EXPECT_TRUE(mstp::EncodeFrame(type, dest, src, data.empty() ? nullptr : data.data(),
                                static_cast<uint16_t>(data.size()), framingDisabled,
                                armed != nullptr ? armed : &none, &frame));
  if (lastFrameOctets != nullptr) *lastFrameOctets = frame.lastFrameOctets;
  return std::vector<uint8_t>(frame.octets, frame.octets + frame.count);
}

// ---- frames and CRCs -------------------------------------------------------

TEST(FrameCodec, KnownAnswers) {
  // Token from 3 to 4; the header CRC octet was worked out by hand from the
  // standard's shift-and-xor formula.
  EXPECT_EQ(Encode(0, 4, 3, {}),
            (std::vector<uint8_t>{0x55, 0xFF, 0x00, 0x04, 0x03, 0x00, 0x00, 0x73}));
  uint8_t h = 0xFF;
  for (uint8_t octet : {0x00, 0x04, 0x03, 0x00, 0x00, 0x73}) h = mstp::HeaderCrcUpdate(h, octet);
  EXPECT_EQ(h, 0x55);

  std::vector<uint8_t> big(300, 0xA5);
  std::vector<uint8_t> frame = Encode(5, 4, 3, big);
  ASSERT_EQ(frame.size(), 310u);
  EXPECT_EQ(frame[5], 0x01);
  EXPECT_EQ(frame[6], 0x2C);
  EXPECT_EQ(frame[7], 0xA5);  // includes the 0x01 of the length
  EXPECT_EQ(frame, peer::Frame(5, 4, 3, big));

  // CRC-CCITT of "abc" as MS/TP sends it: 0x9E25, low octet first.
  frame = Encode(6, 4, 3, {0x61, 0x62, 0x63});
  ASSERT_EQ(frame.size(), 13u);
  EXPECT_EQ(frame[11], 0x25);
  EXPECT_EQ(frame[12], 0x9E);
  uint16_t d = 0xFFFF;
  for (size_t i = 8; i < 13; ++i) d = mstp::DataCrcUpdate(d, frame[i]);
  EXPECT_EQ(d, 0xF0B8);
  // The standard check string gives the standard check value.
  d = 0xFFFF;
  for (char c : std::string("123456789")) d = mstp::DataCrcUpdate(d, static_cast<uint8_t>(c));
  EXPECT_EQ(static_cast<uint16_t>(~d), 0x906E);
}

TEST(FrameCodec, TablesAgreeWithBitwiseCrcsEverywhere) {
  for (int crc = 0; crc < 256; ++crc)
    for (int octet = 0; octet < 256; ++octet)
      ASSERT_EQ(mstp::HeaderCrcUpdate(static_cast<uint8_t>(crc), static_cast<uint8_t>(octet)),
                peer::HeaderCrcBitwise(static_cast<uint8_t>(crc), static_cast<uint8_t>(octet)));
  for (int crc = 0; crc < 65536; crc += 97)
    for (int octet = 0; octet < 256; ++octet)
      ASSERT_EQ(mstp::DataCrcUpdate(static_cast<uint16_t>(crc), static_cast<uint8_t>(octet)),
                peer::DataCrcShiftForm(static_cast<uint16_t>(crc), static_cast<uint8_t>(octet)));
}

TEST(FrameCodec, TestSwitches) {
  uint8_t armed = 1;
  uint16_t octets = 0;
  EXPECT_EQ(Encode(0, 4, 3, {}, false, &armed, &octets), peer::Frame(0, 4, 3));
  EXPECT_EQ(armed, 1) << "a frame without data leaves the switch armed";
  std::vector<uint8_t> frame = Encode(6, 4, 3, {1, 2, 3}, false, &armed, &octets);
  EXPECT_EQ(frame[11], 0xFF);
  EXPECT_EQ(frame[12], 0xFF);
  EXPECT_EQ(armed, 0);
  EXPECT_EQ(Encode(6, 4, 3, {1, 2, 3}, false, &armed), peer::Frame(6, 4, 3, {1, 2, 3}));

  EXPECT_EQ(Encode(6, 4, 3, {1, 2}, true, nullptr, &octets), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(octets, 10);
  EXPECT_TRUE(Encode(0, 4, 3, {}, true, nullptr, &octets).empty());
  EXPECT_EQ(octets, 8);

  mstp::EncodedFrame out;
  std::vector<uint8_t> tooLong(502, 0);
  EXPECT_FALSE(mstp::EncodeFrame(6, 4, 3, tooLong.data(), 502, false, nullptr, &out));
  EXPECT_EQ(out.count, 0);
  EXPECT_TRUE(mstp::EncodeFrame(6, 4, 3, tooLong.data(), 501, false, nullptr, &out));
  EXPECT_EQ(out.count, 511);
}

// ---- names, ids, reply times ---------------------------------------------

TEST(PortNames, DevicePathRule) {
  struct Case {
    const char* name;
    const char* device;
  } cases[] = {{"COM3", "\\\\.\\COM3"},   {"com12", "\\\\.\\com12"}, {"Com123", "\\\\.\\Com123"},
               {"COM1234", "COM1234"},    {"CO", "CO"},              {"TTY1", "TTY1"},
               {"/dev/pts/3", "/dev/pts/3"}};
  for (const Case& c : cases) {
    char out[64];
    ASSERT_TRUE(tarbus::PortDeviceName(c.name, out, sizeof out)) << c.name;
    EXPECT_STREQ(out, c.device) << c.name;
  }
  char small[6];
  EXPECT_FALSE(tarbus::PortDeviceName("COM3", small, sizeof small));
}

TEST(ReplyTimes, FromReplySizeHint) {
  struct Case {
    uint16_t hint, ms;
  } cases[] = {{0, 125}, {499, 125}, {500, 250}, {512, 250}, {1000, 375}, {65535, 16500}};
  for (const Case& c : cases) EXPECT_EQ(tarbus::ReplyTimeoutFor(c.hint), c.ms) << c.hint;
}

TEST(LinkIds, FromTheTopDownAndReused) {
  bool added = false;
  uint8_t a = tarbus::RegisterPortName("A", &added);
  EXPECT_TRUE(added);
  ASSERT_TRUE(tarbus::ReserveEntries(a));
  uint8_t b = tarbus::RegisterPortName("B", &added);
  ASSERT_TRUE(tarbus::ReserveEntries(b));
  EXPECT_EQ(a, 255);
  EXPECT_EQ(b, 254);
  EXPECT_EQ(tarbus::RegisterPortName("A", &added), 255);
  EXPECT_FALSE(added);
  EXPECT_EQ(tarbus::RegisterPortName("a", &added), 253) << "names are compared exactly";
  tarbus::ClearNameEntry(253);
  // A freed id is given out again.
  tarbus::ReleaseEntries(a);
  tarbus::ClearNameEntry(a);
  EXPECT_EQ(tarbus::RegisterPortName("C", &added), 255);
  tarbus::ClearNameEntry(255);
  EXPECT_EQ(tarbus::RegisterPortName(std::string(32, 'x').c_str(), &added), 255);
  tarbus::ClearNameEntry(255);
  EXPECT_EQ(tarbus::RegisterPortName(std::string(33, 'x').c_str(), &added), 0);
  EXPECT_EQ(tarbus::RegisterPortName("", &added), 0);
  EXPECT_EQ(tarbus::RegisterPortName(nullptr, &added), 0);
  tarbus::ReleaseEntries(b);
  tarbus::ClearNameEntry(b);
  EXPECT_EQ(tarbus::g_reservedControls, 0);
}

TEST(LinkTimer, TickAdvancesOnlyNodesInUse) {
  bool added = false;
  uint8_t a = tarbus::RegisterPortName("A", &added);
  ASSERT_TRUE(tarbus::ReserveEntries(a));
  tarbus::LinkNode* node = tarbus::FindNode(a);
  tarbus::TickLinks();
  EXPECT_EQ(node->SilenceTimer.load(), 0u);
  node->inUse.store(1);
  node->maintenanceTimer.store(65534);
  tarbus::TickLinks();
  tarbus::TickLinks();
  EXPECT_EQ(node->SilenceTimer.load(), 4u);
  EXPECT_EQ(node->answerTimer.load(), 4u);
  EXPECT_EQ(node->tokenAgeTimer.load(), 4u);
  EXPECT_EQ(node->maintenanceTimer.load(), 2) << "the maintenance timer wraps";
  for (tarbus::LinkNode& other : tarbus::g_linkNodes) {
    if (&other != node) {
      EXPECT_EQ(other.SilenceTimer.load(), 0u);
    }
  }
  tarbus::ReleaseEntries(a);
  tarbus::ClearNameEntry(a);
}

// ---- receive machine -------------------------------------------------------

class Receive : public LinkFixture {};

TEST_F(Receive, PreamblesAndEventCount) {
  node->MasterState = ms::IDLE;
  std::vector<uint8_t> stream = {0x55, 0x55};
  std::vector<uint8_t> token = peer::Frame(0, 9, 3);  // for another station
  stream.insert(stream.end(), token.begin(), token.end());
  node->EventCount = 0;
  Feed(stream);
  EXPECT_EQ(node->ReceivedValidFrame, 0);
  EXPECT_EQ(node->ReceiveState, rs::IDLE);
  EXPECT_EQ(node->EventCount, 10);

  node->EventCount = 0;
  Feed({0x55, 0x00});
  EXPECT_EQ(node->ReceiveState, rs::IDLE);
  node->EventCount = 0;
  std::vector<uint8_t> data(10, 0x11);
  Feed(peer::Frame(6, 4, 3, data));
  EXPECT_EQ(node->EventCount, 8) << "data octets are not counted";
}

TEST_F(Receive, FramesForThisStationBroadcastAndOthers) {
  Feed(peer::Frame(6, 4, 7, {1, 2, 3}));
  Feed(peer::Frame(6, 255, 8, {4}));
  // For station 5: dropped after its header; the 0x55 in its data starts a
  // new preamble and the frame inside is received.
  std::vector<uint8_t> inner = peer::Frame(6, 4, 9, {7});
  std::vector<uint8_t> outer = peer::Frame(6, 5, 3, inner);
  Feed(outer);
  ASSERT_EQ(g_line.upcalls.size(), 3u);
  EXPECT_EQ(g_line.upcalls[0].data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(g_line.upcalls[0].source, 7);
  EXPECT_EQ(g_line.upcalls[1].source, 8);
  EXPECT_EQ(g_line.upcalls[2].source, 9);
  EXPECT_EQ(g_line.upcalls[2].data, (std::vector<uint8_t>{7}));
}

TEST_F(Receive, LengthLimit) {
  std::vector<uint8_t> full(501, 0x42);
  Feed(peer::Frame(6, 4, 7, full));
  ASSERT_EQ(g_line.upcalls.size(), 1u);
  EXPECT_EQ(g_line.upcalls[0].data, full);
  // A header announcing 502 octets is invalid; nothing of it is delivered.
  std::vector<uint8_t> over = peer::Frame(6, 4, 7, std::vector<uint8_t>(502, 0x42));
  node->MasterState = ms::WAIT_FOR_REPLY;
  node->SilenceTimer.store(0);
  Feed(std::vector<uint8_t>(over.begin(), over.begin() + 8));
  ASSERT_EQ(g_line.upcalls.size(), 2u);
  EXPECT_EQ(g_line.upcalls[1].code, UPCALL_INVALID_FRAME);
}

TEST_F(Receive, BadCrcsAndReceiveErrors) {
  node->MasterState = ms::WAIT_FOR_REPLY;
  std::vector<uint8_t> f = peer::Frame(6, 4, 7, {1, 2});
  f[7] ^= 1;  // header CRC
  Feed(f);
  f = peer::Frame(6, 4, 7, {1, 2});
  node->MasterState = ms::WAIT_FOR_REPLY;
  f[9] ^= 0x80;  // data
  Feed(f);
  node->MasterState = ms::WAIT_FOR_REPLY;
  f = peer::Frame(6, 4, 7, {1, 2});
  Feed(std::vector<uint8_t>(f.begin(), f.begin() + 9));
  tarbus::HandOverOctet(*port, f[9], 1);
  tarbus::LinkCycleWithOctets(id);
  ASSERT_EQ(g_line.upcalls.size(), 3u);
  for (const auto& u : g_line.upcalls) EXPECT_EQ(u.code, UPCALL_INVALID_FRAME);
  // In IDLE a receive error is only counted.
  node->EventCount = 0;
  tarbus::HandOverOctet(*port, 0x55, 1);
  tarbus::LinkCycleWithOctets(id);
  EXPECT_EQ(node->EventCount, 1);
  EXPECT_EQ(node->ReceiveState, rs::IDLE);
}

TEST_F(Receive, GapsLongerThanFrameAbortStartOver) {
  std::vector<uint8_t> f = peer::Frame(6, 4, 7, {1, 2, 3});
  for (uint8_t octet : f) {
    Feed({octet});
    AdvanceMs(100);
  }
  ASSERT_EQ(g_line.upcalls.size(), 1u) << "100 ms gaps are within 125 ms";
  for (size_t i = 0; i < f.size(); ++i) {
    Feed({f[i]});
    if (i == 4) AdvanceMs(130);
  }
  EXPECT_EQ(g_line.upcalls.size(), 1u) << "a 130 ms gap drops the frame";
}

TEST_F(Receive, ImmediateUpcallSeesEveryOctetFirst) {
  Feed(peer::Frame(0, 9, 6));  // leaves source 6 as the last header's
  node->immediateUpcall.store(1);
  std::vector<uint8_t> f = peer::Frame(6, 4, 7, {0xAB});
  Feed(f);
  ASSERT_EQ(g_line.upcalls.size(), f.size() + 1);
  for (size_t i = 0; i < f.size(); ++i) {
    EXPECT_EQ(g_line.upcalls[i].data, std::vector<uint8_t>{f[i]});
    EXPECT_EQ(g_line.upcalls[i].code, UPCALL_DATA);
  }
  EXPECT_EQ(g_line.upcalls[0].source, 6);
  EXPECT_EQ(g_line.upcalls[5].source, 7) << "the source octet was taken before";
  EXPECT_EQ(g_line.upcalls.back().data, std::vector<uint8_t>{0xAB});
}

TEST_F(Receive, TokenRunsTheMasterNodeInsideReceiveOctet) {
  std::vector<uint8_t> token = peer::Frame(0, 4, 3);
  for (uint8_t octet : token) {
    port->DataRegister = octet;
    port->DataAvailable.store(1);
    tarbus::receiveOctet(id);
  }
  EXPECT_EQ(g_line.tokenCalls, 1);
}

TEST_F(Receive, ActivityCheckOnTheFifthOctet) {
  Idle(510);
  EXPECT_EQ(node->MasterState, ms::NO_TOKEN);
  node->EventCount = 0;
  std::vector<uint8_t> token = peer::Frame(0, 9, 3);
  for (size_t i = 0; i < 5; ++i) {
    port->DataRegister = token[i];
    port->DataAvailable.store(1);
    tarbus::receiveOctet(id);
  }
  EXPECT_EQ(node->MasterState, ms::IDLE) << "another station is active";
  EXPECT_EQ(node->activityCheckPending, 0);
}

// ---- master node -----------------------------------------------------------

class Master : public LinkFixture {};

TEST_F(Master, GeneratesTokenPollsInTurnAndBecomesSoleMaster) {
  Start(4, 7, 3);
  Idle(900);
  std::vector<peer::ParsedFrame> frames = peer::ParseFrames(g_line.output, g_line.outputMs);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames[0].type, 1);
  EXPECT_EQ(frames[0].destination, 5);
  EXPECT_GE(frames[0].lastOctetMs, 552);
  EXPECT_LT(frames[0].lastOctetMs, 565);
  std::vector<int> polled;
  for (const auto& f : frames)
    if (f.type == 1) polled.push_back(f.destination);
  ASSERT_GE(polled.size(), 7u);
  EXPECT_EQ(std::vector<int>(polled.begin(), polled.begin() + 7),
            (std::vector<int>{5, 6, 7, 0, 1, 2, 3}));
  for (size_t i = 1; i < 7; ++i) {
    long gap = frames[i].lastOctetMs - frames[i - 1].lastOctetMs;
    EXPECT_GE(gap, 48);
    EXPECT_LE(gap, 54);
  }
  Idle(60);
  EXPECT_EQ(node->SoleMaster, 1);
  EXPECT_GT(g_line.tokenCalls, 0);
}

TEST_F(Master, SoleMasterMaintenancePollsSkipItself) {
  Start(4, 7, 3);
  Idle(900 + 48 * 10);
  ASSERT_EQ(node->SoleMaster, 1);
  std::vector<int> polled;
  for (const auto& f : peer::ParseFrames(g_line.output, g_line.outputMs))
    if (f.type == 1) polled.push_back(f.destination);
  ASSERT_GE(polled.size(), 15u);
  // Discovery, then one maintenance poll per 50 possessions.
  EXPECT_EQ(std::vector<int>(polled.begin(), polled.begin() + 15),
            (std::vector<int>{5, 6, 7, 0, 1, 2, 3, 5, 6, 7, 0, 1, 2, 3, 5}));
  // Three uses of the token per possession, 50 possessions between polls.
  EXPECT_GE(g_line.tokenCalls, 3 * 51);
}

TEST_F(Master, NoTokenRestartsSilenceAfter2177) {
  Start(127, 127, 1);  // w = 2151: the window is met before 2177
  Feed({0x01, 0x02, 0x03, 0x04, 0x05});  // EventCount 5: another station seems active
  Idle(2190);
  EXPECT_LT(node->SilenceTimer.load(), 100u);
}

TEST_F(Master, ReplyToPollMakesPeerTheNextStationAndTokenPassIsRetriedOnce) {
  Start(4, 15, 3);
  Idle(560);
  TakeOutput();
  Feed(peer::Frame(2, 4, 5));
  EXPECT_EQ(node->NS, 5);
  EXPECT_EQ(TakeOutput(), peer::Frame(0, 5, 4));
  Idle(46);
  EXPECT_TRUE(g_line.output.empty());
  Idle(6);
  EXPECT_EQ(TakeOutput(), peer::Frame(0, 5, 4)) << "one retry";
  Idle(52);
  EXPECT_EQ(TakeOutput(), peer::Frame(1, 6, 4)) << "then the next station is polled";
}

TEST_F(Master, AnswersPollAndIgnoresBroadcastPollAndTestResponse) {
  Feed(peer::Frame(1, 4, 9));
  EXPECT_EQ(TakeOutput(), peer::Frame(2, 9, 4));
  Feed(peer::Frame(1, 255, 9));
  Feed(peer::Frame(4, 4, 9));
  EXPECT_TRUE(TakeOutput().empty());
  EXPECT_EQ(node->ReceivedValidFrame, 0);
  EXPECT_EQ(node->ReceivedInvalidFrame, 0);
  EXPECT_TRUE(g_line.upcalls.empty());
}

TEST_F(Master, DelegateReturningZeroPassesTokenWithoutData) {
  Start(4, 15, 3);
  node->NS = 5;  // a ring of 4 and 5
  node->TokenCount = 0;
  Feed(peer::Frame(0, 4, 5));
  EXPECT_EQ(g_line.tokenCalls, 1);
  EXPECT_EQ(TakeOutput(), peer::Frame(0, 5, 4));
  EXPECT_EQ(node->MasterState, ms::PASS_TOKEN);
}

TEST_F(Master, RequestWaitsForReplyAndUsesTokenAgain) {
  node->NS = 5;
  node->TokenCount = 0;
  std::vector<uint8_t> request(20, 0x33);
  g_line.onToken = [&] {
    return static_cast<uint8_t>(
        TarbusLink_SendFrame(fakeline::kPortName, 9, request.data(), 20, 1) == 0);
  };
  Feed(peer::Frame(0, 4, 5));
  EXPECT_EQ(node->MasterState, ms::WAIT_FOR_REPLY);
  EXPECT_EQ(node->lastFrameOctets, 30);
  EXPECT_EQ(TakeOutput(), peer::Frame(5, 9, 4, request));
  EXPECT_EQ(node->Treply_timeout.load(), 250);
  Idle(10);
  Feed(peer::Frame(6, 4, 9, {0x01, 0x03}));
  ASSERT_EQ(g_line.upcalls.size(), 1u);
  EXPECT_EQ(g_line.upcalls[0].code, UPCALL_DATA);
  EXPECT_EQ(g_line.upcalls[0].source, 9);
  EXPECT_EQ(g_line.upcalls[0].data, (std::vector<uint8_t>{0x01, 0x03}));
  EXPECT_EQ(g_line.tokenCalls, 2) << "FrameCount 1 < 3: the delegate is asked again";
}

TEST_F(Master, WaitOutcomes) {
  struct Case {
    std::vector<uint8_t> frame;
    uint8_t code;
  } cases[] = {
      {peer::Frame(7, 4, 9), UPCALL_REPLY_POSTPONED},
      {peer::Frame(4, 4, 9, {5}), UPCALL_DATA},
      {peer::Frame(6, 255, 9, {5}), UPCALL_UNEXPECTED_FRAME},
      {peer::Frame(5, 4, 9, {5}), UPCALL_UNEXPECTED_FRAME},
  };
  for (const Case& c : cases) {
    g_line.upcalls.clear();
    node->MasterState = ms::WAIT_FOR_REPLY;
    node->SilenceTimer.store(0);
    Feed(c.frame);
    ASSERT_FALSE(g_line.upcalls.empty());
    EXPECT_EQ(g_line.upcalls[0].code, c.code);
  }
}

TEST_F(Master, NoReplyAfterTheTimeoutAndResends) {
  node->NS = 5;
  node->TokenCount = 0;
  node->maxRequestResend.store(2);
  int sent = 0;
  g_line.onToken = [&] {
    if (sent++ > 0) return static_cast<uint8_t>(0);
    const uint8_t request[] = {1, 2};
    TarbusLink_SendFrame(fakeline::kPortName, 9, request, 2, 1);
    return static_cast<uint8_t>(1);
  };
  Feed(peer::Frame(0, 4, 5));
  Idle(800);
  std::vector<long> requestTimes;
  for (const auto& f : peer::ParseFrames(g_line.output, g_line.outputMs))
    if (f.type == 5) requestTimes.push_back(f.lastOctetMs);
  ASSERT_EQ(requestTimes.size(), 3u);
  ASSERT_EQ(g_line.upcalls.size(), 1u);
  EXPECT_EQ(g_line.upcalls[0].code, UPCALL_NO_REPLY);
  EXPECT_GE(g_line.upcalls[0].atMs - requestTimes[2], 250);
  EXPECT_LE(g_line.upcalls[0].atMs - requestTimes[2], 256);
  EXPECT_EQ(node->resendCount, 0);
  EXPECT_EQ(node->resendPending, 0u);
}

TEST_F(Master, TokenDropAnswersRequestWithTestRequest) {
  control->tokenDropAddress.store(9);
  Feed(peer::Frame(5, 4, 9, {1}));
  EXPECT_EQ(TakeOutput(), peer::Frame(3, 9, 4));
  EXPECT_TRUE(g_line.upcalls.empty());
  Feed(peer::Frame(5, 4, 8, {1}));
  EXPECT_EQ(g_line.upcalls.size(), 1u);
}

TEST_F(Master, MasterServicesDisabled) {
  control->masterServicesDisabled.store(1);
  Feed(peer::Frame(0, 4, 5));
  EXPECT_EQ(node->MasterState, ms::IDLE);
  EXPECT_EQ(node->tokenJustReceived, 1);
  EXPECT_EQ(g_line.tokenCalls, 0);
  Idle(1200);
  EXPECT_TRUE(g_line.output.empty()) << "never polls or generates a token";
  Feed(peer::Frame(1, 4, 9));
  EXPECT_EQ(TakeOutput(), peer::Frame(2, 9, 4)) << "still answers polls";
  // Frames are written at once, gate skipped: with input pending, no gap.
  g_line.input = {0x55};
  node->SilenceTimer.store(0);
  const uint8_t data[] = {7};
  EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 9, data, 1, 0), 0);
  EXPECT_EQ(g_line.outputMs.front(), g_line.nowMs);
}

// ---- send gate ----------------------------------------------------------------

class Gate : public LinkFixture {};

TEST_F(Gate, PendingOctetRefusesAndIsDiscarded) {
  g_line.input = {0x00};
  const uint8_t data[] = {1};
  EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 9, data, 1, 0), 1);
  EXPECT_TRUE(g_line.input.empty());
  EXPECT_TRUE(g_line.output.empty());
  node->SilenceTimer.store(10);
  EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 9, data, 1, 0), 0);
  EXPECT_EQ(TakeOutput(), peer::Frame(6, 9, 4, {1}));
}

TEST_F(Gate, OctetsWaitingInTheHandOffCountAsPending) {
  ASSERT_TRUE(tarbus::HandOverOctet(*port, 0x55, 0));
  const uint8_t data[] = {1};
  node->SilenceTimer.store(10);
  EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 9, data, 1, 0), 1);
  EXPECT_EQ(tarbus::OctetsHandedOver(*port), 1u) << "left for the receive machine";
  // A frame that completes while more octets wait behind it is not answered.
  std::vector<uint8_t> poll = peer::Frame(1, 4, 9);
  tarbus::LinkCycleWithOctets(id);
  for (uint8_t octet : poll) ASSERT_TRUE(tarbus::HandOverOctet(*port, octet, 0));
  ASSERT_TRUE(tarbus::HandOverOctet(*port, 0x00, 0));
  tarbus::LinkCycleWithOctets(id);
  EXPECT_TRUE(g_line.output.empty());
  EXPECT_EQ(tarbus::OctetsHandedOver(*port), 0u);
}

TEST_F(Gate, HandOffRingKeepsOrderAndRefusesWhenFull) {
  node->immediateUpcall.store(1);
  control->masterServicesDisabled.store(1);
  uint32_t accepted = 0;
  while (tarbus::HandOverOctet(*port, static_cast<uint8_t>(accepted), 0)) ++accepted;
  EXPECT_EQ(accepted, tarbus::LinkPort::kRingSize);
  tarbus::LinkCycleWithOctets(id);
  ASSERT_EQ(g_line.upcalls.size(), accepted);
  for (uint32_t i = 0; i < accepted; ++i) EXPECT_EQ(g_line.upcalls[i].data[0], i);
  EXPECT_TRUE(tarbus::HandOverOctet(*port, 1, 0)) << "room again";
}

TEST_F(Gate, TokenAge) {
  const uint8_t data[] = {1};
  node->tokenJustReceived = 1;
  node->tokenAgeTimer.store(100);
  EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 9, data, 1, 0), 1);
  node->tokenAgeTimer.store(90);
  node->SilenceTimer.store(90);
  EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 9, data, 1, 0), 0);
  EXPECT_EQ(node->tokenJustReceived, 0);
}

TEST_F(Gate, RepeatedTokenCountsAsQuiet) {
  const uint8_t data[] = {1};
  node->SourceAddress = 5;
  struct Case {
    std::vector<uint8_t> pending;
    uint8_t result;
  } cases[] = {
      {{0x55, 0xFF, 0x00, 4, 5, 0x00, 0x00, 0x99}, 0},
      {{0x55, 0xFF, 0x00, 4, 5, 0x00}, 1},
      {{0x55, 0xFF, 0x01, 4, 5, 0x00, 0x00, 0x99}, 1},
      {{}, 0},
  };
  for (const Case& c : cases) {
    node->tokenJustReceived = 1;
    node->tokenAgeTimer.store(10);
    node->SilenceTimer.store(10);
    g_line.input.assign(c.pending.begin(), c.pending.end());
    EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 9, data, 1, 0), c.result);
    EXPECT_TRUE(g_line.input.empty());
  }
}

TEST_F(Gate, KeepsThreeMsGapAndAnswerLimit) {
  const uint8_t data[] = {1};
  node->SilenceTimer.store(0);
  long before = g_line.nowMs;
  EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 9, data, 1, 0), 0);
  EXPECT_GE(g_line.outputMs.front() - before, 3);
  // A reply from inside the up-call of a request, 50 ms late, is refused.
  uint8_t replyResult = 0;
  g_line.onUpcall = [&](const fakeline::Upcall&) {
    fakeline::AdvanceMs(50);
    replyResult = TarbusLink_SendFrame(fakeline::kPortName, 9, data, 1, 0);
  };
  TakeOutput();
  Feed(peer::Frame(5, 4, 9, {1}));
  EXPECT_EQ(replyResult, 1);
  EXPECT_TRUE(g_line.output.empty());
  EXPECT_GT(g_line.inputDiscards, 0);
  // In time it goes out.
  g_line.onUpcall = [&](const fakeline::Upcall&) {
    fakeline::AdvanceMs(20);
    replyResult = TarbusLink_SendFrame(fakeline::kPortName, 9, data, 1, 0);
  };
  Feed(peer::Frame(5, 4, 9, {1}));
  EXPECT_EQ(replyResult, 0);
}

TEST_F(Gate, RefusedRequestStillBecomesTheSavedRequest) {
  g_line.input = {0x00};
  const uint8_t data[] = {9, 8, 7};
  node->lastFrameNoReply = 1;
  EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 12, data, 3, 1), 1);
  EXPECT_EQ(node->savedLength, 3);
  EXPECT_EQ(node->savedDestination, 12);
  EXPECT_EQ(node->savedFrameType, 5);
  EXPECT_EQ(std::memcmp(node->savedData, data, 3), 0);
  EXPECT_EQ(node->lastFrameNoReply, 1);
}

TEST_F(Gate, PacketJamRefusesAndLongFramesAreNotSent) {
  const uint8_t data[502] = {};
  node->SilenceTimer.store(10);
  EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 9, data, 502, 1), 1);
  EXPECT_EQ(node->savedLength, 0) << "an over-long request is not saved";
  EXPECT_TRUE(g_line.output.empty());
  control->jamActive.store(1);
  EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 9, data, 1, 0), 1);
  control->jamActive.store(0);
  EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 9, data, 501, 0), 0);
  EXPECT_EQ(g_line.output.size(), 511u);
}

TEST_F(Gate, SwitchesReachTheWire) {
  node->SilenceTimer.store(10);
  const uint8_t data[] = {1, 2};
  TarbusLink_CheckSumError(fakeline::kPortName);
  EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 9, data, 2, 0), 0);
  std::vector<uint8_t> out = TakeOutput();
  ASSERT_EQ(out.size(), 12u);
  EXPECT_EQ(out[10], 0xFF);
  EXPECT_EQ(out[11], 0xFF);
  EXPECT_EQ(control->checksumErrorArmed.load(), 0);
  TarbusLink_DisableMSTPFraming(fakeline::kPortName, 1);
  node->SilenceTimer.store(10);
  EXPECT_EQ(TarbusLink_SendFrame(fakeline::kPortName, 9, data, 2, 0), 0);
  EXPECT_EQ(TakeOutput(), (std::vector<uint8_t>{1, 2}));
}

}  // namespace
