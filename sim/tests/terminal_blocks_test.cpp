// The simulated terminal's block protocol: what is a well-formed block, and what the firmware
// answers to one that is not.
#include "sim/terminal_blocks.h"

#include <gtest/gtest.h>

#include "sim/card_terminal.h"

namespace sim::blocks {
namespace {

Request Sample() {
  Request r;
  r.sequence = 0x21;
  r.command = kRead;
  r.capacity = 300;
  r.payload = {kCardArea, 0, 1, 0, 0, 0, 1};
  return r;
}

TEST(TerminalBlocks, RequestsRoundTripAndBrokenOnesAreRefused) {
  const Bytes block = EncodeRequest(Sample());
  ASSERT_EQ(block, (Bytes{0x02, 'J', 0x21, kRead, 0x01, 0x2C, 0x00, 0x07, kCardArea, 0, 1, 0, 0, 0, 1, 0x52}));
  const auto decoded = DecodeRequest(block);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->capacity, 300);
  EXPECT_EQ(decoded->payload, Sample().payload);

  const struct {
    const char* what;
    size_t at;
    uint8_t value;
  } broken[] = {{"start", 0, 0x03}, {"mark", 1, 'T'}, {"length beyond the data", 7, 0x08}, {"checksum", 15, 0x53}};
  for (const auto& b : broken) {
    Bytes bad = block;
    bad[b.at] = b.value;
    EXPECT_FALSE(DecodeRequest(bad)) << b.what;
  }
  EXPECT_FALSE(DecodeRequest(Bytes(block.begin(), block.end() - 1)));
  EXPECT_FALSE(RequestSize(Bytes(block.begin(), block.end() - 1)));
  Bytes padded = block;
  padded.resize(64, 0);
  EXPECT_EQ(RequestSize(padded), block.size());

  Request big = Sample();
  big.payload.assign(kMaxPayload, 'x');
  EXPECT_EQ(EncodeRequest(big).size(), kMaxBlock);
  big.payload.push_back('x');
  EXPECT_TRUE(EncodeRequest(big).empty());
}

TEST(TerminalBlocks, RepliesFillTheirCapacityOrSayTheyDoNotFit) {
  Reply r;
  r.sequence = 5;
  r.command = kRead;
  r.payload = Bytes(20, 'p');
  const Bytes block = EncodeReply(r, 64);
  ASSERT_EQ(block.size(), 64u);
  EXPECT_EQ(block[29], 0);
  const auto decoded = DecodeReply(block.data(), block.size());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->payload, r.payload);
  EXPECT_EQ(decoded->status, kOk);

  const auto tooSmall = DecodeReply(EncodeReply(r, 28).data(), 28);
  ASSERT_TRUE(tooSmall);
  EXPECT_EQ(tooSmall->status, kReplyTooLong);
  EXPECT_TRUE(tooSmall->payload.empty());
  EXPECT_FALSE(DecodeReply(block.data(), 28));
  EXPECT_FALSE(DecodeReply(nullptr, 64));
}

TEST(TerminalBlocks, FirmwareAnswersABrokenBlockWithItsStatus) {
  TerminalFirmware firmware;
  Bytes block = EncodeRequest(Sample());
  block.back() ^= 1;
  const Bytes reply = firmware.Handle(block);
  ASSERT_EQ(reply.size(), 300u);  // as long as the request's header asked
  const auto decoded = DecodeReply(reply.data(), reply.size());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->sequence, 0x21);
  EXPECT_EQ(decoded->status, kBadBlock);

  const auto unknown = [&firmware](uint8_t command) {
    Request r = Sample();
    r.command = command;
    return DecodeReply(firmware.Handle(EncodeRequest(r)).data(), 300)->status;
  };
  EXPECT_EQ(unknown(kRead), kNotOpen);
  EXPECT_EQ(unknown(0x7E), kUnknownCommand);
  EXPECT_EQ(firmware.requests.size(), 3u);
}

}  // namespace
}  // namespace sim::blocks
