// DecodeWZData and DecodeWltData, with their own numbers.
#include "decode.h"
#include "vnsdtapi.h"

namespace {

using vnsdt::Status;

// Type 2 delivers Base64 text and reports its own codes for the buffer and the file.
int PhotoResult(Status s, int type) {
  switch (s) {
    case Status::kOk:
      return 1;
    case Status::kTempFileFailed:
      return 0;
    case Status::kNoDecoder:
      return -1;
    case Status::kInvalidArgument:
      return -2;
    case Status::kDecoderFailed:
      return -3;
    case Status::kPictureSize:
      return -4;
    case Status::kBufferTooSmall:
      return type == 2 ? -8 : -5;
    case Status::kFileFailed:
      return type == 2 ? -9 : -6;
    case Status::kEncodeFailed:
      return -7;
    case Status::kUnknownType:
      return -10;
    default:
      return -11;
  }
}

}  // namespace

VNSDTAPI int VNSDTAPI_CALL DecodeWZData(const unsigned char* text, unsigned int length, unsigned char* record) {
  return vnsdt::DecodeText(text, length, record) == Status::kOk ? 1 : -1;
}

VNSDTAPI int VNSDTAPI_CALL DecodeWltData(const unsigned char* wlt, int type, const char* path, unsigned char* buffer,
                                         int* length) {
  return PhotoResult(vnsdt::DecodePhoto(wlt, type, path, buffer, length), type);
}
