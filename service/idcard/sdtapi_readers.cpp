// The second family's readers, through SDTAPI (linked by import; its calls answer 1 for
// success) and the optional devtool library for the card number.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "card_answers.h"
#include "devtool_binding.h"
#include "platform/codepage.h"
#include "reader_family.h"
#include "sdtapi.h"
#include "tw/log.h"
#include "vnsdtapi.h"

namespace {

constexpr int kSuccess = VNSDTAPI_SUCCESS;
constexpr int kFound = VNSDTAPI_FIND_SUCCESS;  // the second family answers a find with the same code
constexpr size_t kRecordBuffer = 1024;
constexpr size_t kFingerprintBuffer = 1024;
constexpr size_t kCardNumberBuffer = 1025;
constexpr char kPhotoFile[] = "photo.bmp";
// A photo is a 38862-byte BMP; anything far larger is not one, and would not fit the answer.
constexpr std::uintmax_t kPhotoLimit = 512 * 1024;

int Reported(int sdtapiResult) { return sdtapiResult == 1 ? kSuccess : sdtapiResult; }

// A text field of SDTAPI's record: bytes [first, last] up to the first zero, from the ANSI code
// page to UTF-8.
std::string Field(const unsigned char* record, size_t first, size_t last) {
  size_t n = 0;
  while (first + n <= last && record[first + n] != 0) ++n;
  return platform::ConvertText(std::string(reinterpret_cast<const char*>(record + first), n), platform::CodePage::Ansi,
                               platform::CodePage::Utf8);
}

CardFields FieldsOf(const unsigned char* t) {
  return {Field(t, 0, 30),
          Field(t, 31, 33),
          Field(t, 53, 123),
          Field(t, 44, 47),
          Field(t, 48, 49),
          Field(t, 50, 52),
          Field(t, 124, 142),
          Field(t, 143, 173),
          Field(t, 174, 177) + "." + Field(t, 178, 179) + "." + Field(t, 180, 182),
          Field(t, 183, 186) + "." + Field(t, 187, 188) + "." + Field(t, 189, 191)};
}

// The photo SDTAPI left, read whole; false when it is missing or too large to be one.
bool ReadPhoto(std::vector<uint8_t>* bmp) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(kPhotoFile, ec);
  if (ec || size > kPhotoLimit) return false;
  std::ifstream in(kPhotoFile, std::ios::binary);
  if (!in) return false;
  bmp->resize(static_cast<size_t>(size));
  in.read(reinterpret_cast<char*>(bmp->data()), static_cast<std::streamsize>(bmp->size()));
  bmp->resize(static_cast<size_t>(in.gcount()));
  return true;
}

class SdtapiFamily final : public ReaderFamily {
 public:
  int ClosePort(int) override {
    const int result = CloseComm();
    LOG_IN(Debug, "CloseComm:{}", result);
    return Reported(result);
  }

  int ReadCardNumber(int port, std::string* cardNo) override {
    std::vector<char> buffer(kCardNumberBuffer, 0);
    Routon_ShutDownAntenna();
    const int auth = Authenticate();
    LOG_IN(Debug, "Authenticate:{}", auth);
    int result;
    if (auth == 1) {
      result = ReadIINSNDN(buffer.data());
      LOG_IN(Debug, "ReadIINSNDN:{}", result);
      result = Reported(result);
    } else {
      int length = 0;
      result = DevtoolCardNumber(port, 1, buffer.data(), buffer.size(), &length);
      LOG_IN(Debug, "DevtoolCardNumber:{}", result);
    }
    buffer.back() = '\0';
    *cardNo = buffer.data();
    return result;
  }

  int ReadSamId(int port, std::string* samId) override {
    char text[64] = {0};
    int result = Authenticate();
    LOG_IN(Debug, "Authenticate:{}", result);
    if (result != 1) {
      unsigned char info[8] = {0};
      // Called whatever the log level: a record that is not written must not skip the call.
      const int found = SDT_StartFindIDCard(port, info, 0);
      LOG_IN(Debug, "SDT_StartFindIDCard:{}", found);
      const int selected = SDT_SelectIDCard(port, info, 0);
      LOG_IN(Debug, "SDT_SelectIDCard:{}", selected);
    }
    result = GetSAMIDToStr(text);
    text[sizeof text - 1] = '\0';
    LOG_IN(Debug, "GetSAMIDToStr:{}", result);
    *samId = text;
    return Reported(result);
  }

  std::string ReadBaseMsg(int port, int readType) override { return handle_JL_HID_ReadBaseMsg(port, readType); }

  bool CardPresent(int port) override {
    unsigned char info[8] = {0};
    return SDT_StartFindIDCard(port, info, 1) == kFound;
  }

 private:
  std::string handle_JL_HID_ReadBaseMsg(int port, int readType) {
    LOG_ROUTINE(Debug);
    int r = InitComm(port);
    LOG_IN(Debug, "InitComm:{}", r);
    if (r != 1) return ErrorAnswer(r, "打开读卡器失败");
    const bool fingerprintDevice = IsFingerPrintDevice() == 1;
    // A failing close is only logged: the read's own answer stands.
    auto close = [&] {
      const int closed = CloseComm();
      if (closed != 1) LOG_IN(Error, "{}:{}", platform::LogText("关闭读卡器失败！"), closed);
    };
    r = Authenticate();
    LOG_IN(Debug, "Authenticate:{}", r);
    if (r != 1) {
      close();
      return ErrorAnswer(r, "没有发现卡或卡停留时间太短");
    }
    CardRead card;
    std::vector<char> cardNumber(kCardNumberBuffer, 0);
    int cardLength = 0;
    if (DevtoolCardNumber(port, 1, cardNumber.data(), cardNumber.size(), &cardLength) != kSuccess) {
      ReadIINSNDN(cardNumber.data());
      cardNumber.back() = '\0';
    }
    card.cardNo = cardNumber.data();
    // The library writes its photo during the read; one an earlier holder left must not pass
    // for this one's.
    std::remove(kPhotoFile);
    std::vector<unsigned char> record(kRecordBuffer, 0), fingerprint(kFingerprintBuffer, 0);
    int fingerprintLength = 0;
    if (fingerprintDevice) {
      int value = 0;
      r = ReadBaseFPMsg(record.data(), &value, fingerprint.data(), &fingerprintLength);
      LOG_IN(Debug, "ReadBaseFPMsg:{}", r);
    } else {
      r = ::ReadBaseMsg(record.data(), 0);
      LOG_IN(Debug, "ReadBaseMsg:{}", r);
    }
    if (r <= 0) {
      close();
      return ErrorAnswer(r, "二代证读卡异常");
    }
    if (fingerprintLength < 0 || fingerprintLength > static_cast<int>(kFingerprintBuffer)) fingerprintLength = 0;
    card.fields = FieldsOf(record.data());
    card.result = Reported(r);
    card.fingerprint.assign(fingerprint.begin(), fingerprint.begin() + fingerprintLength);
    if (readType != 0 && !ReadPhoto(&card.photo)) {
      close();
      return ErrorAnswer(0, "照片打开失败");
    }
    close();
    return CardAnswer(readType, card);
  }
};

}  // namespace

ReaderFamily& SdtapiReaders() {
  static SdtapiFamily family;
  return family;
}
