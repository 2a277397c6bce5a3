// The seam between the ID-card routes and the two reader families: this system's readers
// (vnsdtapi) and the second family's (SDTAPI, with devtool for the card number). OpenPort
// chooses a family; every other route asks the chosen one.
#pragma once

#include <string>

class ReaderFamily {
 public:
  virtual ~ReaderFamily() = default;
  // The "return" of each route's answer.
  virtual int ClosePort(int port) = 0;
  virtual int ReadCardNumber(int port, std::string* cardNo) = 0;
  virtual int ReadSamId(int port, std::string* samId) = 0;
  // Reads the card; the answer's text: the fields, photo or both that `readType` picks, or the
  // error answer.
  virtual std::string ReadBaseMsg(int port, int readType) = 0;
  // Whether the reader at `port` finds a card (the find-card command alone, which reads nothing
  // of the card); false when there is no reader.
  virtual bool CardPresent(int port) = 0;
};

ReaderFamily& OwnReaders();
ReaderFamily& SdtapiReaders();

// Which family serves ClosePort, GetCardNo, GetSAMID and ReadBaseMsg.
enum class Readers { Own, Sdtapi };
// OpenPort's choice: this system's readers when one is attached, else the second family's (also
// when neither family has one). Kept for the routes that follow.
Readers ChooseReaders();
Readers ChosenFamily();
ReaderFamily& ChosenReaders();
// Tests: back to the family a fresh service starts with.
void ResetReadersForTesting();
