// The seam between the ID-card routes and the two reader families: this system's readers
// (vnsdtapi) and the second family's (SDTAPI, with devtool for the card number). OpenPort
// chooses a family; every other route asks the chosen one.
#pragma once

#include <string>

#include "http/http.h"

class ReaderFamily {
 public:
  virtual ~ReaderFamily() = default;
  // The "return" of each route's answer.
  virtual int ClosePort(int port) = 0;
  virtual int ReadCardNumber(int port, std::string* cardNo) = 0;
  virtual int ReadSamId(int port, std::string* samId) = 0;
  // Reads the card and answers with the text, photo or combined answer that `readType` picks,
  // or with the error answer.
  virtual void ReadBaseMsg(int port, int readType, mg_connection* c, ReplySender reply) = 0;
};

ReaderFamily& OwnReaders();
ReaderFamily& SdtapiReaders();

// true: the second family serves ClosePort, GetCardNo, GetSAMID and ReadBaseMsg. Only OpenPort
// sets it.
extern bool UseSdtapiReader;
inline ReaderFamily& ChosenReaders() { return UseSdtapiReader ? SdtapiReaders() : OwnReaders(); }
