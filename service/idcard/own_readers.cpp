// This system's readers, through vnsdtapi over HID. Every reader call opens and closes the
// reader itself (open flag 1); the read route closes the port again on every way out.
#include <vector>

#include "card_answers.h"
#include "id_card_text.h"
#include "photo_file.h"
#include "platform/codepage.h"
#include "reader_family.h"
#include "tw/log.h"
#include "vnsdtapi.h"

namespace {

constexpr int kSuccess = VNSDTAPI_SUCCESS;
constexpr int kFindSuccess = VNSDTAPI_FIND_SUCCESS;
constexpr int kBmpCapacity = 61440;
// The longest card number the library delivers: 512 bytes as 1024 digits, and a terminator.
constexpr size_t kCardNumberBuffer = 1025;

class OwnFamily final : public ReaderFamily {
 public:
  int ClosePort(int port) override {
    const int result = HID_ClosePort(port);
    LOG_IN(Debug, "HID_ClosePort:{}", result);
    return result;
  }

  int ReadCardNumber(int port, std::string* cardNo) override {
    std::vector<char> buffer(kCardNumberBuffer, 0);
    int length = 0;
    const int result = HID_ReadCardNo(port, buffer.data(), &length, 1);
    LOG_IN(Debug, "HID_ReadCardNo:{}", result);
    if (result == kSuccess && length > 0 && length <= 512)
      cardNo->assign(buffer.data(), static_cast<size_t>(length) * 2);
    return result;
  }

  int ReadSamId(int port, std::string* samId) override {
    int result = HID_GetSAMStatus(port, 1);
    LOG_IN(Debug, "HID_GetSAMStatus:{}", result);
    if (result == kSuccess) {
      char text[64] = {0};
      result = HID_GetSAMIDToStr(port, text, 1);
      LOG_IN(Debug, "HID_GetSAMIDToStr:{}", result);
      text[sizeof text - 1] = '\0';
      *samId = text;
    }
    return result;
  }

  std::string ReadBaseMsg(int port, int readType) override { return handle_VN_HID_ReadBaseMsg(port, readType); }

  bool CardPresent(int port) override {
    unsigned int find = 0;
    return HID_StartFindIDCard(port, &find, 1) == kFindSuccess;
  }

 private:
  std::string handle_VN_HID_ReadBaseMsg(int port, int readType) {
    LOG_ROUTINE(Debug);
    CardRead card;
    int r = 0;
    // The steps of the read: null when they all passed, else the error message for the code
    // in r.
    auto read = [&]() -> const char* {
      r = HID_OpenPort(port);
      LOG_IN(Debug, "HID_OpenPort:{}", r);
      if (r != kSuccess) return "打开读卡设备失败";
      unsigned int find = 0;
      r = HID_StartFindIDCard(port, &find, 1);
      LOG_IN(Debug, "HID_StartFindIDCard:{}", r);
      if (r != kFindSuccess) return "没有发现卡或卡停留时间太短";
      unsigned char info[8];
      r = HID_SelectIDCard(port, info, 1);
      LOG_IN(Debug, "HID_SelectIDCard:{}", r);
      if (r != kSuccess) return "选卡失败";
      std::vector<char> cardNumber(kCardNumberBuffer, 0);
      int cardLength = 0;
      r = HID_ReadCardNo(port, cardNumber.data(), &cardLength, 1);
      LOG_IN(Debug, "HID_ReadCardNo:{}", r);
      if (r != kSuccess) return "读取物理卡号失败！";
      card.cardNo.assign(cardNumber.data(),
                         static_cast<size_t>(cardLength > 0 && cardLength <= 512 ? cardLength * 2 : 0));

      unsigned char text[256] = {}, photo[1024] = {}, fingerprint[1024] = {};
      int textLength = 0, photoLength = 0, fingerprintLength = 0;
      if (!WithFingerprint(readType)) {
        r = HID_ReadBaseMsg(port, text, &textLength, photo, &photoLength, 1);
        LOG_IN(Debug, "HID_ReadBaseMsg:{}", r);
        if (r != kSuccess) return "读卡失败";
      } else {
        r = HID_ReadBaseFPMsg(port, text, &textLength, photo, &photoLength, fingerprint, &fingerprintLength, 1);
        LOG_IN(Debug, "HID_ReadBaseFPMsg:{}", r);
        if (r != kSuccess) return "带指纹读卡失败";
        CardText().SetFingerprint(fingerprint, static_cast<size_t>(fingerprintLength));
        card.fingerprint = CardText().Fingerprint();
      }
      CardText().Load(text, static_cast<size_t>(textLength));

      unsigned char record[300];
      r = DecodeWZData(text, static_cast<unsigned>(textLength), record);
      LOG_IN(Debug, "DecodeWZData:{}", r);
      if (r != 1) return "照片处理失败";
      // The picture comes back in memory and the service writes the file itself, so that the
      // file carries the holder's name on a system whose code page cannot spell it.
      card.photo.resize(kBmpCapacity);
      int bmpLength = kBmpCapacity;
      r = DecodeWltData(photo, 1, nullptr, card.photo.data(), &bmpLength);
      LOG_IN(Debug, "DecodeWltData:{}", r);
      if (r != 1) return "照片处理失败";
      card.photo.resize(static_cast<size_t>(bmpLength));
      if (!WritePhotoFile(PhotoPath(CardText().NameUtf16()), card.photo)) {
        r = -6;  // what the decoder answers for a file it cannot create
        return "照片处理失败";
      }
      card.fields = CardText().Fields();
      return nullptr;
    };
    const char* failure = read();
    if (failure != nullptr) LOG_IN(Error, "{}:{}", platform::LogText(failure), r);
    HID_ClosePort(port);
    return failure != nullptr ? ErrorAnswer(r, failure) : CardAnswer(readType, card);
  }
};

}  // namespace

ReaderFamily& OwnReaders() {
  static OwnFamily family;
  return family;
}
