// The HT's link layer against a scripted byte stream: frames cut into any
// pieces, the acknowledgement of PC data, polls, resends, segments, closes.
#include <gtest/gtest.h>

#include <deque>

#include "platform/clock.h"
#include "tools/htsim/link.h"
#include "tools/htsim/packet.h"

namespace htsim {
namespace {

Bytes Control(std::uint8_t code, std::uint16_t word4 = 0) {
  Bytes b(8, 0);
  b[0] = code;
  b[4] = static_cast<std::uint8_t>(word4 & 0xFF);
  b[5] = static_cast<std::uint8_t>(word4 >> 8);
  return b;
}

Bytes Frame(std::uint8_t code, const Bytes& payload) {
  Bytes b(8, 0);
  b[0] = code;
  b[2] = static_cast<std::uint8_t>(payload.size() & 0xFF);
  b[3] = static_cast<std::uint8_t>(payload.size() >> 8);
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Delivers the scripted bytes in pieces of `piece` bytes and records every
// write. When the script runs out a read times out (or sees the end).
class FakeTransport : public Transport {
 public:
  explicit FakeTransport(std::size_t piece = 4096) : piece_(piece) {}
  void Add(const Bytes& b) { input_.insert(input_.end(), b.begin(), b.end()); }
  long Read(std::uint8_t* buf, std::size_t n, std::uint64_t) override {
    if (input_.empty()) return eof ? kClosed : kTimedOut;
    std::size_t k = std::min({n, piece_, input_.size()});
    for (std::size_t i = 0; i < k; ++i) {
      buf[i] = input_.front();
      input_.pop_front();
    }
    return static_cast<long>(k);
  }
  bool Write(const std::uint8_t* p, std::size_t n, std::size_t segment, std::uint64_t) override {
    const std::size_t step = segment == 0 ? n : segment;
    for (std::size_t done = 0; done < n; done += step) {
      const std::size_t k = std::min(step, n - done);
      writes.emplace_back(p + done, p + done + k);
    }
    frames.emplace_back(p, p + n);
    return true;
  }
  void Close() override { closed = true; }

  std::vector<Bytes> writes;  // every write call
  std::vector<Bytes> frames;  // every frame written
  bool eof = false;
  bool closed = false;

 private:
  std::size_t piece_;
  std::deque<std::uint8_t> input_;
};

std::uint64_t Soon() { return platform::Monotonic_Ms() + 1000; }

TEST(FrameAssembler, JoinsFramesFedByteByByte) {
  const Bytes stream = Cat({Control(kGreeting, 0x1234), Frame(kPcData, {1, 2, 3}), Control(kPoll)});
  FrameAssembler a;
  std::vector<PcFrame> got;
  for (std::uint8_t b : stream) {
    a.Feed(&b, 1);
    PcFrame f;
    while (a.Next(&f) == 1) got.push_back(f);
  }
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].code, kGreeting);
  EXPECT_EQ(got[0].word4, 0x1234);
  EXPECT_EQ(got[1].code, kPcData);
  EXPECT_EQ(got[1].payload, (Bytes{1, 2, 3}));
  EXPECT_EQ(got[2].code, kPoll);
  EXPECT_EQ(a.Held(), 0u);
}

TEST(FrameAssembler, RefusesHeadersThatAreNoFrame) {
  // Longer than a frame buffer holds.
  Bytes big(8, 0);
  big[0] = kPcData;
  big[2] = 0xF9;  // 8185
  big[3] = 0x1F;
  FrameAssembler a;
  a.Feed(big.data(), big.size());
  PcFrame f;
  EXPECT_EQ(a.Next(&f), -1);
  // A control frame with a value where only the greeting has one.
  Bytes poll = Control(kPoll, 7);
  FrameAssembler b;
  b.Feed(poll.data(), poll.size());
  EXPECT_EQ(b.Next(&f), -1);
  // A data frame of exactly 8184 bytes is fine once all of it is there.
  Bytes full = Frame(kPcData, Bytes(8184, 0x5A));
  FrameAssembler c;
  c.Feed(full.data(), full.size() - 1);
  EXPECT_EQ(c.Next(&f), 0);
  c.Feed(&full.back(), 1);
  EXPECT_EQ(c.Next(&f), 1);
  EXPECT_EQ(f.payload.size(), 8184u);
}

TEST(LinkOpen, AnswersTheGreetingAndTheSecondStep) {
  FakeTransport t(3);
  t.Add(Cat({Control(kGreeting, 4660), Control(kStep1)}));
  Link link(t, {});
  Link::Greeting g;
  ASSERT_EQ(link.Open(Soon(), &g), Link::Status::kOk);
  EXPECT_FALSE(g.refused);
  EXPECT_EQ(g.rbytes, 4660);
  ASSERT_EQ(t.frames.size(), 2u);
  EXPECT_EQ(t.frames[0], Control(kStep0));
  EXPECT_EQ(t.frames[1], Control(kStep2));
}

TEST(LinkOpen, AnswersARefusalAndReportsItsText) {
  Bytes text(23, 0);
  const std::string msg = "No More Connection 2";
  std::copy(msg.begin(), msg.end(), text.begin());
  FakeTransport t;
  t.Add(Cat({Frame(kPcData, text), Control(kCloseEnd)}));
  Link link(t, {});
  Link::Greeting g;
  ASSERT_EQ(link.Open(Soon(), &g), Link::Status::kOk);
  EXPECT_TRUE(g.refused);
  EXPECT_EQ(g.refusal, msg);
  ASSERT_EQ(t.frames.size(), 1u);
  EXPECT_EQ(t.frames[0], Control(kRefusalAnswer));
  EXPECT_TRUE(t.closed);
}

// A refusal frame without any text (length 0): an empty refusal text, the
// 0x12 answer all the same.
TEST(LinkOpen, ARefusalWithoutTextIsAnsweredWithAnEmptyText) {
  FakeTransport t;
  t.Add(Cat({Frame(kPcData, {}), Control(kCloseEnd)}));
  Link link(t, {});
  Link::Greeting g;
  ASSERT_EQ(link.Open(Soon(), &g), Link::Status::kOk);
  EXPECT_TRUE(g.refused);
  EXPECT_EQ(g.refusal, "");
  ASSERT_EQ(t.frames.size(), 1u);
  EXPECT_EQ(t.frames[0], Control(kRefusalAnswer));
}

TEST(LinkOpen, SomethingElseThanTheGreetingIsAProtocolError) {
  FakeTransport t;
  t.Add(Control(kPoll));
  Link link(t, {});
  Link::Greeting g;
  EXPECT_EQ(link.Open(Soon(), &g), Link::Status::kProtocol);
  EXPECT_TRUE(t.frames.empty());
}

// A PC packet cut over two data frames: the first frame is acknowledged at
// once, the one that completes the packet only when the HT goes on, so that
// an error can take the acknowledgement's place.
TEST(LinkReceive, AcknowledgesEveryFrameAndDefersTheLastOne) {
  const Bytes pkt = General_Response('D', 0);
  FakeTransport t(3);
  t.Add(Cat({Frame(kPcData, Bytes(pkt.begin(), pkt.begin() + 4)),
             Frame(kPcData, Bytes(pkt.begin() + 4, pkt.end()))}));
  Link link(t, {});
  Bytes got;
  ASSERT_EQ(link.Receive(&got, Soon()), Link::Status::kOk);
  EXPECT_EQ(got, pkt);
  ASSERT_EQ(t.frames.size(), 1u);
  EXPECT_EQ(t.frames[0], Control(kAcknowledge));

  // The answer waits for a poll; the deferred acknowledgement goes first.
  const Bytes answer = General_Response('M', 0);
  link.Send(answer);
  t.Add(Cat({Control(kPoll), Frame(kPcData, pkt)}));
  ASSERT_EQ(link.Receive(&got, Soon()), Link::Status::kOk);
  ASSERT_EQ(t.frames.size(), 3u);
  EXPECT_EQ(t.frames[1], Control(kAcknowledge));
  EXPECT_EQ(t.frames[2], Frame(kHtData, answer));
}

TEST(LinkReceive, AnErrorTravelsInTheAcknowledgement) {
  const Bytes pkt = Data_Block('S', 0, nullptr, 0, true);
  FakeTransport t;
  t.Add(Frame(kPcData, pkt));
  Link link(t, {});
  Bytes got;
  ASSERT_EQ(link.Receive(&got, Soon()), Link::Status::kOk);
  const Bytes e = End_Indication(1, 5);
  ASSERT_EQ(link.Send_Urgent(e, Soon()), Link::Status::kOk);
  ASSERT_EQ(t.frames.size(), 1u);
  EXPECT_EQ(t.frames[0], Frame(kHtData, e));
}

TEST(LinkReceive, LongPacketsGoOutOneFramePerPoll) {
  Bytes content(19993, 0x33);  // a 20000-byte packet
  const Bytes big = Data_Block('S', 0, content.data(), content.size(), true);
  ASSERT_EQ(big.size(), 20002u);
  FakeTransport t;
  t.Add(Cat({Control(kPoll), Control(kPoll), Control(kPoll), Frame(kPcData, General_Response('S', 'd'))}));
  Link link(t, {});
  link.Send(big);
  Bytes got;
  ASSERT_EQ(link.Receive(&got, Soon()), Link::Status::kOk);
  ASSERT_EQ(t.frames.size(), 3u);
  EXPECT_EQ(t.frames[0].size(), 8u + 8184);
  EXPECT_EQ(t.frames[1].size(), 8u + 8184);
  EXPECT_EQ(t.frames[2].size(), 8u + 3634);
  Bytes joined;
  for (const Bytes& f : t.frames) joined.insert(joined.end(), f.begin() + 8, f.end());
  EXPECT_EQ(joined, big);
  EXPECT_EQ(link.Polls(), 3u);
}

TEST(LinkReceive, APollWithNothingToSayIsAnsweredOnceThereIs) {
  FakeTransport t;
  t.Add(Control(kPoll));
  Link link(t, {});
  Bytes got;
  EXPECT_EQ(link.Receive(&got, Soon()), Link::Status::kTimedOut);
  EXPECT_TRUE(t.frames.empty());
  const Bytes req = Build_Packet(kCommand, 'J', 0, nullptr, 0);
  link.Send(req);
  t.Add(Frame(kPcData, General_Response('J', 0)));
  ASSERT_EQ(link.Receive(&got, Soon()), Link::Status::kOk);
  ASSERT_EQ(t.frames.size(), 1u);
  EXPECT_EQ(t.frames[0], Frame(kHtData, req));
}

TEST(LinkReceive, ProducerFillsTheQueueWhileThePcPolls) {
  FakeTransport t;
  t.Add(Cat({Control(kPoll), Control(kPoll), Frame(kPcData, General_Response('S', 'd'))}));
  Link link(t, {});
  int made = 0;
  link.Set_Producer([&](Bytes* out) {
    if (made == 2) return false;
    *out = Data_Block('S', static_cast<std::uint8_t>(made), nullptr, 0, made == 1);
    ++made;
    return true;
  });
  Bytes got;
  ASSERT_EQ(link.Receive(&got, Soon()), Link::Status::kOk);
  ASSERT_EQ(t.frames.size(), 2u);
  EXPECT_EQ(t.frames[1], Frame(kHtData, Data_Block('S', 1, nullptr, 0, true)));
}

TEST(LinkReceive, AsksForTheChosenFramesAgain) {
  const Bytes pkt = General_Response('T', 0);
  FakeTransport t;
  t.Add(Cat({Frame(kPcData, pkt), Frame(kPcData, pkt)}));
  LinkOptions o;
  o.resend_frames = {1};
  Link link(t, o);
  Bytes got;
  ASSERT_EQ(link.Receive(&got, Soon()), Link::Status::kOk);
  EXPECT_EQ(got, pkt);
  ASSERT_EQ(t.frames.size(), 1u);
  EXPECT_EQ(t.frames[0], Control(kResend));
  EXPECT_EQ(link.Pc_Data_Frames(), 2u);
  auto events = link.Take_Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], "resend frame=1");
}

TEST(LinkReceive, WritesFramesInSegments) {
  FakeTransport t;
  t.Add(Cat({Control(kPoll), Frame(kPcData, General_Response('J', 0))}));
  LinkOptions o;
  o.segment = 5;
  Link link(t, o);
  link.Send(Build_Packet(kCommand, 'J', 0, nullptr, 0));  // 7 bytes: a 15-byte frame
  Bytes got;
  ASSERT_EQ(link.Receive(&got, Soon()), Link::Status::kOk);
  ASSERT_EQ(t.writes.size(), 3u);
  for (const Bytes& w : t.writes) EXPECT_EQ(w.size(), 5u);
}

TEST(LinkReceive, NoisyPacketStartIsAProtocolError) {
  FakeTransport t;
  t.Add(Frame(kPcData, {0x07, 'D', 0, 0, 0, 0, 0}));
  Link link(t, {});
  Bytes got;
  EXPECT_EQ(link.Receive(&got, Soon()), Link::Status::kProtocol);
}

TEST(LinkReceive, PeerEndIsReported) {
  FakeTransport t;
  t.eof = true;
  Link link(t, {});
  Bytes got;
  EXPECT_EQ(link.Receive(&got, Soon()), Link::Status::kClosed);
}

TEST(LinkClose, AfterThePcsEndPollsGetTheEndOfSession) {
  FakeTransport t;
  t.Add(Cat({Control(kPoll), Control(kCloseEnd)}));
  Link link(t, {});
  link.Send(General_Response('D', 0));  // dropped: the PC ended the session
  link.End_Session(true);
  bool exchange = true;
  ASSERT_EQ(link.Close(Soon(), &exchange), Link::Status::kOk);
  EXPECT_FALSE(exchange);
  ASSERT_EQ(t.frames.size(), 2u);
  EXPECT_EQ(t.frames[0], Control(kEndOfSession));
  EXPECT_EQ(t.frames[1], Bytes(8, 0));
  EXPECT_TRUE(t.closed);
}

TEST(LinkClose, TheHtsEndGoesOutBeforeTheCloseExchange) {
  FakeTransport t;
  t.Add(Cat({Control(kPoll), Control(kStep3), Control(kStep2), Control(kCloseEnd)}));
  Link link(t, {});
  const Bytes e = End_Indication(0, 0);
  link.Send(e);
  link.End_Session(false);
  bool exchange = false;
  ASSERT_EQ(link.Close(Soon(), &exchange), Link::Status::kOk);
  EXPECT_TRUE(exchange);
  ASSERT_EQ(t.frames.size(), 4u);
  EXPECT_EQ(t.frames[0], Frame(kHtData, e));
  EXPECT_EQ(t.frames[1], Control(kStep2));
  EXPECT_EQ(t.frames[2], Control(kStep3));
  EXPECT_EQ(t.frames[3], Bytes(8, 0));
}

TEST(LinkClose, ACloseRequestDuringReceiveIsAnsweredAndFinishedByClose) {
  FakeTransport t;
  t.Add(Cat({Control(kStep3), Control(kStep2), Control(kCloseEnd)}));
  Link link(t, {});
  Bytes got;
  EXPECT_EQ(link.Receive(&got, Soon()), Link::Status::kCloseRequest);
  bool exchange = false;
  ASSERT_EQ(link.Close(Soon(), &exchange), Link::Status::kOk);
  EXPECT_TRUE(exchange);
  EXPECT_EQ(t.frames.back(), Bytes(8, 0));
}

TEST(LinkClose, APcThatJustHangsUpIsReported) {
  FakeTransport t;
  t.eof = true;
  Link link(t, {});
  link.End_Session(true);
  bool exchange = false;
  EXPECT_EQ(link.Close(Soon(), &exchange), Link::Status::kClosed);
  EXPECT_TRUE(t.closed);
}

}  // namespace
}  // namespace htsim
