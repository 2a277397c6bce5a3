#include "sim/device_model.h"

#include <algorithm>

namespace sim {

namespace {

Bytes FromText(const std::string& s) { return Bytes(s.begin(), s.end()); }

void Put16(Bytes& b, size_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

uint16_t Get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }

uint32_t Get32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
         static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

DeviceReply Fail(uint8_t sw3) {
  DeviceReply r;
  r.sw3 = sw3;
  return r;
}

DeviceReply Done(Bytes data = {}) {
  DeviceReply r;
  r.data = std::move(data);
  return r;
}

}  // namespace

DeviceModel::DeviceModel()
    : deviceNo(FromText("TW0000000001")),
      bluetoothName(16, 0),
      feature(512),
      cardIdNumber(FromText("110108199003150028")) {
  for (size_t i = 0; i < feature.size(); ++i) feature[i] = static_cast<uint8_t>((i * 29 + 11) & 0xFF);
}

bool DeviceModel::Handles(uint8_t parameter) const {
  switch (parameter) {
    case 0x01:
    case 0x04:
    case 0x30:
    case 0x34:
    case 0x35:
    case 0x4F:
    case 0x50:
    case 0xFF:
      return true;
    default:
      // 0x19 and below 0x0F belong to the card commands.
      return (parameter >= 0x0F && parameter <= 0x18) || (parameter >= 0x20 && parameter <= 0x2E);
  }
}

Bytes DeviceModel::MakeImage(uint16_t width, uint16_t height) {
  Bytes img(static_cast<size_t>(width) * height);
  // Rings around the centre: something a viewer shows as a pattern, the same on every run.
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      const long dx = static_cast<long>(x) - width / 2;
      const long dy = static_cast<long>(y) - height / 2;
      img[y * width + x] = static_cast<uint8_t>(((dx * dx + dy * dy) / 16 + x / 8) & 0xFF);
    }
  }
  return img;
}

Bytes DeviceModel::Entry(const UserRecord& user, bool kindFirst) const {
  Bytes e;
  if (kindFirst) e.push_back(user.kind);
  e.insert(e.end(), user.id.begin(), user.id.end());
  e.insert(e.end(), user.info.begin(), user.info.end());
  if (!kindFirst) e.push_back(user.kind);
  return e;
}

DeviceReply DeviceModel::Handle(uint8_t parameter, const Bytes& data) {
  lastRequests[parameter] = data;
  ++requestCounts[parameter];
  DeviceReply r = Answer(parameter, data);
  r.sw1 = parameter;
  const auto t = tweaks.find(parameter);
  if (t != tweaks.end()) {
    if (t->second.sw1) r.sw1 = *t->second.sw1;
    if (t->second.sw3) r.sw3 = *t->second.sw3;
    if (t->second.dataSize) r.data.resize(*t->second.dataSize, 0x00);
  }
  return r;
}

DeviceReply DeviceModel::Answer(uint8_t parameter, const Bytes& data) {
  switch (parameter) {
    case 0x21:
    case 0x22:
    case 0x23:
    case 0x24:
    case 0x27:
    case 0x2B:
      return AnswerFingerprint(parameter, data);
    case 0x28:
    case 0x29:
    case 0x2A:
    case 0x2C:
    case 0x34:
    case 0x35:
      return AnswerUsers(parameter, data);
    case 0x4F:
      inBoot = true;
      return Done();
    case 0x50:
      return Update(data);
    case 0xFF:
      return Query(data);
    default:
      return AnswerSetting(parameter, data);
  }
}

// Identity, addresses, lights, timers and the heartbeat.
DeviceReply DeviceModel::AnswerSetting(uint8_t parameter, const Bytes& data) {
  const size_t n = data.size();
  switch (parameter) {
    case 0x01:
      return Done(FromText(version));
    case 0x04:
      lastBarCodeRequest = data;
      return Done(FromText(barCode));
    case 0x0F:
      if (n > 32) return Fail(kBadArgument);
      deviceNo = data;
      return Done();
    case 0x10:
      return Done(deviceNo);
    case 0x11:
      if (n < 2 || n > 2 + 114) return Fail(kBadArgument);
      serverNumber = Get16(data, 0);
      serverAddress.assign(data.begin() + 2, data.end());
      return Done();
    case 0x12: {
      Bytes out;
      Put16(out, serverNumber);
      out.insert(out.end(), serverAddress.begin(), serverAddress.end());
      return Done(out);
    }
    case 0x13:
      if (n > 116) return Fail(kBadArgument);
      installAddress = data;
      return Done();
    case 0x14:
      return Done(installAddress);
    case 0x15:
    case 0x16: {
      if (n != 4) return Fail(kBadArgument);
      LightSetting& s = parameter == 0x15 ? ledBuzzer : led;
      s.a = data[0];
      s.b = data[1];
      s.value = Get16(data, 2);
      return Done();
    }
    case 0x17:
      if (n != 1) return Fail(kBadArgument);
      controlType = data[0];
      return Done();
    case 0x18:
      if (n != 16) return Fail(kBadArgument);
      bluetoothName = data;
      return Done();
    case 0x20:
    case 0x2D:
      if (n != 1) return Fail(kBadArgument);
      (parameter == 0x20 ? bluetoothShutdownTime : findcardPeriod) = data[0];
      return Done();
    case 0x26:
    case 0x2E:
      if (n != 2) return Fail(kBadArgument);
      (parameter == 0x26 ? lowPower : deviceShutdownTime) = Get16(data, 0);
      return Done();
    case 0x25:
      tcsInitialised = true;
      return Done();
    case 0x30:
      return Done({heartBeatState});
    default:
      return Fail(kBadArgument);
  }
}

// The fingerprint image, its feature and the verification scores.
DeviceReply DeviceModel::AnswerFingerprint(uint8_t parameter, const Bytes& data) {
  const size_t n = data.size();
  switch (parameter) {
    case 0x21: {
      if (n != 1) return Fail(kBadArgument);
      image = MakeImage(imageWidth, imageHeight);
      imageCaptured = true;
      featureExtracted = false;
      Bytes out;
      Put16(out, imageWidth);
      Put16(out, imageHeight);
      Put16(out, imageQuality);
      return Done(out);
    }
    case 0x22: {
      if (n != 1) return Fail(kBadArgument);
      const size_t start = data[0] * kImagePieceSize;
      if (!imageCaptured || start >= image.size()) return Fail(kNoImage);
      const size_t end = std::min(image.size(), start + kImagePieceSize);
      return Done(Bytes(image.begin() + static_cast<long>(start), image.begin() + static_cast<long>(end)));
    }
    case 0x23:
      if (n != 1) return Fail(kBadArgument);
      if (!imageCaptured) return Fail(kNoImage);
      featureExtracted = true;
      return Done();
    case 0x27:
      // Captures and extracts by itself, so no earlier image is needed.
      if (n != 1) return Fail(kBadArgument);
      return Done(feature);
    case 0x24: {
      Bytes out;
      Put16(out, verifyScore);
      return Done(out);
    }
    case 0x2B: {
      if (n != 1) return Fail(kBadArgument);
      Bytes out;
      Put16(out, oneKeyValue);
      return Done(out);
    }
    default:
      return Fail(kBadArgument);
  }
}

// The table of users the terminal recognises.
DeviceReply DeviceModel::AnswerUsers(uint8_t parameter, const Bytes& data) {
  const size_t n = data.size();
  switch (parameter) {
    case 0x28: {
      if (n != kUserRecordSize) return Fail(kBadArgument);
      UserRecord u;
      u.id.assign(data.begin(), data.begin() + kIdSize);
      u.info.assign(data.begin() + kIdSize, data.begin() + kIdSize + kInfoSize);
      u.kind = data[kIdSize + kInfoSize];
      u.block.assign(data.begin() + kIdSize + kInfoSize + 1, data.end());
      const auto same = std::find_if(users.begin(), users.end(), [&u](const UserRecord& x) { return x.id == u.id; });
      if (same != users.end()) {
        *same = std::move(u);
      } else if (users.size() >= userCapacity) {
        return Fail(kTableFull);
      } else {
        users.push_back(std::move(u));
      }
      return Done();
    }
    case 0x29:
      users.clear();
      return Done();
    case 0x2A:
      if (n != 1) return Fail(kBadArgument);
      if (presentedUser >= users.size()) return Fail(kUserNotFound);
      return Done(Entry(users[presentedUser], true));
    case 0x2C: {
      if (n != 1) return Fail(kBadArgument);
      const auto it =
          std::find_if(users.begin(), users.end(), [this](const UserRecord& x) { return x.id == cardIdNumber; });
      if (it == users.end()) return Fail(kUserNotFound);
      return Done(Entry(*it, true));
    }
    case 0x34: {
      Bytes out;
      Put16(out, users.size());
      return Done(out);
    }
    case 0x35: {
      if (n != 4) return Fail(kBadArgument);
      const size_t start = Get16(data, 0);
      const size_t count = Get16(data, 2);
      Bytes out;
      for (size_t i = start; i < users.size() && i - start < count; ++i) {
        const Bytes e = Entry(users[i], false);
        out.insert(out.end(), e.begin(), e.end());
      }
      return Done(out);
    }
    default:
      return Fail(kBadArgument);
  }
}

DeviceReply DeviceModel::Update(const Bytes& data) {
  if (data.empty()) return Fail(kBadArgument);
  const size_t n = data.size();
  switch (data[0]) {
    case 0x01:
      if (n != 5) return Fail(kBadArgument);
      updateActive = true;
      updateFailed = false;
      updateSize = Get32(data, 1);
      lastPacket = -1;
      updateReceived.clear();
      return Done();
    case 0x02: {
      if (!updateActive || updateFailed) return Fail(kUpdateOrder);
      if (n < 2 || n > 2 + kUpdatePacketSize) {
        updateFailed = true;
        return Fail(kBadArgument);
      }
      const uint8_t number = data[1];
      // The first packet sets the numbering; each next one counts on by one, wrapping at 256.
      const bool inOrder = lastPacket < 0 || number == static_cast<uint8_t>(lastPacket + 1);
      if (!inOrder || updateReceived.size() + (n - 2) > updateSize) {
        updateFailed = true;
        return Fail(kUpdateOrder);
      }
      lastPacket = number;
      updateReceived.insert(updateReceived.end(), data.begin() + 2, data.end());
      return Done();
    }
    case 0x03: {
      if (n != 2) return Fail(kBadArgument);
      updateEndValue = data[1];
      const bool complete = updateActive && !updateFailed && updateReceived.size() == updateSize;
      updateActive = false;
      if (!complete) return Fail(kUpdateFailed);
      firmwareImage = updateReceived;
      return Done();
    }
    default:
      return Fail(kBadArgument);
  }
}

DeviceReply DeviceModel::Query(const Bytes& data) {
  if (data.empty() || static_cast<size_t>(data[0]) != data.size() - 1) return Fail(kBadArgument);
  const Bytes query(data.begin() + 1, data.end());
  if (query.size() == 1 && query[0] == 0x01) return Done(FromText(modelName));
  if (query.size() == 1 && query[0] == 0x02) return Done(deviceNo);
  return Done(query);
}

}  // namespace sim
