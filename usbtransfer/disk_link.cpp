#include "disk_link.h"

#include <cstring>
#include <string>
#include <vector>

#include "first_open.h"

namespace jrs {
namespace {

namespace scsi = platform::scsi;

constexpr uint8_t kTargetId = 1;
constexpr uint8_t kSenseLength = 24;
constexpr uint32_t kInquiryLength = 192;
constexpr uint8_t kInquiryTimeoutSeconds = 3;
constexpr size_t kIdentityEnd = 36;  // the revision is bytes 32..35

// The vendor, and the first 15 bytes of the vendor and product fields together. A device that
// calls itself "USB Key" is a key, not a terminal, and is never sent terminal blocks.
constexpr char kVendor[] = "Vennick";
constexpr char kVendorProduct[] = "Vennick QRM-417";
constexpr char kRevision[] = "1.00";

bool Field(const uint8_t* data, size_t offset, const char* text) {
  return std::memcmp(data + offset, text, std::strlen(text)) == 0;
}

scsi::Command BaseCommand(uint8_t timeoutSeconds) {
  scsi::Command c;
  c.targetId = kTargetId;
  c.senseLength = kSenseLength;
  c.timeoutSeconds = timeoutSeconds;
  return c;
}

bool Inquire(scsi::Device* disk, uint8_t (&data)[kInquiryLength], size_t* length) {
  scsi::Command c = BaseCommand(kInquiryTimeoutSeconds);
  const uint8_t cdb[6] = {0x12, 0x00, 0x00, 0x00, kInquiryLength, 0x00};
  std::memcpy(c.cdb, cdb, sizeof cdb);
  c.cdbLength = sizeof cdb;
  c.direction = scsi::Direction::In;
  c.transfer = scsi::Transfer::Buffered;
  c.data = data;
  c.length = kInquiryLength;
  scsi::Outcome out;
  if (disk->Execute(c, &out) != scsi::Result::Ok || out.status != 0) return false;
  *length = out.transferred;
  return true;
}

bool Exchange(scsi::Device* disk, bool receiving, uint8_t* data, uint32_t length, uint8_t timeoutSeconds) {
  scsi::Command c = BaseCommand(timeoutSeconds);
  // The vendor command names the block by its fourth byte; a block too short to have one
  // names it 0.
  const std::array<uint8_t, 16> cdb = BlockCdb(receiving, length > 3 ? data[3] : 0, length);
  std::memcpy(c.cdb, cdb.data(), cdb.size());
  c.cdbLength = static_cast<uint8_t>(cdb.size());
  c.direction = length == 0 ? scsi::Direction::None : receiving ? scsi::Direction::In : scsi::Direction::Out;
  c.data = length == 0 ? nullptr : data;
  c.length = length;
  scsi::Outcome out;
  return disk->Execute(c, &out) == scsi::Result::Ok && out.status == 0;
}

}  // namespace

bool IsTerminalInquiry(const uint8_t* data, size_t length) {
  if (data == nullptr || length < kIdentityEnd) return false;
  return Field(data, 8, kVendor) && Field(data, 8, kVendorProduct) && Field(data, 32, kRevision);
}

std::array<uint8_t, 16> BlockCdb(bool receiving, uint8_t fourthByte, uint32_t length) {
  std::array<uint8_t, 16> cdb = {0xFF, fourthByte, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
                                 static_cast<uint8_t>(receiving ? 0x80 : 0x00)};
  std::memcpy(cdb.data() + 5, "VENNICK417", 10);
  cdb[15] = 0xFF;
  return cdb;
}

scsi::Device* FindDiskTerminal() {
  const std::vector<std::string> paths = scsi::DiskPaths();
  return FirstTerminal<scsi::Device>(
      paths.size(), [&](size_t i) { return scsi::Open(paths[i]); },
      [](scsi::Device* disk) {
        uint8_t data[kInquiryLength] = {};
        size_t length = 0;
        return Inquire(disk, data, &length) && IsTerminalInquiry(data, length);
      },
      scsi::Close);
}

Status DiskTransfer(scsi::Device* disk, const uint8_t* request, uint16_t requestLength, uint8_t* reply,
                    uint32_t replyLength, uint8_t timeoutSeconds) {
  if (disk == nullptr || request == nullptr || requestLength == 0 || reply == nullptr) {
    return Status::kMissingArgument;
  }
  // An Out command only reads the block.
  if (!Exchange(disk, false, const_cast<uint8_t*>(request), requestLength, timeoutSeconds)) return Status::kSendFailed;
  if (!Exchange(disk, true, reply, replyLength, timeoutSeconds)) return Status::kReceiveFailed;
  return Status::kOk;
}

}  // namespace jrs
