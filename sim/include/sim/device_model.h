// The simulated reader's management side: version, device number, addresses, lights, the
// sensor with its user table, the firmware update transfer and the generic query.
// All of it arrives as command 0x80 with a parameter byte; the card commands under 0x80 stay
// with the firmware. State is public so tests can read and steer it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// One answer of the model: SW1, SW3 and the reply data (SW2 is always 0).
struct DeviceReply {
  uint8_t sw1 = 0;
  uint8_t sw3 = 0x90;
  Bytes data;
};

// Changes to the reply of one parameter, for tests of the host's handling of odd answers.
struct ReplyTweak {
  std::optional<uint8_t> sw1;
  std::optional<uint8_t> sw3;
  std::optional<size_t> dataSize;  // truncated, or extended with 0x00
};

// A row of the sensor's user table.
struct UserRecord {
  Bytes id;    // 18 bytes, the ID number
  Bytes info;  // 6 bytes
  uint8_t kind = 0;
  Bytes block;  // 512 bytes, the stored feature
};

// The last setting of an LED/buzzer command.
struct LightSetting {
  uint8_t a = 0;
  uint8_t b = 0;
  uint16_t value = 0;
  bool operator==(const LightSetting& o) const { return a == o.a && b == o.b && value == o.value; }
};

class DeviceModel {
 public:
  static constexpr uint8_t kOk = 0x90;
  static constexpr uint8_t kUserNotFound = 0x31;
  static constexpr uint8_t kTableFull = 0x32;
  static constexpr uint8_t kBadArgument = 0x33;   // wrong request length or value
  static constexpr uint8_t kUpdateOrder = 0x34;   // packet out of order, beyond the size, or no transfer
  static constexpr uint8_t kNoImage = 0x35;       // nothing captured, or a piece past the end
  static constexpr uint8_t kUpdateFailed = 0x36;  // end of a transfer that is short or failed

  static constexpr size_t kIdSize = 18;
  static constexpr size_t kInfoSize = 6;
  static constexpr size_t kBlockSize = 512;
  static constexpr size_t kUserRecordSize = kIdSize + kInfoSize + 1 + kBlockSize;  // 537
  static constexpr size_t kUserEntrySize = kIdSize + kInfoSize + 1;                // 25
  static constexpr size_t kImagePieceSize = 1024;
  static constexpr size_t kUpdatePacketSize = 1024;

  DeviceModel();

  // Whether the parameter of command 0x80 is one of the model's.
  bool Handles(uint8_t parameter) const;
  // The answer to one request; `data` is the frame's data part. Applies `tweaks`. Commands
  // that take an argument check its length; the others ignore any data.
  DeviceReply Handle(uint8_t parameter, const Bytes& data);

  // Identity. QueryFunction answers a one-byte query 0x01 with `modelName`, 0x02 with
  // `deviceNo`, and echoes any other query.
  std::string version = "TW-R100 V2.1.0";
  std::string modelName = "TW-R100";
  Bytes deviceNo;  // up to 32 bytes
  uint16_t serverNumber = 0;
  Bytes serverAddress;   // up to 114 bytes
  Bytes installAddress;  // up to 116 bytes

  // Bar-code scanner.
  std::string barCode = "6901234567892";
  Bytes lastBarCodeRequest;

  // Lights, buzzer and power settings.
  LightSetting ledBuzzer;
  LightSetting led;
  uint8_t controlType = 0;
  Bytes bluetoothName;  // 16 bytes, zero-filled
  uint8_t bluetoothShutdownTime = 0;
  uint8_t findcardPeriod = 0;
  uint16_t deviceShutdownTime = 0;
  uint16_t lowPower = 0;
  uint8_t heartBeatState = 1;
  bool inBoot = false;

  // Sensor. GetImage captures `image` (imageWidth * imageHeight grey bytes).
  uint16_t imageWidth = 256;
  uint16_t imageHeight = 288;
  uint16_t imageQuality = 80;
  bool imageCaptured = false;
  Bytes image;
  bool featureExtracted = false;
  Bytes feature;  // 512 bytes
  uint16_t verifyScore = 85;
  uint16_t oneKeyValue = 85;
  bool tcsInitialised = false;

  // User table. SearchUser answers the user at `presentedUser`, SearchUserByIDCard the one
  // whose id is `cardIdNumber`.
  std::vector<UserRecord> users;
  size_t userCapacity = 1000;
  size_t presentedUser = 0;
  Bytes cardIdNumber;  // 18 bytes

  // Firmware update transfer; a completed one lands in `firmwareImage`. A failed packet fails
  // the whole transfer until the next UpdateSize.
  bool updateActive = false;
  bool updateFailed = false;
  uint32_t updateSize = 0;
  int lastPacket = -1;  // number of the last accepted packet, -1 before the first
  Bytes updateReceived;
  Bytes firmwareImage;
  int updateEndValue = -1;

  // The last request data per parameter, and the number of requests per parameter.
  std::map<uint8_t, Bytes> lastRequests;
  std::map<uint8_t, unsigned> requestCounts;

  std::map<uint8_t, ReplyTweak> tweaks;

  // The deterministic grey image GetImage captures.
  static Bytes MakeImage(uint16_t width, uint16_t height);

 private:
  DeviceReply Answer(uint8_t parameter, const Bytes& data);
  DeviceReply AnswerSetting(uint8_t parameter, const Bytes& data);
  DeviceReply AnswerFingerprint(uint8_t parameter, const Bytes& data);
  DeviceReply AnswerUsers(uint8_t parameter, const Bytes& data);
  DeviceReply Update(const Bytes& data);
  DeviceReply Query(const Bytes& data);
  Bytes Entry(const UserRecord& user, bool kindFirst) const;
};

}  // namespace sim
